// Start with the desktop session: the autostart entry
// $XDG_CONFIG_HOME/autostart/org.kelvox.Kelvox.desktop (XDG_CONFIG_HOME
// defaults to ~/.config), which launches this program by its absolute path.
// Whether the program starts with the session is the entry's presence and
// nothing else. Main thread only.
#pragma once

#include <QString>

namespace platform {

// Where the entry lives (a relative XDG_CONFIG_HOME is ignored, as the base
// directory rules say).
QString AutostartEntryPath();
bool AutostartEnabled();

// Writes the entry launching `program` (an absolute path), or removes it.
// Throws std::runtime_error with the reason when that fails.
void SetAutostart(bool enabled, const QString& program);

} // namespace platform
