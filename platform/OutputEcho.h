// What the headless program writes: the event log echoed on standard
// output, and the sd-daemon priority that starts a line when the stream is
// the journal.
#pragma once

#include <QString>
#include <functional>

namespace platform {

// The sd-daemon priority that starts an echoed event log line when standard
// output is the journal (JOURNAL_STREAM names its device and inode): "<3>"
// (error) when the line's text starts with "ERR", "<6>" (information)
// otherwise. Empty when standard output is anything else. Any thread.
QString JournalPrefix(const QString& text);

// "<3>" (error) to start a line on standard error when standard error is
// the journal, else empty. Any thread.
QString ErrorPrefix();

// Writes one line (plus '\n') to standard output as soon as it can, so that
// a reader on a pipe sees every event log line as it happens. Never blocks:
// while nobody reads, lines are dropped and later counted. Main thread.
void EchoToStdout(const QString& line);
// Waits a little (at most a second) for echoed lines still on their way.
void FlushEcho();
// Makes the line that makeLine returns the first one echoed: it is made and
// written just before the first EchoToStdout line, or at EchoHeaderNow()
// if that comes first, and only once. Lines echoed while the settings load
// (an automatic connect) then follow the header instead of preceding it.
// Main thread.
void SetEchoHeader(std::function<QString()> makeLine);
void EchoHeaderNow();

} // namespace platform
