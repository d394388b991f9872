// Process-wide set-up done once at start, before any window exists: standard
// descriptors that a careless starter closed, and the one-instance lock of
// the application directory.
// Main thread, at start-up only.
#pragma once

#include <QString>

namespace platform {

// Reopens each of descriptors 0-2 that is closed on /dev/null, so no file
// or pipe opened later lands there and gets mistaken for standard I/O.
void ReopenClosedStandardDescriptors();

enum class InstanceLock { Held, Busy, Failed };

// Takes the lock file "<base name>.lock" in dir with flock(). Held: this
// process owns the directory until it exits (the descriptor stays open for
// that). Busy: another running instance owns it. Failed: the lock file could
// not be used, so the directory cannot be claimed; *error names the file and
// why ("/x/kelvox.lock: not a regular file (a FIFO)"). A link in the lock
// file's place is never followed, and nothing there blocks the call. The
// file is readable by this user alone (another user who could open it could
// take the lock); one owned by another user is not used.
InstanceLock LockApplicationDirectory(const QString& dir, QString* error);

} // namespace platform
