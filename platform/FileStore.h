// Reading and writing the program's own files so that nothing already on
// disk is lost: a replaced file changes only once its whole new content is on
// disk, an append adds all of its bytes or none, and anything that is not a
// regular file (a FIFO, a device) is refused before it could block the
// caller in open() or read(). Nothing is written through a symbolic link,
// and root writes nothing in a folder or file that belongs to another user
// (who could have planted a link or hard link there to make root overwrite
// any file of the system). Errors come back as text (the system's message,
// or what was refused: "owned by alice (uid 1000), ..."), never as
// exceptions. Any thread; no shared state.
#pragma once

#include <QByteArray>
#include <QString>
#include <limits>
#include <sys/types.h>

namespace platform {

enum class ReadOutcome { Read, Missing, Refused };

struct FileContent {
    ReadOutcome Outcome = ReadOutcome::Missing;
    QByteArray Data;
    QString Error; // why the file was refused
};

// The whole file, or its first maxBytes or a little more. A path that does
// not exist is Missing; one that exists but cannot be read, or is not a
// regular file, is Refused; so is a symbolic link that neither root nor
// this user made.
FileContent ReadWholeFile(const QString& path,
                          qsizetype maxBytes = std::numeric_limits<qsizetype>::max());

// Writes data to TemporaryPathFor(path), flushes it to the disk and renames
// it over path (a symbolic link in its place is refused), keeping the old
// file's permissions and, where the user may, its owner and group. On any
// failure the old file is left as
// it was, the temporary file is removed and false is returned with the
// reason in *error. With ownerOnly the new file is readable and writable by
// its owner only, from its first byte on.
bool ReplaceFile(const QString& path, const QByteArray& data, QString* error,
                 bool ownerOnly = false);

// Appends data to path (created when missing) in one go: after a short write
// the file is cut back to its old length, so it never ends in a fragment.
bool AppendWhole(const QString& path, const QByteArray& data, QString* error);

// "alice (uid 1000)", or "uid 1000" for a user without a name.
QString UserText(uid_t uid);

// The fixed name of the temporary file ReplaceFile uses for path.
QString TemporaryPathFor(const QString& path);

// Removes the temporary file a save killed half-way may have left for path.
void RemoveStaleTemporary(const QString& path);

} // namespace platform
