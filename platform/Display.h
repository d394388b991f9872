// Whether there is a display to show the windows on: named in the
// environment, and for X11 reachable. Main thread, at start-up only.
#pragma once

namespace platform {

// True when an X11 or Wayland display is named in the environment.
bool HasDisplay();

// True when the X display named by DISPLAY accepts a connection (the same
// handshake the toolkit makes, authorisation included).
bool XDisplayReachable();

} // namespace platform
