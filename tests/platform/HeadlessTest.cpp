#include "platform/Headless.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
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
// the main thread, in order, once the event loop runs; repeats that piled
// up meanwhile count once.
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
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], SIGUSR2);
    EXPECT_EQ(seen[1], SIGUSR1);
    std::signal(SIGUSR1, SIG_DFL);
    std::signal(SIGUSR2, SIG_DFL);
}
