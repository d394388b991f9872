#include "platform/Display.h"

#include <QtGlobal>
#include <dlfcn.h>
#include <xcb/xcb.h>

namespace platform {

bool HasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool XDisplayReachable() {
    // libxcb is loaded for the probe alone, so that a headless run never maps
    // it; the windows bring it again when they start. Without it no X
    // display can be used.
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb)
        return false;
    const auto connect = reinterpret_cast<decltype(&xcb_connect)>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<decltype(&xcb_connection_has_error)>(
        ::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect =
        reinterpret_cast<decltype(&xcb_disconnect)>(::dlsym(xcb, "xcb_disconnect"));
    bool ok = false;
    if (connect && hasError && disconnect) {
        xcb_connection_t* connection = connect(nullptr, nullptr);
        ok = connection && hasError(connection) == 0;
        if (connection)
            disconnect(connection);
    }
    ::dlclose(xcb);
    return ok;
}

} // namespace platform
