#include "platform/OutputEcho.h"

#include "platform/LineEcho.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {
namespace {

// Standard output is left to a writer thread of its own, so that a reader
// who stops reading cannot stop the program. Never destroyed: the process
// may end while that writer is blocked on such a reader. Main thread.
LineEcho* g_echo = nullptr;
std::function<QString()> g_echoHeader; // main thread

// JOURNAL_STREAM is inherited by children whose output goes elsewhere, so it
// counts only when it names the very stream `fd` is.
bool isJournal(int fd) {
    const QByteArray value = qgetenv("JOURNAL_STREAM");
    const int colon = value.indexOf(':');
    bool devOk = false, inoOk = false;
    const qulonglong dev = value.left(colon).toULongLong(&devOk);
    const qulonglong ino = value.mid(colon + 1).toULongLong(&inoOk);
    struct stat st {};
    return colon > 0 && devOk && inoOk && ::fstat(fd, &st) == 0 &&
           dev == static_cast<qulonglong>(st.st_dev) && ino == static_cast<qulonglong>(st.st_ino);
}
} // namespace

QString ErrorPrefix() {
    static const bool journal = isJournal(STDERR_FILENO);
    return journal ? QStringLiteral("<3>") : QString();
}

QString JournalPrefix(const QString& text) {
    // Fixed for the process: standard output is not redirected while it runs.
    static const bool journal = isJournal(STDOUT_FILENO);
    if (!journal)
        return {};
    return text.startsWith(QStringLiteral("ERR")) ? QStringLiteral("<3>") : QStringLiteral("<6>");
}

void EchoToStdout(const QString& line) {
    constexpr std::size_t kQueuedBytes = 256 * 1024;
    EchoHeaderNow();
    if (!g_echo)
        g_echo = new LineEcho(STDOUT_FILENO, kQueuedBytes);
    g_echo->Write(line.toLocal8Bit());
}

void SetEchoHeader(std::function<QString()> makeLine) {
    g_echoHeader = std::move(makeLine);
}

void EchoHeaderNow() {
    if (!g_echoHeader)
        return;
    const auto makeLine = std::exchange(g_echoHeader, nullptr);
    EchoToStdout(makeLine());
}

void FlushEcho() {
    if (g_echo)
        g_echo->Flush(LineEcho::FlushLimit);
}

} // namespace platform
