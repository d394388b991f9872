// The port core on the scriptable fake device: what pseudo-terminals cannot
// do (modem lines, line errors, refused calls, failing waits, exceptions on
// the workers).
#include "platform/MessageBox.h"
#include "serial/AfComPortCore.h"
#include "serial/AfUtils.h"
#include "support/CoreRecorder.h"
#include "support/FakeCommDevice.h"
#include "support/Pump.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int Deadline = TestDeadlineMs;

std::string MessageOf(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    } catch (...) {
        return "?";
    }
}

class CoreFake : public ::testing::Test {
protected:
    void SetUp() override { Port = Ports.Add(3); }
    FakeCommPorts Ports;
    std::shared_ptr<FakeCommPort> Port;
};

win::DCB SomeDcb(win::DWORD rate) {
    win::DCB d;
    d.BaudRate = rate;
    d.ByteSize = 8;
    d.Flags = win::fBinary;
    return d;
}

} // namespace

TEST_F(CoreFake, OpenConfiguresTheDeviceAsDesigned) {
    TAfComPortCore core;
    core.SetDcb(SomeDcb(9600));
    core.SetInBufSize(1000);
    core.SetOutBufSize(300);
    ASSERT_TRUE(core.Open(3));
    EXPECT_EQ(core.ComNumber(), 3);
    const win::COMMTIMEOUTS t = Port->Timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, std::numeric_limits<win::DWORD>::max());
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(Port->InQueueSize(), 1000u);
    EXPECT_EQ(Port->OutQueueSize(), 300u);
    ASSERT_FALSE(Port->Masks().empty());
    EXPECT_EQ(Port->Masks().front(), 0x1B9u);
    ASSERT_EQ(Port->AppliedDcbs().size(), 1u);
    EXPECT_EQ(Port->AppliedDcbs()[0].BaudRate, 9600u);
    EXPECT_EQ(core.OutputFree(), 300);

    // Sizes changed while open wait for the next opening.
    core.SetInBufSize(2000);
    core.SetOutBufSize(500);
    EXPECT_EQ(core.OutputFree(), 300);
    core.Close();
    // Closing cleared the event mask and purged both directions.
    EXPECT_EQ(Port->Masks().back(), 0u);
    bool purgedAll = false;
    for (win::DWORD p : Port->Purges())
        purgedAll |= p == (win::PURGE_TXABORT | win::PURGE_RXABORT | win::PURGE_TXCLEAR |
                           win::PURGE_RXCLEAR);
    EXPECT_TRUE(purgedAll);
    EXPECT_FALSE(Port->IsOpen());
    ASSERT_TRUE(core.Open(3));
    EXPECT_EQ(Port->InQueueSize(), 2000u);
    EXPECT_EQ(core.OutputFree(), 500);
}

TEST_F(CoreFake, EveryOpenFailureLeavesTheCoreClosedWithNoThreads) {
    struct Case {
        FakeCall Call;
        const char* Text;
    };
    const Case cases[] = {
        {FakeCall::SetTimeouts, "Error setting timeouts"},
        {FakeCall::SetupQueues, "Error initializing buffers"},
        {FakeCall::SetEventMask, " Error setting EventMask"},
        {FakeCall::SetState, "Error setting parameters from DCB"},
    };
    CoreRecorder rec; // outlives the core, whose event thread calls it
    TAfComPortCore core;
    rec.Attach(core);
    for (const Case& c : cases) {
        Port->FailCall(c.Call, 1);
        try {
            core.Open(3);
            ADD_FAILURE() << "no failure for " << c.Text;
        } catch (const EAfComPortCoreError& e) {
            EXPECT_STREQ(e.what(), c.Text);
        }
        EXPECT_FALSE(core.IsOpen());
        EXPECT_EQ(core.PortHandle(), nullptr);
        EXPECT_EQ(core.EventThreadId(), 0);
        EXPECT_EQ(core.WriteThreadId(), 0);
        EXPECT_FALSE(Port->IsOpen()) << "device not released after: " << c.Text;
        EXPECT_FALSE(core.Write("x", 1));
    }
    Port->SetOpenError(platform::CommOpenError::NotFound);
    EXPECT_THROW(
        try { core.Open(3); } catch (const EAfComPortCoreError& e) {
            EXPECT_STREQ(e.what(), "Invalid port number (COM3)");
            throw;
        },
        EAfComPortCoreError);
    Port->SetOpenError(platform::CommOpenError::CannotOpen, EBUSY);
    EXPECT_THROW(
        try { core.Open(3); } catch (const EAfComPortCoreError& e) {
            EXPECT_STREQ(e.what(), "Can't open device COM3");
            throw;
        },
        EAfComPortCoreError);
    EXPECT_FALSE(core.IsOpen());
    Port->SetOpenError(platform::CommOpenError::None);
    // After all that the core still opens and works.
    ASSERT_TRUE(core.Open(3));
    Port->Receive("hi");
    EXPECT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_RXCHAR));
    EXPECT_TRUE(rec.Reports().size() >= 1);
}

TEST_F(CoreFake, LineErrorsAreOredUntilTakenAndClearedByOpening) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    TAfComPortCore core;
    rec.Attach(core);
    ASSERT_TRUE(core.Open(3));
    win::COMSTAT status;
    Port->LineError(win::CE_FRAME);
    ASSERT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_ERR));
    EXPECT_TRUE(core.QueryStatus(status));
    Port->LineError(win::CE_OVERRUN);
    ASSERT_TRUE(rec.WaitCount(ceLineEvent, 2, win::EV_ERR));
    EXPECT_TRUE(core.QueryStatus(status));
    EXPECT_EQ(core.TakeErrors(), win::CE_FRAME | win::CE_OVERRUN);
    EXPECT_EQ(core.TakeErrors(), 0u);

    // A failing status query collects nothing and reads as an empty queue.
    Port->Receive("abc");
    Port->LineError(win::CE_RXPARITY);
    Port->FailCall(FakeCall::ClearError, 1);
    EXPECT_FALSE(core.QueryStatus(status));
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_TRUE(core.QueryStatus(status));
    EXPECT_EQ(status.cbInQue, 3u);

    // Collected but not taken before the port closes: gone at the next open.
    core.Close();
    ASSERT_TRUE(core.Open(3));
    EXPECT_EQ(core.TakeErrors(), 0u);
}

TEST_F(CoreFake, ModemLineChangesAreReportedWithTheirBits) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    TAfComPortCore core;
    rec.Attach(core);
    ASSERT_TRUE(core.Open(3));
    Port->SetCts(true);
    EXPECT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_CTS));
    Port->SetDsr(true);
    EXPECT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_DSR));
    Port->SetRlsd(true);
    EXPECT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_RLSD));
    Port->Ring();
    EXPECT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_RING));
    for (const CoreReport& r : rec.Reports()) {
        EXPECT_EQ(r.Kind, ceLineEvent);
        EXPECT_NE(r.Data, 0u);
        EXPECT_EQ(r.Data & ~0x1B9u, 0u);
    }
    EXPECT_TRUE(core.EscapeFunction(win::CLRDTR));
    EXPECT_FALSE(Port->Dtr());
    EXPECT_TRUE(core.EscapeFunction(win::SETDTR));
    EXPECT_TRUE(Port->Dtr());
    Port->FailCall(FakeCall::EscapeFunction, 1);
    EXPECT_FALSE(core.EscapeFunction(win::CLRRTS));
}

TEST_F(CoreFake, RefusedDcbRaisesAndKeepsTheDeviceSettings) {
    TAfComPortCore core;
    core.SetDcb(SomeDcb(9600));
    EXPECT_EQ(Port->SetStateCalls(), 0) << "a closed core only stores the record";
    ASSERT_TRUE(core.Open(3));
    core.SetDcb(SomeDcb(19200));
    EXPECT_EQ(Port->AppliedDcbs().back().BaudRate, 19200u);

    Port->FailCall(FakeCall::SetState, 1);
    try {
        core.SetDcb(SomeDcb(57600));
        ADD_FAILURE() << "a refused DCB did not raise";
    } catch (const EAfComPortCoreError& e) {
        EXPECT_STREQ(e.what(), "Error setting parameters from DCB");
    }
    EXPECT_TRUE(core.IsOpen());
    EXPECT_EQ(core.Dcb().BaudRate, 19200u) << "Dcb must hold the device's actual settings";
}

TEST_F(CoreFake, WritesFromTheRingStorageInTwoRunsAcrossItsEnd) {
    // A device that records the size of every write it is handed.
    class RunDevice : public FakeCommDevice {
    public:
        RunDevice(std::shared_ptr<FakeCommPort> p, std::vector<std::size_t>* runs, std::mutex* m)
            : FakeCommDevice(std::move(p)), FRuns(runs), FMutex(m) {}
        std::ptrdiff_t Write(const void* source, std::size_t count) override {
            {
                std::lock_guard lock(*FMutex);
                FRuns->push_back(count);
            }
            return FakeCommDevice::Write(source, count);
        }

    private:
        std::vector<std::size_t>* FRuns;
        std::mutex* FMutex;
    };
    std::vector<std::size_t> runs;
    std::mutex runsMutex;
    auto port = std::make_shared<FakeCommPort>(4);
    CommBackendFunction backend([&](int) {
        platform::CommOpenResult r;
        r.Device = std::make_unique<RunDevice>(port, &runs, &runsMutex);
        return r;
    });
    {
        CoreRecorder rec;
        TAfComPortCore core;
        rec.Attach(core);
        core.SetOutBufSize(16);
        ASSERT_TRUE(core.Open(4));
        ASSERT_TRUE(core.Write("0123456789", 10));
        ASSERT_TRUE(port->WaitForWritten(10, Deadline));
        ASSERT_TRUE(rec.WaitCount(ceOutFree, 1));
        ASSERT_TRUE(core.Write("abcdefghij", 10)); // 6 to the end, 4 from the start
        ASSERT_TRUE(port->WaitForWritten(20, Deadline));
        ASSERT_TRUE(rec.WaitCount(ceOutFree, 2));
        EXPECT_EQ(port->Written(), "0123456789abcdefghij");
        std::lock_guard lock(runsMutex);
        EXPECT_EQ(runs, (std::vector<std::size_t>{10, 6, 4}));
    }
}

TEST_F(CoreFake, AFullDriverQueueHoldsBytesUntilRoomAndCloseDiscardsThem) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    TAfComPortCore core;
    rec.Attach(core);
    ASSERT_TRUE(core.Open(3));
    Port->SetWriteLimit(0);
    ASSERT_TRUE(core.Write("held back", 9));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Port->Written(), "");
    EXPECT_EQ(rec.Count(ceOutFree), 0);
    Port->SetWriteLimit(3); // room again, three bytes at a time
    ASSERT_TRUE(Port->WaitForWritten(9, Deadline));
    EXPECT_EQ(Port->Written(), "held back");
    ASSERT_TRUE(rec.WaitCount(ceOutFree, 1));

    // Stalled again; the close flushes the pending bytes away promptly.
    Port->SetWriteLimit(0);
    ASSERT_TRUE(core.Write("never sent", 10));
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    core.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(Port->Written(), "held back");
    EXPECT_EQ(rec.Count(ceOutFree), 1);
}

TEST_F(CoreFake, FailingWaitsAreRetriedAtABoundedPace) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    TAfComPortCore core;
    rec.Attach(core);
    ASSERT_TRUE(core.Open(3));
    ASSERT_TRUE(Port->WaitForWaiter(Deadline));
    const int callsBefore = Port->WaitEventCalls();
    Port->FailCall(FakeCall::WaitEvent, -1);
    std::this_thread::sleep_for(1000ms);
    const int calls = Port->WaitEventCalls() - callsBefore;
    EXPECT_GE(calls, 1);
    EXPECT_LE(calls, 20) << "failing waits retried in a tight loop";
    // The poll still serves unread bytes meanwhile, and the port recovers.
    Port->FailCall(FakeCall::WaitEvent, 0);
    Port->Receive("x");
    EXPECT_TRUE(rec.WaitCount(ceLineEvent, 1, win::EV_RXCHAR) || rec.WaitCount(ceNeedReadData, 1));
    core.Close();
}

TEST_F(CoreFake, CallbackExceptionsAreReportedAndTheLoopGoesOn) {
    CoreRecorder rec; // outlives the core, whose event thread calls it
    std::atomic<int> lineEvents{0};
    TAfComPortCore core;
    rec.Attach(core, [&](const CoreReport& r) {
        if (r.Kind != ceLineEvent)
            return;
        const int n = ++lineEvents;
        if (n == 1)
            throw std::runtime_error("handler failed");
        if (n == 2)
            throw EAbort(); // the silent one: dropped
    });
    ASSERT_TRUE(core.Open(3));
    Port->SetCts(true);
    ASSERT_TRUE(rec.WaitCount(ceException, 1));
    Port->SetCts(false);
    ASSERT_TRUE(rec.WaitCount(ceLineEvent, 2));
    Port->SetCts(true);
    ASSERT_TRUE(rec.WaitCount(ceLineEvent, 3));
    std::this_thread::sleep_for(100ms);
    const std::vector<CoreReport> reports = rec.Reports();
    int exceptions = 0;
    for (const CoreReport& r : reports) {
        if (r.Kind == ceException) {
            ++exceptions;
            ASSERT_TRUE(r.Error);
            EXPECT_EQ(MessageOf(r.Error), "handler failed");
            EXPECT_EQ(r.Data, 0u);
        }
    }
    EXPECT_EQ(exceptions, 1) << "the silent abort must not be reported";
}

TEST_F(CoreFake, AnExceptionOnTheWriteThreadIsShownOnTheMainThread) {
    class ThrowingDevice : public FakeCommDevice {
    public:
        using FakeCommDevice::FakeCommDevice;
        std::ptrdiff_t Write(const void*, std::size_t) override {
            throw std::runtime_error("device exploded");
        }
    };
    auto port = std::make_shared<FakeCommPort>(4);
    CommBackendFunction backend([&](int) {
        platform::CommOpenResult r;
        r.Device = std::make_unique<ThrowingDevice>(port);
        return r;
    });
    std::vector<platform::MessageRequest> boxes;
    std::thread::id shownOn;
    platform::SetMessageHook([&](const platform::MessageRequest& r) {
        boxes.push_back(r);
        shownOn = std::this_thread::get_id();
        return platform::MsgResult::Ok;
    });
    {
        TAfComPortCore core;
        ASSERT_TRUE(core.Open(4));
        ASSERT_TRUE(core.Write("x", 1));
        ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }));
        EXPECT_EQ(boxes[0].Caption, QStringLiteral("Application Error"));
        EXPECT_TRUE(boxes[0].Text.contains(QStringLiteral("device exploded")))
            << boxes[0].Text.toStdString();
        EXPECT_TRUE(boxes[0].Text.contains(QStringLiteral("runtime_error")));
        EXPECT_EQ(shownOn, std::this_thread::get_id());
        // The write thread has ended; the port stays open and closes at once.
        ASSERT_TRUE(PumpUntil([&] { return core.WriteThreadId() == 0; }));
        EXPECT_TRUE(core.IsOpen());
        const auto start = std::chrono::steady_clock::now();
        core.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms)
            << "the close waited for a flush that an ended thread cannot acknowledge";
    }
    platform::SetMessageHook({});
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(CoreFake, AnExceptionEscapingTheEventLoopGoesToTheCallbackOrTheDisplay) {
    class ThrowingWaitDevice : public FakeCommDevice {
    public:
        using FakeCommDevice::FakeCommDevice;
        int WaitEvent(std::span<platform::Event* const>, std::size_t, int, win::DWORD&) override {
            throw std::logic_error("wait exploded");
        }
    };
    auto port = std::make_shared<FakeCommPort>(4);
    CommBackendFunction backend([&](int) {
        platform::CommOpenResult r;
        r.Device = std::make_unique<ThrowingWaitDevice>(port);
        return r;
    });
    std::vector<platform::MessageRequest> boxes;
    platform::SetMessageHook([&](const platform::MessageRequest& r) {
        boxes.push_back(r);
        return platform::MsgResult::Ok;
    });
    {
        // With a callback: handed over as ceException, no box.
        CoreRecorder rec;
        TAfComPortCore core;
        rec.Attach(core);
        ASSERT_TRUE(core.Open(4));
        ASSERT_TRUE(rec.WaitCount(ceException, 1));
        EXPECT_EQ(MessageOf(rec.Reports()[0].Error), "wait exploded");
        ASSERT_TRUE(PumpUntil([&] { return core.EventThreadId() == 0; }));
        core.Close();
        EXPECT_TRUE(boxes.empty());
    }
    {
        // Without one: shown on the main thread.
        TAfComPortCore core;
        ASSERT_TRUE(core.Open(4));
        ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }));
        EXPECT_TRUE(boxes[0].Text.contains(QStringLiteral("wait exploded")));
        core.Close();
    }
    platform::SetMessageHook({});
}

TEST_F(CoreFake, ACloseWhileAReportRunsWaitsForItAndItsCallsDoNotBlock) {
    // A report still running when the close begins may call back into the
    // core; those calls must be refused at once, not wait on a lock that the
    // close holds while it joins the event thread.
    std::atomic<bool> inReport{false};
    std::atomic<bool> release{false};
    CoreRecorder rec;
    TAfComPortCore core;
    rec.Attach(core, [&](const CoreReport&) {
        inReport = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
        char b[8];
        core.Read(b, sizeof b); // after the close began: refused, not blocked
        win::COMSTAT s;
        core.QueryStatus(s);
    });
    ASSERT_TRUE(core.Open(3));
    Port->Receive("data");
    ASSERT_TRUE(PumpUntil([&] { return inReport.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(100ms);
        release = true;
    });
    const auto start = std::chrono::steady_clock::now();
    core.Close();
    releaser.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3000ms);
    EXPECT_FALSE(core.IsOpen());
}
