#include "platform/Headless.h"
#include "platform/LineEcho.h"

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
          QStringList{"--Headless"}, QStringList{"--headless=1"}}) {
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

// A stop that waits behind a flood of send requests is still served first,
// and the flood collapses into one send.
TEST(SignalRelay, StopsComeFirstAndRepeatsCollapse) {
    ASSERT_TRUE(platform::InstallSignalPipe({SIGTERM, SIGUSR1}));
    platform::SignalRelay relay;
    std::vector<int> seen;
    relay.OnSignal = [&](int s) { seen.push_back(s); };
    for (int i = 0; i < 100000; ++i) // more than the pipe holds
        std::raise(SIGUSR1);
    std::raise(SIGTERM);
    QElapsedTimer clock;
    clock.start();
    while (seen.size() < 2 && clock.elapsed() < 10000)
        QEventLoop().processEvents(QEventLoop::AllEvents, 50);
    QEventLoop().processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGUSR1}));
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGUSR1, SIG_DFL);
}

// Lines for a pipe nobody reads never block the writer; what did not fit is
// counted where it was lost once the reader is back.
TEST(LineEcho, AFullPipeNeverBlocksAndTheDroppedLinesAreCounted) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    ::fcntl(p[1], F_SETPIPE_SZ, 4096);
    const std::string filler(4096, 'f');
    while (::write(p[1], filler.data(), filler.size()) > 0) {
    }
    ::fcntl(p[1], F_SETFL, 0); // the echo writes as to a blocking standard output
    QByteArray out;
    {
        platform::LineEcho echo(p[1], 100);
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 50; ++i)
            echo.Write("line " + QByteArray::number(i));
        EXPECT_LT(clock.elapsed(), 1000);
        std::thread reader([&] {
            char buffer[4096];
            for (QElapsedTimer t; t.start(), !out.contains("line 50\n") && t.elapsed() < 10000;) {
                const ssize_t n = ::read(p[0], buffer, sizeof buffer);
                if (n > 0)
                    out.append(buffer, n);
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        echo.Write("line 50");
        reader.join();
    }
    ::close(p[0]);
    ::close(p[1]);
    const QList<QByteArray> lines = out.mid(out.indexOf("line ")).split('\n');
    int written = 0, dropped = 0, last = -1;
    for (const QByteArray& line : lines) {
        if (line.startsWith("line ")) {
            EXPECT_GT(line.mid(5).toInt(), last);
            last = line.mid(5).toInt();
            ++written;
        } else if (line.endsWith("lines dropped: standard output was not being read")) {
            EXPECT_EQ(dropped, 0);
            dropped = line.split(' ')[0].toInt();
        }
    }
    EXPECT_EQ(last, 50);
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(written + dropped, 51);
}
