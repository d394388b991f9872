#include "platform/PortMap.h"
#include "platform/TermiosCommDevice.h"

#include "support/FakeCommDevice.h"
#include "support/Pty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using platform::CommOpenError;
using platform::PortProbe;
using platform::ProbeComPort;

namespace {

// Clears KELVOX_PORT_DIR for one test and puts it back afterwards.
class NoPortDir {
public:
    NoPortDir() {
        if (const char* v = std::getenv("KELVOX_PORT_DIR")) {
            had_ = true;
            old_ = v;
        }
        ::unsetenv("KELVOX_PORT_DIR");
    }
    ~NoPortDir() {
        if (had_)
            ::setenv("KELVOX_PORT_DIR", old_.c_str(), 1);
    }

private:
    bool had_ = false;
    std::string old_;
};

int ExclusiveFlag(int fd) {
    int excl = -1;
    ::ioctl(fd, TIOCGEXCL, &excl);
    return excl;
}

} // namespace

TEST(PortMap, ComNumbersMapOntoTheDeviceFamilies) {
    NoPortDir clear;
    EXPECT_EQ(platform::ComPortPath(1), "/dev/ttyS0");
    EXPECT_EQ(platform::ComPortPath(32), "/dev/ttyS31");
    EXPECT_EQ(platform::ComPortPath(33), "/dev/ttyUSB0");
    EXPECT_EQ(platform::ComPortPath(64), "/dev/ttyUSB31");
    EXPECT_EQ(platform::ComPortPath(65), "/dev/ttyACM0");
    EXPECT_EQ(platform::ComPortPath(96), "/dev/ttyACM31");
    EXPECT_EQ(platform::ComPortPath(97), "/dev/ttyAMA0");
    EXPECT_EQ(platform::ComPortPath(128), "/dev/ttyAMA31");
    EXPECT_EQ(platform::ComPortPath(129), "");
    EXPECT_EQ(platform::ComPortPath(255), "");
    EXPECT_EQ(platform::ComPortPath(0), "");
    EXPECT_EQ(platform::ComPortPath(-4), "");
    EXPECT_EQ(ProbeComPort(129), PortProbe::Absent);
    EXPECT_EQ(platform::OpenCommDevice(200).Error, CommOpenError::NotFound);
}

TEST(PortMap, PortDirectoryReplacesTheDeviceFamilies) {
    PortDir dir;
    EXPECT_EQ(platform::ComPortPath(7), dir.Path() + "/COM7");
    EXPECT_EQ(platform::ComPortPath(200), dir.Path() + "/COM200");
    EXPECT_EQ(platform::ComPortPath(0), "");
    // No entry: the port does not exist, even where /dev has a node.
    EXPECT_EQ(ProbeComPort(1), PortProbe::Absent);
}

TEST(PortMap, OpenClassifiesFailures) {
    PortDir dir;
    // Missing entry, dangling link, and things that are no tty: not found.
    auto missing = platform::OpenPortDescriptor(dir.Path() + "/COM1");
    EXPECT_EQ(missing.Error, CommOpenError::NotFound);
    EXPECT_EQ(missing.SystemError, ENOENT);
    EXPECT_EQ(missing.Fd, -1);
    dir.Link(2, dir.Path() + "/nowhere");
    EXPECT_EQ(platform::OpenPortDescriptor(dir.Path() + "/COM2").Error, CommOpenError::NotFound);
    const std::string file = dir.Path() + "/plain";
    std::ofstream(file) << "x";
    dir.Link(3, file);
    EXPECT_EQ(platform::OpenPortDescriptor(dir.Path() + "/COM3").Error, CommOpenError::NotFound);
    EXPECT_EQ(platform::OpenPortDescriptor("").Error, CommOpenError::NotFound);

    // A tty held by someone: cannot open, and the holder keeps it.
    TestPty pty;
    auto first = platform::OpenPortDescriptor(pty.SlavePath());
    ASSERT_GE(first.Fd, 0);
    auto second = platform::OpenPortDescriptor(pty.SlavePath());
    EXPECT_EQ(second.Error, CommOpenError::CannotOpen);
    EXPECT_EQ(second.SystemError, EBUSY);
    EXPECT_EQ(second.Fd, -1);
    platform::ClosePortDescriptor(first.Fd);
    auto third = platform::OpenPortDescriptor(pty.SlavePath());
    EXPECT_GE(third.Fd, 0);
    platform::ClosePortDescriptor(third.Fd);
}

// Anyone may write there: a FIFO named as the port's lock file must not hold the probe.
TEST(PortMap, AFifoAsLockFileDoesNotBlock) {
    TestPty pty;
    platform::PortOpenContext context;
    context.LockDir = ::testing::TempDir();
    const std::string lock = context.LockDir + "/LCK..pts_" + pty.SlavePath().substr(9);
    ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0);
    auto probe = std::async(std::launch::async,
                            [&] { return platform::ProbePortPath(pty.SlavePath(), context); });
    EXPECT_EQ(probe.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    ::close(::open(lock.c_str(), O_WRONLY | O_NONBLOCK)); // frees a blocked probe
    ::unlink(lock.c_str());
    EXPECT_EQ(probe.get(), PortProbe::Free);
}

TEST(PortMap, ExclusiveFlagIsHeldWhileOpenAndDroppedAtClose) {
    TestPty pty; // keeps a slave descriptor of its own to look with
    const int probeFd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probeFd, 0);
    auto opened = platform::OpenPortDescriptor(pty.SlavePath());
    ASSERT_GE(opened.Fd, 0);
    EXPECT_EQ(ExclusiveFlag(probeFd), 1);
    platform::ClosePortDescriptor(opened.Fd);
    EXPECT_EQ(ExclusiveFlag(probeFd), 0);
    // Already exclusive (someone else set it): in use, even for root.
    ASSERT_EQ(::ioctl(probeFd, TIOCEXCL), 0);
    EXPECT_EQ(platform::OpenPortDescriptor(pty.SlavePath()).Error, CommOpenError::CannotOpen);
    ::ioctl(probeFd, TIOCNXCL);
    ::close(probeFd);
}

// The exclusive flag of a program that was killed is taken over (root alone
// can open such a port to find out); one held by a live program is not.
TEST(PortMap, AStaleExclusiveFlagIsTakenOverAndALiveOneIsNot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root opens a port that is exclusive";
    TestPty pty(/*keepSlaveOpen=*/false);
    const auto leaveExclusive = [&] {
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
        ::close(fd);
    };
    leaveExclusive();
    platform::CommOpenResult opened = platform::TermiosCommDevice::Open(pty.SlavePath(), 1);
    ASSERT_TRUE(opened.Device) << opened.SystemError;
    EXPECT_NE(opened.Device->OpenNotice().find("left exclusive"), std::string::npos);
    opened.Device.reset();

    const DeviceHolder holder(pty.SlavePath());
    leaveExclusive();
    const platform::PortOpenResult busy = platform::OpenPortDescriptor(pty.SlavePath());
    EXPECT_LT(busy.Fd, 0);
    EXPECT_EQ(busy.SystemError, EBUSY);
}

TEST(PortMap, ProbeTellsFreeInUseAndAbsentAcrossGaps) {
    PortDir dir;
    TestPty a, b;
    dir.Link(2, a.SlavePath());
    dir.Link(5, b.SlavePath());
    auto held = platform::OpenCommDevice(5);
    ASSERT_TRUE(held.Device);

    const PortProbe expected[] = {PortProbe::Absent, PortProbe::Free,  PortProbe::Absent,
                                  PortProbe::Absent, PortProbe::InUse, PortProbe::Absent};
    for (int n = 1; n <= 6; ++n)
        EXPECT_EQ(ProbeComPort(n), expected[n - 1]) << "COM" << n;

    held.Device.reset();
    EXPECT_EQ(ProbeComPort(5), PortProbe::Free);
    // The probe leaves the port as it found it: not exclusive, open again.
    auto again = platform::OpenCommDevice(2);
    EXPECT_TRUE(again.Device);
}

TEST(PortMap, ProbeDoesNotEatInputTheDeviceHasSent) {
    PortDir dir;
    TestPty pty;
    dir.Link(1, pty.SlavePath());
    ASSERT_TRUE(pty.Write("+021.5C\r"));
    ASSERT_EQ(ProbeComPort(1), PortProbe::Free);
    auto opened = platform::OpenCommDevice(1);
    ASSERT_TRUE(opened.Device);
    char buffer[32];
    EXPECT_EQ(opened.Device->Read(buffer, sizeof buffer), 8);
}

TEST(PortMap, ProbeGoesThroughAnInstalledFactory) {
    FakeCommPorts fakes;
    auto free = fakes.Add(3);
    auto refused = fakes.Add(4);
    refused->SetOpenError(CommOpenError::CannotOpen, EACCES);
    auto held = platform::OpenCommDevice(3);
    ASSERT_TRUE(held.Device);
    EXPECT_EQ(ProbeComPort(3), PortProbe::InUse);
    EXPECT_EQ(ProbeComPort(4), PortProbe::InUse);
    EXPECT_EQ(ProbeComPort(5), PortProbe::Absent);
    held.Device.reset();
    EXPECT_EQ(ProbeComPort(3), PortProbe::Free);
    EXPECT_FALSE(free->IsOpen()); // the probe released its device at once
}

TEST(PortMap, DefaultConfigOnlyForExistingPorts) {
    PortDir dir;
    TestPty pty;
    dir.Link(9, pty.SlavePath());
    win::COMMCONFIG cc{};
    cc.dwSize = 0;
    EXPECT_FALSE(platform::GetDefaultCommConfig(8, cc));
    EXPECT_FALSE(platform::GetDefaultCommConfig(0, cc));
    ASSERT_TRUE(platform::GetDefaultCommConfig(9, cc));
    EXPECT_EQ(cc.dwSize, 52u);
    EXPECT_EQ(cc.dcb.DCBlength, 28u);
    EXPECT_EQ(cc.dcb.BaudRate, 9600u);
    EXPECT_EQ(cc.dcb.ByteSize, 8);
    EXPECT_EQ(cc.dcb.Parity, win::NOPARITY);
    EXPECT_EQ(cc.dcb.StopBits, win::ONESTOPBIT);
    EXPECT_EQ(cc.dcb.Flags, 0x1011u); // binary, DTR on, RTS on

    auto opened = platform::OpenCommDevice(9);
    ASSERT_TRUE(opened.Device);
    win::DCB dcb = platform::DefaultDcb();
    dcb.BaudRate = 57600;
    dcb.ByteSize = 7;
    dcb.Parity = win::EVENPARITY;
    ASSERT_TRUE(opened.Device->SetState(dcb));
    ASSERT_TRUE(platform::GetCommConfig(*opened.Device, cc));
    EXPECT_EQ(cc.dwSize, 52u);
    EXPECT_EQ(cc.dcb.BaudRate, 57600u);
    EXPECT_EQ(cc.dcb.ByteSize, 7);
    EXPECT_EQ(cc.dcb.Parity, win::EVENPARITY);
}

// A port the user may not open: "cannot open", and one hint about the
// dialout group on stderr however often it happens. Needs a user to drop to,
// so it runs in a child process that gives up root.
TEST(PortMap, NoPermissionIsCannotOpenWithOneHint) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    TestPty pty;
    ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0600), 0);
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(err[1], 2);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        for (int i = 0; i < 3; ++i) {
            const auto r = platform::OpenPortDescriptor(pty.SlavePath());
            if (r.Fd >= 0 || r.Error != CommOpenError::CannotOpen || r.SystemError != EACCES)
                ::_exit(11);
        }
        ::_exit(0);
    }
    ::close(err[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(err[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(err[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::size_t hints = 0;
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        ++hints;
    // A 0600 node: joining a group would not help, so its owner and mode
    // are named instead.
    EXPECT_NE(text.find("mode 0600"), std::string::npos) << text;
    EXPECT_EQ(text.find("dialout"), std::string::npos) << text;
    EXPECT_EQ(hints, 1u) << text; // one line for three refusals
}
