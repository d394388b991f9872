// Small helpers shared by the serial port units: the silent abort exception,
// the safe release of descriptors and owned handles, printf-style message
// formatting and the main-thread test.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

// The silent abort exception: raised to end a piece of work quietly. The port
// core's worker threads catch it and drop it without reporting anything.
class EAbort : public std::runtime_error {
public:
    EAbort() : std::runtime_error("Operation aborted") {}
    explicit EAbort(const std::string& message) : std::runtime_error(message) {}
};

namespace af {

// The value of a descriptor that is not open.
constexpr int INVALID_HANDLE_VALUE = -1;

// Closes a descriptor once: INVALID_HANDLE_VALUE is left alone; otherwise the
// descriptor is closed and, when that succeeds, the variable becomes
// INVALID_HANDLE_VALUE. Returns whether a descriptor was closed.
bool SafeCloseHandle(int& handle);

// The same for an owned object standing in for a handle (an event, a device):
// an empty pointer is left alone, otherwise the object is destroyed and the
// pointer emptied.
template <class T> bool SafeCloseHandle(std::unique_ptr<T>& handle) {
    if (!handle)
        return false;
    handle.reset();
    return true;
}

// printf-style formatting into a std::string (the message texts of the
// serial units carry %d and %s fields).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True on the thread that runs the application's event loop (the thread of
// the QCoreApplication instance). False when no application object exists.
bool IsMainThread();

} // namespace af
