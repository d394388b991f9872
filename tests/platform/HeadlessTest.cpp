#include "platform/CommandLine.h"
#include "platform/LineEcho.h"
#include "platform/SignalPipe.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::ParseCommandLine;

TEST(CommandLine, KnownOptions) {
    auto none = ParseCommandLine({});
    EXPECT_FALSE(none.Headless || none.Help || none.Version);
    EXPECT_TRUE(none.Error.isEmpty());
    auto all = ParseCommandLine({"--headless", "--version", "--help"});
    EXPECT_TRUE(all.Headless && all.Version && all.Help);
    EXPECT_TRUE(all.Error.isEmpty());
    EXPECT_TRUE(ParseCommandLine({"-h"}).Help);
}

TEST(CommandLine, UnknownOptionsAndArgumentsAreErrors) {
    for (const QStringList& args :
         {QStringList{"--bogus"}, QStringList{"--headless", "-x"}, QStringList{"file.txt"},
          QStringList{"--Headless"}, QStringList{"--headless=1"}, QStringList{"--save"}}) {
        const auto cl = ParseCommandLine(args);
        EXPECT_FALSE(cl.Error.isEmpty()) << args.join(' ').toStdString();
        EXPECT_TRUE(cl.Error.contains(args.last())) << cl.Error.toStdString();
        EXPECT_FALSE(cl.Headless);
    }
}

// Signals raised before and after the relay exists all reach OnSignal on
// the main thread once the event loop runs, in the order they were
// installed; repeats that piled up meanwhile count once.
TEST(SignalRelay, DeliversSignalsThroughTheEventLoop) {
    ASSERT_TRUE(platform::InstallSignalPipe({SIGUSR1, SIGUSR2}));
    std::raise(SIGUSR2); // waits in the pipe: no relay yet
    platform::SignalRelay relay;
    std::vector<int> seen;
    relay.OnSignal = [&](int s) { seen.push_back(s); };
    for (int i = 0; i < 3; ++i)
        std::raise(SIGUSR1);
    QElapsedTimer clock;
    clock.start();
    while (seen.size() < 2 && clock.elapsed() < 10000)
        QEventLoop().processEvents(QEventLoop::AllEvents, 50);
    QEventLoop().processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(seen, (std::vector<int>{SIGUSR1, SIGUSR2}));
    std::signal(SIGUSR1, SIG_DFL);
    std::signal(SIGUSR2, SIG_DFL);
}

// Lines for a pipe nobody reads never block the writer; once the reader is
// back, a line says how many were dropped, where they were dropped.
TEST(LineEcho, AFullPipeNeverBlocksAndTheDroppedLinesAreCounted) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    while (::write(p[1], QByteArray(4096, 'f').constData(), 4096) > 0) {
    }
    ::fcntl(p[1], F_SETFL, 0); // blocking, like a standard output
    QByteArray out;
    {
        platform::LineEcho echo(p[1], 100);
        for (int i = 0; i < 50; ++i)
            echo.Write("line " + QByteArray::number(i)); // would block for ever if it wrote
        std::thread reader([&] {
            char buffer[4096];
            QElapsedTimer t;
            for (t.start(); !out.endsWith("line 50\n") && t.elapsed() < 10000;)
                out.append(buffer, std::max<ssize_t>(0, ::read(p[0], buffer, sizeof buffer)));
        });
        EXPECT_TRUE(echo.Flush(std::chrono::seconds(10))); // the reader is back
        echo.Write("line 50");
        reader.join();
    }
    ::close(p[0]);
    ::close(p[1]);
    // Some of lines 0-49 came through, then the count of the others.
    const QList<QByteArray> lines = out.mid(out.indexOf("line ")).split('\n');
    ASSERT_GE(lines.size(), 3);
    const QList<QByteArray> notice = lines[lines.size() - 3].split(' ');
    EXPECT_EQ(notice.value(1), "lines") << out.toStdString();
    EXPECT_EQ(lines.size() - 3 + notice[0].toInt(), 50);
}
