#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

struct Classified {
    int Code;
    SystemErrorClass Class;
};

constexpr Classified kClasses[] = {
    {ENOENT, SystemErrorClass::Missing},   {ENOTDIR, SystemErrorClass::Missing},
    {ENOTTY, SystemErrorClass::NotSerial}, {ENODEV, SystemErrorClass::Gone},
    {ENXIO, SystemErrorClass::Gone},       {EIO, SystemErrorClass::Gone},
    {EBUSY, SystemErrorClass::Busy},       {EACCES, SystemErrorClass::Denied},
    {EPERM, SystemErrorClass::Denied},
};

// strerror_r comes in two flavours; either way the text ends up in a string.
[[maybe_unused]] const char* TextOf(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* TextOf(const char* result, const char*) {
    return result;
}

} // namespace

SystemError SystemErrorOf(int err) {
    SystemError error;
    error.Code = err;
    if (err == 0)
        return error;
    char buffer[256] = {};
    error.Text = TextOf(::strerror_r(err, buffer, sizeof buffer), buffer);
    error.Class = SystemErrorClassOf(err);
    return error;
}

SystemErrorClass SystemErrorClassOf(int err) {
    for (const Classified& entry : kClasses)
        if (entry.Code == err)
            return entry.Class;
    return SystemErrorClass::Other;
}

} // namespace platform
