// Small helpers shared by the serial port units: the silent abort exception,
// the safe release of owned handles, printf-style message formatting and the
// main-thread test.
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

// Closes a handle once. Handles here are owned objects (a device, an event):
// an empty pointer is left alone, otherwise the object is destroyed and the
// pointer emptied. Returns whether something was closed.
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
// The one main-thread test of the serial units.
bool IsMainThread();

} // namespace af
