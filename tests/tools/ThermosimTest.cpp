// The thermometer simulator, run from the build tree and read through its
// pseudo-terminal the way the program reads a serial port.
#include "tools/ToolProcess.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Line {
    std::string Text;
    Clock::time_point At;
};

// Reads CR-ended lines from a terminal device until count lines came, the
// other side hung up, or the limit passed.
class TerminalReader {
public:
    explicit TerminalReader(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~TerminalReader() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }
    bool HungUp() const { return hungUp_; }

    std::vector<Line> Read(std::size_t count, std::chrono::milliseconds limit = 20s) {
        std::vector<Line> lines;
        const auto deadline = Clock::now() + limit;
        while (lines.size() < count && !hungUp_ && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[256];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                hungUp_ = true;
                break;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] == '\r') {
                    lines.push_back({partial_, Clock::now()});
                    partial_.clear();
                } else {
                    partial_ += buf[i];
                }
            }
        }
        return lines;
    }

private:
    int fd_ = -1;
    bool hungUp_ = false;
    std::string partial_;
};

bool IsReading(const std::string& text) {
    static const QRegularExpression reading(
        QRegularExpression::anchoredPattern(R"([+-]\d{3}\.\dC)"));
    return reading.match(QString::fromStdString(text)).hasMatch();
}

double ValueOf(const std::string& reading) {
    return std::stod(reading.substr(0, 6));
}

TEST(Thermosim, WritesReadingsInTheThermometersFormThroughTheLink) {
    QTemporaryDir dir;
    ToolProcess sim("thermosim");
    ASSERT_TRUE(sim.Start({"--interval-ms", "20", "--count", "10", "--start", "25", "--link-dir",
                           dir.path(), "--com", "7"}));
    const auto path = sim.ReadLine();
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->rfind("/dev/pts/", 0), 0u) << *path;

    const std::string link = dir.path().toStdString() + "/COM7";
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), *path);

    TerminalReader reader(link);
    ASSERT_TRUE(reader.IsOpen());
    const auto lines = reader.Read(10);
    ASSERT_EQ(lines.size(), 10u);
    for (const auto& line : lines) {
        ASSERT_TRUE(IsReading(line.Text)) << line.Text;
        EXPECT_NEAR(ValueOf(line.Text), 25.0, 3.2) << line.Text;
    }
    EXPECT_EQ(sim.WaitForExit(), 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0) << "the link outlived the simulator";
}

TEST(Thermosim, NegativeValuesAndGarbageLines) {
    ToolProcess sim("thermosim");
    ASSERT_TRUE(sim.Start(
        {"--interval-ms", "20", "--count", "6", "--start", "-5", "--garbage-every", "3"}));
    const auto path = sim.ReadLine();
    ASSERT_TRUE(path.has_value());
    TerminalReader reader(*path);
    const auto lines = reader.Read(8);
    ASSERT_EQ(lines.size(), 8u);
    int garbage = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool isReading = IsReading(lines[i].Text);
        // Six readings with a garbage line after the third and the sixth.
        EXPECT_EQ(isReading, i != 3 && i != 7) << i << ": " << lines[i].Text;
        if (isReading) {
            EXPECT_EQ(lines[i].Text[0], '-') << lines[i].Text;
            EXPECT_NEAR(ValueOf(lines[i].Text), -5.0, 3.2);
        } else {
            ++garbage;
        }
    }
    EXPECT_EQ(garbage, 2);
    EXPECT_EQ(sim.WaitForExit(), 0);
}

TEST(Thermosim, HangsUpAfterTheGivenReadings) {
    ToolProcess sim("thermosim");
    ASSERT_TRUE(sim.Start({"--interval-ms", "300", "--hangup-after", "3"}));
    const auto path = sim.ReadLine();
    ASSERT_TRUE(path.has_value());
    TerminalReader reader(*path);
    // Opening can only fail when the hang-up came first (a very slow test).
    if (reader.IsOpen()) {
        const auto lines = reader.Read(100);
        EXPECT_TRUE(reader.HungUp());
        EXPECT_LE(lines.size(), 3u);
    }
    EXPECT_EQ(sim.WaitForExit(), 0);
}

TEST(Thermosim, GoesQuietForTheGivenTime) {
    ToolProcess sim("thermosim");
    ASSERT_TRUE(sim.Start(
        {"--interval-ms", "20", "--count", "4", "--silent-after", "2", "--silent-for", "2"}));
    const auto path = sim.ReadLine();
    ASSERT_TRUE(path.has_value());
    TerminalReader reader(*path);
    const auto lines = reader.Read(4);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_GE(lines[2].At - lines[1].At, 1s);
    EXPECT_EQ(sim.WaitForExit(), 0);
}

TEST(Thermosim, NobodyReadingDoesNotStallIt) {
    // Far more than a terminal's queue holds, as fast as it can write.
    ToolProcess sim("thermosim");
    ASSERT_TRUE(sim.Start({"--interval-ms", "0", "--count", "20000"}));
    EXPECT_EQ(sim.WaitForExit(60s), 0);
}

TEST(Thermosim, StopSignalsEndItCleanlyAndRemoveTheLink) {
    for (const int signal : {SIGTERM, SIGINT}) {
        QTemporaryDir dir;
        ToolProcess sim("thermosim");
        ASSERT_TRUE(
            sim.Start({"--interval-ms", "50", "--print", "--link-dir", dir.path(), "--com", "2"}));
        ASSERT_TRUE(sim.ReadLine().has_value());
        const auto reading = sim.ReadLine(); // --print echoes each reading
        ASSERT_TRUE(reading.has_value());
        EXPECT_TRUE(IsReading(*reading)) << *reading;
        const std::string link = dir.path().toStdString() + "/COM2";
        ASSERT_EQ(access(link.c_str(), F_OK), 0);
        sim.Signal(signal);
        EXPECT_EQ(sim.WaitForExit(), 0) << "signal " << signal;
        EXPECT_NE(access(link.c_str(), F_OK), 0);
    }
}

TEST(Thermosim, BadArgumentsAreRefused) {
    for (const QStringList& args : {QStringList{"--interval-ms", "-1"}, QStringList{"--count", "x"},
                                    QStringList{"--com", "3"}, QStringList{"--bogus"}}) {
        ToolProcess sim("thermosim");
        ASSERT_TRUE(sim.Start(args));
        EXPECT_EQ(sim.WaitForExit(), 2) << args.join(' ').toStdString();
    }
}

} // namespace
