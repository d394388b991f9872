// The port stack on a pseudo-terminal that answers the UART ioctls as a UART
// does: what real serial ports and USB adapters do that plain ptys cannot.
#include "serial/AfComPort.h"
#include "support/CoreRecorder.h"
#include "support/UartPty.h"

#include <QTest>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

std::string OpenError(TAfComPortCore& core) {
    try {
        core.Open(1);
    } catch (const EAfComPortCoreError& e) {
        return e.what();
    }
    return "opened";
}

// Voluntary context switches of one thread of this process so far.
long Wakeups(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(line.find(':') + 1));
    return -1;
}

class UartPort : public ::testing::Test {
protected:
    UartPort() { Core.SetDcb(platform::DefaultDcb()); }
    UartPty Uart;
    CoreRecorder Rec; // outlives the core
    TAfComPortCore Core;
};

} // namespace

TEST_F(UartPort, BreakAndFullTtyBufferAreCollectedButAreNoLineError) {
    Rec.Attach(Core);
    ASSERT_TRUE(Core.Open(1));
    // A thermometer power-cycled on the line: a break, read as a NUL.
    Uart.Uart.CountBreak();
    Uart.Uart.CountBufferOverrun();
    ASSERT_TRUE(Uart.Pty.Write(std::string(1, '\0')));
    ASSERT_TRUE(Rec.WaitCount(ceLineEvent, 1, win::EV_RXCHAR));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Rec.Count(ceLineEvent, win::EV_ERR), 0) << "the owner would close the port";
    win::COMSTAT status;
    ASSERT_TRUE(Core.QueryStatus(status));
    EXPECT_EQ(Core.TakeErrors(), win::CE_BREAK | win::CE_RXOVER);
}

TEST_F(UartPort, ErrorsArriveInOneReportWithTheBytesTheySpoiled) {
    Rec.Attach(Core);
    ASSERT_TRUE(Core.Open(1));
    Uart.Uart.CountFrame();
    ASSERT_TRUE(Uart.Pty.Write("x"));
    ASSERT_TRUE(Rec.WaitCount(ceLineEvent, 1));
    EXPECT_EQ(Rec.Reports().front().Data, win::EV_RXCHAR | win::EV_ERR);
    win::COMSTAT status; // what the component does for EV_RXCHAR
    ASSERT_TRUE(Core.QueryStatus(status));
    EXPECT_EQ(status.cbInQue, 1u);
    EXPECT_EQ(Core.TakeErrors(), win::CE_FRAME);
}

TEST_F(UartPort, AStandardRateAfterAnOddOneMovesTheInputSpeedToo) {
    auto opened = platform::OpenCommDevice(1);
    ASSERT_TRUE(opened.Device);
    auto* device = dynamic_cast<platform::TermiosCommDevice*>(opened.Device.get());
    ASSERT_NE(device, nullptr);
    win::DCB dcb = platform::DefaultDcb();
    dcb.BaudRate = 250000;
    ASSERT_TRUE(device->SetState(dcb));
    dcb.BaudRate = 9600;
    ASSERT_TRUE(device->SetState(dcb));
    termios t{};
    ASSERT_EQ(::tcgetattr(device->Fd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << "an input rate of its own is left behind";
}

TEST_F(UartPort, ProbeKeepsAnotherProgramsOutputAndHonoursLockFiles) {
    // Another program holds the port without locking it, its output unsent.
    const int other = ::open(Uart.Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::write(other, "unsent", 6), 6);
    EXPECT_EQ(platform::ProbeComPort(1), platform::PortProbe::Free);
    EXPECT_EQ(Uart.Pty.Read(6, 2000), "unsent");
    ::close(other);

    std::string name = Uart.Pty.SlavePath().substr(5); // below /dev
    for (char& c : name)
        if (c == '/')
            c = '_';
    const std::string lock = Uart.LockDir.path().toStdString() + "/LCK.." + name;
    std::ofstream(lock) << "      " << ::getpid() << "\n";
    EXPECT_EQ(platform::ProbeComPort(1), platform::PortProbe::InUse);
    EXPECT_EQ(OpenError(Core), "Can't open device COM1");
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    std::ofstream(lock) << "      " << gone << "\n"; // a stale lock
    EXPECT_EQ(platform::ProbeComPort(1), platform::PortProbe::Free);
}

TEST_F(UartPort, SerialNodesWithoutAUartAreAbsent) {
    Uart.Uart.SetSerialType(0); // PORT_UNKNOWN
    EXPECT_EQ(platform::ProbeComPort(1), platform::PortProbe::Absent);
    EXPECT_EQ(OpenError(Core), "Invalid port number (COM1)");
    Uart.Uart.SetSerialType(4);
    Uart.Uart.FailWith(EIO);
    EXPECT_EQ(platform::ProbeComPort(1), platform::PortProbe::Absent);
    EXPECT_EQ(OpenError(Core), "Invalid port number (COM1)");
    Uart.Uart.FailWith(0);
    EXPECT_EQ(platform::ProbeComPort(1), platform::PortProbe::Free);
}

TEST_F(UartPort, AQuietOpenPortCostsNoWakeUpsUnlessModemLinesAreWatched) {
    TAfComPort com;
    com.SetComNumber(1);
    com.Open();
    const pid_t tid = com.Core().EventThreadId();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int modem = Uart.Uart.ModemQueries(), counters = Uart.Uart.CounterQueries();
    const long before = Wakeups(tid);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LE(Wakeups(tid) - before, 1);
    EXPECT_EQ(Uart.Uart.ModemQueries(), modem);
    EXPECT_EQ(Uart.Uart.CounterQueries(), counters);
    com.Close();

    // Someone listens: the lines are watched and their changes arrive.
    int changes = 0;
    com.OnCTSChanged = [&](QObject*) { ++changes; };
    com.Open();
    Uart.Uart.SetModemLines(TIOCM_CTS);
    EXPECT_TRUE(QTest::qWaitFor([&] { return changes == 1; }, TestDeadlineMs));
}
