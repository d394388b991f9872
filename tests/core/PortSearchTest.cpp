// The search for the thermometer, listening on pseudo-terminals.
#include "core/PortSearch.h"
#include "platform/Event.h"
#include "support/Pty.h"

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

TEST(PortSearch, NamesTheThermometerAndLeavesTheOtherPortsAsTheyWere) {
    PortDir ports;
    TestPty thermometer, silent, chatter, held;
    ports.Link(1, thermometer.SlavePath());
    ports.Link(2, silent.SlavePath());
    ports.Link(4, chatter.SlavePath());
    ports.Link(5, held.SlavePath());
    ports.Link(6, "/nonexistent/tty");
    ports.Link(7, thermometer.SlavePath()); // the same device by a second number
    QTemporaryDir byId;
    const std::string stable = byId.path().toStdString() + "/usb-Thermo_T1-if00";
    ASSERT_EQ(symlink(thermometer.SlavePath().c_str(), stable.c_str()), 0);
    // Bytes that are no text before the readings, taken as the parser takes them.
    static constexpr char kReadings[] = "\xff\0\x1b +021.4C\r+021.6C\r";
    ASSERT_TRUE(thermometer.Write(std::string(kReadings, sizeof kReadings - 1)));
    ASSERT_TRUE(chatter.Write("OK\rREADY\r"));
    const platform::PortOpenResult holder = platform::OpenPortDescriptor(held.SlavePath());
    ASSERT_GE(holder.Fd, 0);

    PortSearchOptions options;
    options.MaxComPorts = 8;
    options.ListenMs = 500;
    options.StableDir = byId.path().toStdString();
    const PortSearchResult result = SearchPorts(options);

    ASSERT_EQ(result.Ports.size(), 4u);
    EXPECT_EQ(result.Listened, 3);
    const platform::FormatSettings formats;
    EXPECT_EQ(HeardLine(result.Ports[0], formats).toStdString(),
              "COM1  " + ports.Path() + "/COM1  " + thermometer.SlavePath().substr(5) +
                  "  thermometer, 2 readings (21.6)");
    EXPECT_EQ(result.Ports[0].StableName, stable);
    EXPECT_TRUE(OffersStableName(result.Ports[0]));
    EXPECT_EQ(HeardText(result.Ports[1], formats), "no data");
    EXPECT_EQ(result.Ports[2].ComNumber, 4);
    EXPECT_EQ(HeardText(result.Ports[2], formats), "data that is not a reading");
    EXPECT_EQ(HeardText(result.Ports[3], formats), "in use");
    EXPECT_EQ(TriedText(result).toStdString(),
              "listened on 3 ports for 0.5 s: no port sent two readings");
    // Nothing was sent; the holder keeps its exclusive port; what the search
    // opened is free again.
    for (TestPty* pty : {&thermometer, &silent, &chatter})
        EXPECT_EQ(pty->MasterQueued(), 0u);
    int exclusive = 0;
    EXPECT_EQ(ioctl(holder.Fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    for (int n : {1, 2, 4})
        EXPECT_EQ(platform::ProbeComPort(n), platform::PortProbe::Free) << "COM" << n;
    platform::ClosePortDescriptor(holder.Fd);
}

// A search puts back the line settings of every port it listened to, and
// does not touch a port another program has open (here at 115200, cooked).
TEST(PortSearch, LeavesLineSettingsAsFoundAndAnotherProgramsPortAlone) {
    PortDir ports;
    TestPty free, used;
    ports.Link(1, free.SlavePath());
    ports.Link(2, used.SlavePath());
    const auto speedAndMode = [](const TestPty& pty) {
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        ::tcgetattr(fd, &t);
        ::close(fd);
        return std::pair{cfgetospeed(&t), t.c_lflag & ICANON};
    };
    for (TestPty* pty : {&free, &used}) {
        const int fd = ::open(pty->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        ::tcgetattr(fd, &t);
        cfsetspeed(&t, B115200);
        t.c_lflag |= ICANON;
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    const DeviceHolder holder(used.SlavePath());
    ASSERT_TRUE(used.Write("+021.4C\r+021.6C\r"));
    PortSearchOptions options;
    options.MaxComPorts = 2;
    options.ListenMs = 300;
    const PortSearchResult result = SearchPorts(options);
    ASSERT_EQ(result.Ports.size(), 2u);
    EXPECT_EQ(result.Listened, 1);
    EXPECT_EQ(HeardText(result.Ports[1], {}), "in use");
    for (TestPty* pty : {&free, &used})
        EXPECT_EQ(speedAndMode(*pty), (std::pair<speed_t, tcflag_t>{B115200, ICANON}));
}

TEST(PortSearch, AFloodEndsAtTheTimeLimitAndAStopEndsTheSearchAtOnce) {
    PortDir ports;
    TestPty flood;
    ports.Link(1, flood.SlavePath());
    std::atomic<bool> flooding{true};
    std::thread device([&] {
        const std::string junk(4096, 'x');
        while (flooding)
            flood.Write(junk, 50);
    });
    PortSearchOptions options;
    options.MaxComPorts = 1;
    options.ListenMs = 300;
    auto started = std::chrono::steady_clock::now();
    PortSearchResult result = SearchPorts(options);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    ASSERT_EQ(result.Ports.size(), 1u);
    EXPECT_EQ(result.Ports[0].Heard, PortHeard::NotReadings);

    platform::Event stop;
    options.ListenMs = 120000;
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop.Set();
    });
    started = std::chrono::steady_clock::now();
    result = SearchPorts(options, &stop);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
    stopper.join();
    flooding = false;
    device.join();
    ASSERT_EQ(result.Ports.size(), 1u);
    EXPECT_EQ(result.Ports[0].Heard, PortHeard::Stopped);
    EXPECT_EQ(platform::ProbeComPort(1), platform::PortProbe::Free);
}
