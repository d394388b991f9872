// The port core on real pseudo-terminals: the test plays the device on the
// master side, the core opens the slave through a COM<n> link.
#include "serial/AfComPortCore.h"
#include "support/CoreRecorder.h"
#include "support/ProcessStats.h"
#include "support/Pty.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int Deadline = TestDeadlineMs;

// Reads from the core until `count` bytes came or the deadline passed.
std::string ReadFromCore(TAfComPortCore& core, std::size_t count) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Deadline);
    char buffer[512];
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        const std::int32_t n = core.Read(buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, static_cast<std::size_t>(n));
        else
            std::this_thread::sleep_for(2ms);
    }
    return got;
}

// A core with usable line settings (a core on its own starts with an empty
// DCB, which a real device refuses).
class PtyCore : public TAfComPortCore {
public:
    PtyCore() { SetDcb(platform::DefaultDcb()); }
};

class CorePty : public ::testing::Test {
protected:
    void SetUp() override { Dir.Link(5, Pty.SlavePath()); }
    PortDir Dir;
    TestPty Pty;
};

} // namespace

TEST_F(CorePty, OpensAndClosesManyTimesWithoutLeaks) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    PtyCore core;
    rec.Attach(core);
    // The first opening creates the process-wide objects; count after it.
    ASSERT_TRUE(core.Open(5));
    core.Close();
    const int fdsBefore = OpenDescriptors();
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(core.Open(5)) << "cycle " << i;
        EXPECT_TRUE(core.IsOpen());
        EXPECT_NE(core.PortHandle(), nullptr);
        EXPECT_NE(core.EventThreadId(), 0);
        EXPECT_NE(core.WriteThreadId(), 0);
        core.Close();
        EXPECT_FALSE(core.IsOpen());
        EXPECT_EQ(core.PortHandle(), nullptr);
        EXPECT_EQ(core.EventThreadId(), 0);
        EXPECT_EQ(core.WriteThreadId(), 0);
    }
    EXPECT_EQ(OpenDescriptors(), fdsBefore) << "descriptors leaked by open/close";
    core.Close(); // closing a closed core does nothing
    EXPECT_FALSE(core.IsOpen());
}

TEST_F(CorePty, InvalidNumbersAndAbsentPortsRaiseInvalidPortNumber) {
    PtyCore core;
    const std::pair<int, const char*> cases[] = {{0, "Invalid port number (COM0)"},
                                                 {-3, "Invalid port number (COM-3)"},
                                                 {7, "Invalid port number (COM7)"}};
    for (const auto& [n, text] : cases) {
        try {
            core.Open(n);
            ADD_FAILURE() << "Open(" << n << ") did not raise";
        } catch (const EAfComPortCoreError& e) {
            EXPECT_STREQ(e.what(), text);
        }
        EXPECT_FALSE(core.IsOpen());
        EXPECT_EQ(core.PortHandle(), nullptr);
    }
}

TEST_F(CorePty, FailedOpensCarryThePathAndWhy) {
    ASSERT_EQ(::mkfifo((Dir.Path() + "/fifo").c_str(), 0666), 0);
    for (const auto& [to, why] : {std::pair{Dir.Path() + "/gone", "no such file"},
                                  {Dir.Path() + "/fifo", "not a serial device"},
                                  {std::string("/dev/ptmx"), "not a serial device"}}) {
        Dir.Link(7, to);
        try {
            PtyCore().Open(7);
            ADD_FAILURE() << to << " opened";
        } catch (const EAfComPortCoreError& e) {
            EXPECT_EQ(e.Hint(), Dir.Path() + "/COM7: " + why);
        }
    }
}

TEST_F(CorePty, SecondOpenOfAHeldPortCannotOpenAndOpenOnOpenDoesNothing) {
    PtyCore holder;
    ASSERT_TRUE(holder.Open(5));
    const pid_t eventThread = holder.EventThreadId();
    EXPECT_FALSE(holder.Open(5)); // already open: false, nothing else
    EXPECT_EQ(holder.EventThreadId(), eventThread);

    PtyCore second;
    try {
        second.Open(5);
        ADD_FAILURE() << "a held port opened twice";
    } catch (const EAfComPortCoreError& e) {
        EXPECT_STREQ(e.what(), "Can't open device COM5");
    }
    EXPECT_FALSE(second.IsOpen());

    // The holder is unaffected and still talks to the device.
    ASSERT_TRUE(Pty.Write("ok"));
    EXPECT_EQ(ReadFromCore(holder, 2), "ok");
    holder.Close();
    EXPECT_TRUE(second.Open(5)); // free again
}

TEST_F(CorePty, BufferSizesOutOfRangeFailTheOpen) {
    PtyCore core;
    core.SetInBufSize(-1);
    EXPECT_THROW(core.Open(5), EAfComPortCoreError);
    core.SetInBufSize(8192);
    core.SetOutBufSize(2147483647);
    EXPECT_THROW(core.Open(5), EAfComPortCoreError);
}

TEST_F(CorePty, ClosedCoreRefusesEveryOperation) {
    PtyCore core;
    char buffer[4];
    win::COMSTAT status;
    status.cbInQue = 77;
    status.cbOutQue = 77;
    EXPECT_EQ(core.Read(buffer, 4), -1);
    EXPECT_FALSE(core.Write("ab", 2));
    EXPECT_EQ(core.OutputFree(), 0);
    EXPECT_EQ(core.TakeErrors(), 0u);
    EXPECT_FALSE(core.EscapeFunction(win::SETDTR));
    EXPECT_FALSE(core.QueryStatus(status));
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_EQ(status.cbOutQue, 0u);
}

TEST_F(CorePty, ReadsWhatTheOtherSideWrote) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    PtyCore core;
    rec.Attach(core);
    ASSERT_TRUE(core.Open(5));
    char buffer[64];
    EXPECT_EQ(core.Read(buffer, sizeof buffer), 0) << "nothing queued: returns at once with 0";

    ASSERT_TRUE(Pty.Write(std::string("+21.5\r\0x", 8)));
    ASSERT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_RXCHAR));
    // A read of fewer bytes than queued takes just those.
    std::string got = ReadFromCore(core, 3);
    ASSERT_GE(got.size(), 3u);
    got += ReadFromCore(core, 8 - got.size());
    EXPECT_EQ(got, std::string("+21.5\r\0x", 8)); // bytes as they are, NUL kept
    EXPECT_EQ(core.Read(buffer, sizeof buffer), 0);
}

TEST_F(CorePty, WritingAcrossTheRingEndArrivesInOrderWithOneOutFree) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    PtyCore core;
    rec.Attach(core);
    core.SetOutBufSize(64);
    ASSERT_TRUE(core.Open(5));
    EXPECT_EQ(core.OutputFree(), 64);

    const std::string first(40, 'a');
    ASSERT_TRUE(core.Write(first.data(), 40));
    EXPECT_EQ(Pty.Read(40), first);
    ASSERT_TRUE(rec.WaitCount(ceOutFree, 1));
    ASSERT_TRUE(Pty.ReadAvailable().empty());

    // 50 bytes from offset 40 of 64: 24 to the end of the storage, 26 from
    // its start.
    std::string second;
    for (int i = 0; i < 50; ++i)
        second += static_cast<char>('A' + i % 26);
    rec.Clear();
    ASSERT_TRUE(core.Write(second.data(), 50));
    EXPECT_EQ(Pty.Read(50), second);
    ASSERT_TRUE(rec.WaitCount(ceOutFree, 1));
    // Give a wrongly repeated drained report time to show up.
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(rec.Count(ceOutFree), 1);
    EXPECT_EQ(core.OutputFree(), 64);

    // All or nothing: a write larger than the free room queues nothing; a
    // write of exactly the capacity fits.
    const std::string big(65, 'z');
    EXPECT_FALSE(core.Write(big.data(), 65));
    EXPECT_EQ(core.OutputFree(), 64);
    ASSERT_TRUE(core.Write(big.data(), 64));
    EXPECT_EQ(Pty.Read(64), std::string(64, 'z'));
}

TEST_F(CorePty, UnreadBytesAreReportedAgainAfterEveryQuietPoll) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    PtyCore core;
    rec.Attach(core);
    ASSERT_TRUE(core.Open(5));
    ASSERT_TRUE(Pty.Write("0123456789"));
    ASSERT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_RXCHAR));
    ASSERT_TRUE(rec.WaitCount(ceNeedReadData, 3));
    for (const CoreReport& r : rec.Reports()) {
        if (r.Kind == ceNeedReadData) {
            EXPECT_EQ(r.Data, 10u);
        }
    }
    // The growth was reported once; the polls do not repeat the comm event.
    EXPECT_EQ(rec.Count(ceLineEvent, win::EV_RXCHAR), 1);

    ASSERT_EQ(ReadFromCore(core, 10).size(), 10u);
    rec.Clear();
    std::this_thread::sleep_for(700ms); // several poll intervals
    EXPECT_EQ(rec.Count(ceNeedReadData), 0) << "polls went on after the bytes were read";
}

TEST_F(CorePty, ABurstGivesFewRxCharReportsNotOnePerByte) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    PtyCore core;
    rec.Attach(core);
    ASSERT_TRUE(core.Open(5));
    const std::string burst(3000, 'b');
    ASSERT_TRUE(Pty.Write(burst));
    ASSERT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_RXCHAR));
    EXPECT_EQ(ReadFromCore(core, burst.size()), burst);
    const int reports = rec.Count(ceLineEvent, win::EV_RXCHAR);
    EXPECT_LT(reports, 100) << "one report per completed wait, not per byte";
}

TEST_F(CorePty, NoReportAfterCloseAndQueuedOutputIsDiscarded) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    PtyCore core;
    rec.Attach(core);
    core.SetOutBufSize(1 << 20);
    ASSERT_TRUE(core.Open(5));
    // More than the pty takes while nobody reads the other side: the write
    // thread sits in a pending write when the close begins.
    const std::string lots(1 << 20, 'q');
    ASSERT_TRUE(core.Write(lots.data(), static_cast<std::int32_t>(lots.size())));
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    core.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << "the flush did not abort";
    const int reportsAtClose = static_cast<int>(rec.Reports().size());
    EXPECT_EQ(rec.Count(ceOutFree), 0) << "discarded output reported as drained";
    // The other side keeps talking after the close: nothing more arrives.
    ASSERT_TRUE(Pty.Write("late"));
    Pty.ReadAvailable();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(static_cast<int>(rec.Reports().size()), reportsAtClose);
}

TEST_F(CorePty, HangUpGivesOneLineErrorAndNoBusyLoop) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    PtyCore core;
    rec.Attach(core);
    ASSERT_TRUE(core.Open(5));
    Pty.CloseSlave(); // only the core holds the slave now
    Pty.CloseMaster();
    ASSERT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_ERR));
    const double cpuBefore = CpuSeconds();
    std::this_thread::sleep_for(1000ms);
    const double cpu = CpuSeconds() - cpuBefore;
    EXPECT_EQ(rec.Count(ceLineEvent, win::EV_ERR), 1);
    EXPECT_LT(cpu, 0.25) << "the threads spin on the dead device";
    win::COMSTAT status;
    core.QueryStatus(status);
    EXPECT_TRUE(core.TakeErrors() & win::CE_IOE);
    EXPECT_TRUE(core.IsOpen()); // the owner decides to close
    core.Close();
    EXPECT_FALSE(core.IsOpen());
}

TEST_F(CorePty, PriorityChangesReachTheRunningThreads) {
    const int ownNice = ::getpriority(PRIO_PROCESS, 0); // a niced test run starts above 0
    PtyCore core;
    core.SetEventThreadPriority(tpNormal);
    core.SetWriteThreadPriority(tpLower);
    ASSERT_TRUE(core.Open(5));
    errno = 0;
    EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(core.WriteThreadId())),
              platform::PriorityToNice(tpLower));
    core.SetEventThreadPriority(tpLowest);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(core.EventThreadId())),
              platform::PriorityToNice(tpLowest));
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), ownNice) << "the caller's own priority changed";
}
