// The one mapping from an errno value to what the program says and does
// about it: the system's text, and the class a device or file failure falls
// into (a missing node, a device that went away, one in use). Every failing
// device and file call reports through it, so a cause is worded and classed
// the same way wherever it surfaces. Safe on any thread (strerror_r, no
// shared buffer).
#pragma once

#include <string>

namespace platform {

enum class SystemErrorClass {
    Other,
    Missing,   // no such file or directory on the path
    NotSerial, // a node that is no serial device
    Gone,      // a device node without its device: unplugged, hung up, no UART
    Busy,      // held by another user
    Denied,    // the user lacks the permission
};

struct SystemError {
    int Code = 0;
    std::string Text; // the system's description; empty for code 0
    SystemErrorClass Class = SystemErrorClass::Other;
};

SystemError SystemErrorOf(int err);

// The class alone, without building the text.
SystemErrorClass SystemErrorClassOf(int err);

} // namespace platform
