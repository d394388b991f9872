#include "platform/SystemdNotify.h"
#include "support/Pump.h"

#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using platform::SystemdNotify;
using Messages = std::vector<std::string>;

// The test's own notify socket, named in NOTIFY_SOCKET while it lives.
struct NotifySocket {
    QTemporaryDir Dir;
    int Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    explicit NotifySocket(bool named = true) {
        sockaddr_un addr{AF_UNIX, {}};
        Dir.filePath("n").toStdString().copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        if (named)
            setenv("NOTIFY_SOCKET", addr.sun_path, 1);
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        close(Fd);
    }
    Messages Take() { // what waits now, without running the event loop
        Messages got;
        char buf[4096];
        for (ssize_t n; (n = recv(Fd, buf, sizeof buf, 0)) >= 0;)
            got.emplace_back(buf, static_cast<size_t>(n));
        return got;
    }
};

TEST(SystemdNotify, StateChangesReachTheSocket) {
    NotifySocket sock;
    SystemdNotify notify;
    notify.Ready();
    notify.Reloading();
    notify.Stopping();
    const auto got = sock.Take();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "READY=1");
    EXPECT_TRUE(got[1].starts_with("RELOADING=1\nMONOTONIC_USEC=")) << got[1];
    EXPECT_EQ(got[2], "STOPPING=1");
}

// The first status goes at once; a repeat is not sent; changes within the
// second are held and only the latest goes, on one line, when it is over;
// a change undone within the second sends nothing.
TEST(SystemdNotify, StatusIsDedupedRateLimitedAndOneLine) {
    NotifySocket sock;
    SystemdNotify notify;
    for (const char* text : {"a", "a", "b", "c\nREADY=1"})
        notify.SetStatus(text);
    EXPECT_EQ(sock.Take(), Messages{"STATUS=a"});
    PumpFor(700ms);
    EXPECT_TRUE(sock.Take().empty());
    Messages got;
    ASSERT_TRUE(PumpUntil([&] { return !(got = sock.Take()).empty(); }));
    EXPECT_EQ(got, Messages{"STATUS=c READY=1"});
    notify.SetStatus("d");
    notify.SetStatus("c\nREADY=1");
    PumpFor(1200ms);
    EXPECT_TRUE(sock.Take().empty());
}

TEST(SystemdNotify, WatchdogPingsOnlyWhileTheEventLoopRuns) {
    NotifySocket sock;
    setenv("WATCHDOG_USEC", "200000", 1);
    SystemdNotify notify;
    PumpFor(350ms);
    const auto pings = sock.Take();
    // Half the 200 ms watchdog: a ping every 100 ms, never more often.
    EXPECT_GE(pings.size(), 2u);
    EXPECT_LE(pings.size(), 4u); // a little slack for a late pump
    EXPECT_EQ(pings, Messages(pings.size(), "WATCHDOG=1"));
    std::this_thread::sleep_for(300ms); // a blocked main thread
    EXPECT_TRUE(sock.Take().empty());
}

// WATCHDOG_USEC and WATCHDOG_PID as systemd sets them: a watchdog only for
// this process and a plain number, and never more than ten pings a second.
TEST(SystemdNotify, WatchdogSettingsAreReadAsSystemdWritesThem) {
    NotifySocket sock;
    const auto pingsIn = [&](const char* usec, const std::string& pid) {
        setenv("WATCHDOG_USEC", usec, 1);
        if (pid.empty())
            unsetenv("WATCHDOG_PID");
        else
            setenv("WATCHDOG_PID", pid.c_str(), 1);
        SystemdNotify notify;
        PumpFor(450ms);
        return sock.Take().size();
    };
    const std::string self = std::to_string(getpid());
    EXPECT_GE(pingsIn("200000", self), 2u);
    EXPECT_EQ(pingsIn("200000", std::to_string(getpid() + 1)), 0u) << "another process's";
    for (const char* bad : {"", "20ms", "-200000", "+200000", "99999999999999999999999"})
        EXPECT_EQ(pingsIn(bad, ""), 0u) << bad;
    const std::size_t fast = pingsIn("1", "");
    EXPECT_GE(fast, 1u);
    EXPECT_LE(fast, 5u) << "pinged more often than every 100 ms";
    unsetenv("WATCHDOG_PID");
}

TEST(SystemdNotify, AnOverlongSocketNameIsSaidAsSuch) {
    NotifySocket sock;
    setenv("NOTIFY_SOCKET", ("/run/" + std::string(200, 'n')).c_str(), 1);
    testing::internal::CaptureStderr();
    SystemdNotify notify;
    notify.Ready();
    notify.Stopping();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("NOTIFY_SOCKET names a socket of 205 bytes, longer than the 107"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "said once";
}

TEST(SystemdNotify, WithoutNotifySocketNoTimerRuns) {
    NotifySocket sock(false);
    setenv("WATCHDOG_USEC", "200000", 1);
    SystemdNotify notify;
    notify.Ready();
    notify.SetStatus("x");
    notify.SetStatus("y");
    EXPECT_FALSE(notify.Active());
    for (QTimer* t : notify.findChildren<QTimer*>())
        EXPECT_FALSE(t->isActive());
}

TEST(ServiceStatusText, NamesTemperaturePortAndLastSend) {
    using namespace platform;
    ServiceStatus s;
    s.Temperature = QString::fromUtf8("21.4°C");
    s.Port = "COM1";
    s.PortState = "connected";
    EXPECT_EQ(ServiceStatusText(s), QString::fromUtf8("21.4°C, COM1 connected, no send yet"));
    s = {"", "COM1", "missing", ServiceSendResult::Failed, "10:15:00", "connection refused", true,
         "temperature stale since 10:14:00", {}};
    EXPECT_EQ(ServiceStatusText(s), "ALARM temperature stale since 10:14:00; -, COM1 missing "
                                    "(reconnecting), last send 10:15:00 failed (connection refused)");
    s.TimeSeries = "backlog 12 since 10:14";
    EXPECT_TRUE(ServiceStatusText(s).endsWith("failed (connection refused), time series backlog "
                                              "12 since 10:14"));
}
