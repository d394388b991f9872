// The serial port component on the fake device: properties, events on the
// main thread, messages, renumbering, the non-synchronised event and closing
// from inside a handler.
#include "serial/AfComPort.h"
#include "platform/MessageBox.h"
#include "serial/AfSafeSync.h"
#include "serial/AfUiHooks.h"
#include "support/FakeCommDevice.h"
#include "support/Pump.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int Deadline = TestDeadlineMs;

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<nothing raised>";
}

// The component as the program builds it, with every event logged by name.
class Component : public ::testing::Test {
protected:
    void SetUp() override {
        Port1 = Ports.Add(1);
        Port2 = Ports.Add(2);
        Com.setObjectName(QStringLiteral("AfComPort1"));
        Com.OnPortOpen = [this](QObject* s) { Log(s, "open"); };
        Com.OnPortClose = [this](QObject* s) { Log(s, "close"); };
        Com.OnDataRecived = [this](QObject* s, std::int32_t n) {
            Log(s, "data " + std::to_string(n));
            Received += Com.ReadString();
        };
        Com.OnLineError = [this](QObject* s, std::uint32_t e) {
            Log(s, "error " + std::to_string(e));
        };
        Com.OnCTSChanged = [this](QObject* s) { Log(s, "cts"); };
        Com.OnDSRChanged = [this](QObject* s) { Log(s, "dsr"); };
        Com.OnRINGDetected = [this](QObject* s) { Log(s, "ring"); };
        Com.OnRLSDChanged = [this](QObject* s) { Log(s, "rlsd"); };
        Com.OnOutBufFree = [this](QObject* s) { Log(s, "outfree"); };
        // The busy cursor as the windows would show it: each busy must end.
        af::UiHooks hooks;
        hooks.BusyCursor = [this](bool busy) { BusyDepth += busy ? 1 : -1; };
        af::SetUiHooks(hooks);
    }
    void TearDown() override { af::SetUiHooks({}); }
    void Log(QObject* sender, const std::string& what) {
        EXPECT_EQ(sender, &Com);
        EXPECT_EQ(std::this_thread::get_id(), MainThread) << what << " off the main thread";
        Events.push_back(what);
    }
    int CountOf(const std::string& what) const {
        return static_cast<int>(std::count(Events.begin(), Events.end(), what));
    }
    bool Has(const std::string& what) const { return CountOf(what) > 0; }

    FakeCommPorts Ports;
    std::shared_ptr<FakeCommPort> Port1, Port2;
    std::vector<std::string> Events;
    std::string Received;
    int BusyDepth = 0;
    const std::thread::id MainThread = std::this_thread::get_id();
    TAfComPort Com; // last: gone before the state its handlers use
};

} // namespace

TEST_F(Component, ANewComponentIsClosedWithNumberZeroAndADisabledSlot) {
    TAfComPort fresh;
    EXPECT_EQ(fresh.ComNumber(), 0);
    EXPECT_FALSE(fresh.Active());
    EXPECT_FALSE(fresh.Closing());
    ASSERT_NE(fresh.SyncId(), 0u);
    EXPECT_FALSE(SyncCall(fresh.SyncId(), 0ms)) << "the slot must start disabled";
    EXPECT_EQ(fresh.BaudRate(), br115200);
    EXPECT_EQ(fresh.DcbImage().BaudRate, 115200u);
    EXPECT_EQ(MessageOf([&] { fresh.Open(); }), "Invalid port number (COM0)");
    EXPECT_FALSE(fresh.Active());
    EXPECT_EQ(BusyDepth, 0) << "the hourglass stayed";
}

TEST_F(Component, OpenAndCloseFireTheirEventsAsDesigned) {
    Com.SetBaudRate(br9600);
    Com.SetComNumber(1);
    Com.Loaded();
    Com.Open();
    EXPECT_TRUE(Com.Active());
    EXPECT_TRUE(Port1->IsOpen());
    ASSERT_FALSE(Port1->AppliedDcbs().empty());
    EXPECT_EQ(Port1->AppliedDcbs().back().BaudRate, 9600u);
    EXPECT_EQ(Events, (std::vector<std::string>{"open"}));
    Com.Open(); // already open: nothing at all
    EXPECT_EQ(Events, (std::vector<std::string>{"open"}));
    EXPECT_EQ(Port1->OpenCount(), 1);
    Com.Close();
    EXPECT_FALSE(Com.Active());
    EXPECT_FALSE(Port1->IsOpen());
    Com.Close(); // closed already: still fires
    EXPECT_EQ(Events, (std::vector<std::string>{"open", "close", "close"}));
    EXPECT_FALSE(SyncCall(Com.SyncId(), 0ms)) << "closing must disable the slot";
}

TEST_F(Component, AFailedOpenPassesTheCoreErrorAndFiresNothing) {
    Com.SetComNumber(1);
    Port1->SetOpenError(platform::CommOpenError::CannotOpen, EBUSY);
    EXPECT_EQ(MessageOf([&] { Com.Open(); }), "Can't open device COM1");
    EXPECT_FALSE(Com.Active());
    EXPECT_TRUE(Events.empty());
    EXPECT_EQ(Com.ComNumber(), 1);
    EXPECT_EQ(BusyDepth, 0);
    Com.SetComNumber(9);
    EXPECT_EQ(MessageOf([&] { Com.Open(); }), "Invalid port number (COM9)");
}

TEST_F(Component, ReceivedBytesReachOnDataRecivedAndReadStringOnTheMainThread) {
    Com.SetComNumber(1);
    Com.Open();
    Port1->Receive(std::string("+21.5\r\0z", 8));
    ASSERT_TRUE(PumpUntil([&] { return Received.size() >= 8; }));
    EXPECT_EQ(Received, std::string("+21.5\r\0z", 8)); // NUL kept, no conversion
    EXPECT_TRUE(Has("data 8"));
    EXPECT_EQ(Com.ReadString(), "");
    // Bytes left unread come again through the poll, with their count.
    Com.OnDataRecived = [this](QObject* s, std::int32_t n) { Log(s, "data " + std::to_string(n)); };
    Port1->Receive("abc");
    ASSERT_TRUE(PumpUntil([&] { return CountOf("data 3") >= 3; }));
    EXPECT_EQ(Com.ReadString(), "abc");
    Com.Close();
    EXPECT_EQ(Com.ReadString(), "") << "a closed port reads nothing";
}

TEST_F(Component, ReadStringReturnsOnlyTheBytesTheReadDelivered) {
    // A device whose status query counts more bytes than its read delivers.
    class ShortReadDevice : public FakeCommDevice {
    public:
        using FakeCommDevice::FakeCommDevice;
        bool ClearError(win::DWORD& errors, win::COMSTAT* status) override {
            const bool ok = FakeCommDevice::ClearError(errors, status);
            if (status)
                status->cbInQue += 5;
            return ok;
        }
    };
    auto port = std::make_shared<FakeCommPort>(6);
    CommBackendFunction backend([&](int) {
        platform::CommOpenResult r;
        r.Device = std::make_unique<ShortReadDevice>(port);
        return r;
    });
    {
        TAfComPort com;
        com.SetComNumber(6);
        com.Open();
        EXPECT_EQ(com.ReadString(), "") << "bytes never received returned as NULs";
        com.Close();
    }
}

TEST_F(Component, DataThenLineErrorInOneMaskFireInThatOrder) {
    Com.SetComNumber(1);
    Com.Open();
    // The first report is not served while the main thread is busy, so the
    // next one waits to be posted; meanwhile data and an error arrive
    // together and are collected by the next comm wait as one mask.
    Port1->Receive("x");
    std::this_thread::sleep_for(100ms);
    Port1->LineError(win::CE_FRAME);
    Port1->Receive("y");
    const auto isError = [](const std::string& e) { return e.rfind("error ", 0) == 0; };
    ASSERT_TRUE(PumpUntil([&] { return std::any_of(Events.begin(), Events.end(), isError); }));
    const auto err = std::find_if(Events.begin(), Events.end(), isError);
    ASSERT_NE(err, Events.begin());
    EXPECT_EQ((err - 1)->rfind("data", 0), 0u) << "OnDataRecived must come right before";
    EXPECT_EQ(Received, "xy");
}

TEST_F(Component, ModemLineEventsFireTheirHandlersAfterOnSyncEvent) {
    std::vector<std::pair<TAfCoreEvent, std::uint32_t>> sync;
    Com.OnSyncEvent = [&](QObject*, TAfCoreEvent k, std::uint32_t d) {
        Events.push_back("sync");
        sync.emplace_back(k, d);
    };
    Com.SetComNumber(1);
    Com.Open();
    Port1->SetCts(true);
    ASSERT_TRUE(PumpUntil([&] { return Has("cts"); }));
    Port1->SetDsr(true);
    ASSERT_TRUE(PumpUntil([&] { return Has("dsr"); }));
    Port1->Ring();
    ASSERT_TRUE(PumpUntil([&] { return Has("ring"); }));
    Port1->SetRlsd(true);
    ASSERT_TRUE(PumpUntil([&] { return Has("rlsd"); }));
    for (const char* name : {"cts", "dsr", "ring", "rlsd"}) {
        const auto it = std::find(Events.begin(), Events.end(), name);
        ASSERT_NE(it, Events.begin());
        EXPECT_EQ(*(it - 1), "sync") << name;
    }
    ASSERT_FALSE(sync.empty());
    EXPECT_EQ(sync[0].first, ceLineEvent);
    EXPECT_EQ(sync[0].second, win::EV_CTS);
    EXPECT_FALSE(Has("error 0")) << "no EV_ERR, no OnLineError";
}

TEST_F(Component, TheDrainedBufferFiresOnOutBufFree) {
    Com.SetComNumber(1);
    Com.Open();
    Com.WriteData(std::string("ping"));
    ASSERT_TRUE(Port1->WaitForWritten(4, Deadline));
    EXPECT_EQ(Port1->Written(), "ping");
    ASSERT_TRUE(PumpUntil([&] { return Has("outfree"); }));
}

TEST_F(Component, NonSyncEventsRunOnTheWorkerInsteadOfTheMainThread) {
    std::mutex m;
    std::vector<std::pair<TAfCoreEvent, std::uint32_t>> seen;
    std::vector<std::thread::id> threads;
    Com.OnNonSyncEvent = [&](QObject* s, TAfCoreEvent k, std::uint32_t d) {
        EXPECT_EQ(s, &Com);
        std::lock_guard lock(m);
        seen.emplace_back(k, d);
        threads.push_back(std::this_thread::get_id());
    };
    Com.SetComNumber(1);
    Com.Open();
    Port1->Receive("abc");
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard lock(m);
        return !seen.empty();
    }));
    PumpFor(300ms);
    {
        std::lock_guard lock(m);
        EXPECT_EQ(seen[0].first, ceLineEvent);
        EXPECT_EQ(seen[0].second, win::EV_RXCHAR);
        for (auto id : threads)
            EXPECT_NE(id, MainThread);
    }
    EXPECT_FALSE(Has("data 3"));
    EXPECT_EQ(Events, (std::vector<std::string>{"open"}));
    Com.Close(); // the worker-side handler uses this test's locals
    Com.OnNonSyncEvent = nullptr;
}

TEST_F(Component, ExceptionsFromWorkerSideHandlersAreShownOnTheMainThread) {
    std::vector<platform::MessageRequest> boxes;
    std::thread::id shownOn;
    platform::SetMessageHook([&](const platform::MessageRequest& r) {
        boxes.push_back(r);
        shownOn = std::this_thread::get_id();
        return platform::MsgResult::Ok;
    });
    Com.OnNonSyncEvent = [](QObject*, TAfCoreEvent, std::uint32_t) {
        throw std::runtime_error("worker handler failed");
    };
    Com.SetComNumber(1);
    Com.Open();
    Port1->SetCts(true);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }));
    EXPECT_TRUE(boxes[0].Text.contains(QStringLiteral("worker handler failed")));
    EXPECT_EQ(boxes[0].Caption, platform::ApplicationTitle());
    EXPECT_EQ(shownOn, MainThread);

    // A main-thread handler that raises: shown too, and the port carries on.
    Com.OnNonSyncEvent = nullptr;
    Com.Close();
    Com.OnDSRChanged = [](QObject*) { throw std::runtime_error("main handler failed"); };
    Com.Open();
    Port1->SetDsr(true);
    ASSERT_TRUE(PumpUntil([&] { return boxes.size() >= 2; }));
    EXPECT_TRUE(boxes[1].Text.contains(QStringLiteral("main handler failed")));
    Port1->Receive("q");
    EXPECT_TRUE(PumpUntil([&] { return Received == "q"; }));
    Com.Close();
    platform::SetMessageHook({});
}

TEST_F(Component, BufferSizesCannotChangeWhileOpen) {
    Com.SetComNumber(1);
    Com.Open();
    EXPECT_EQ(MessageOf([&] { Com.SetInBufSize(8192); }), "Port is not closed - AfComPort1 ");
    EXPECT_EQ(Com.InBufSize(), 4096);
    EXPECT_EQ(MessageOf([&] { Com.SetOutBufSize(100); }), "Port is not closed - AfComPort1 ");
    EXPECT_EQ(Com.OutBufSize(), 2048);
    Com.SetInBufSize(4096); // unchanged: no error
    Com.Close();
    Com.SetFlowControl(fwXOnXOff);
    Com.SetInBufSize(8192);
    EXPECT_EQ(Com.XOnLim(), 2048);
    EXPECT_EQ(Com.XOffLim(), 6144);
    EXPECT_EQ(Com.DcbImage().XonLim, 1024) << "InBufSize must not rebuild the image";
    Com.SetOutBufSize(100);
    Com.Open();
    EXPECT_EQ(Port1->InQueueSize(), 8192u);
    EXPECT_EQ(Com.Core().OutputFree(), 100);
    EXPECT_EQ(Port1->AppliedDcbs().back().XonLim, 1024) << "opened with the old limits";
}

TEST_F(Component, WriteDataRaisesWithTheRequestAndTheFreeRoom) {
    Com.SetComNumber(1);
    EXPECT_EQ(MessageOf([&] { Com.WriteData("abc", 3); }),
              "Write data error [requested: 3, free: 0] - AfComPort1 ");
    Com.Open();
    const std::string big(3000, 'x');
    EXPECT_EQ(MessageOf([&] { Com.WriteData(big); }),
              "Write data error [requested: 3000, free: 2048] - AfComPort1 ");
    Com.WriteData("ok", 2);
    EXPECT_TRUE(Port1->WaitForWritten(2, Deadline));
    EXPECT_EQ(Port1->Written(), "ok");
}

TEST_F(Component, RenumberingWhileOpenClosesAndOpensTheNewPort) {
    Com.SetComNumber(1);
    Com.Open();
    Com.SetComNumber(1); // same number: nothing
    EXPECT_EQ(Events, (std::vector<std::string>{"open"}));
    Com.SetComNumber(2);
    EXPECT_EQ(Events, (std::vector<std::string>{"open", "close", "open"}));
    EXPECT_FALSE(Port1->IsOpen());
    EXPECT_TRUE(Port2->IsOpen());
    EXPECT_TRUE(Com.Active());
    // A reopen that fails: closed, new number kept, error passed on.
    EXPECT_EQ(MessageOf([&] { Com.SetComNumber(9); }), "Invalid port number (COM9)");
    EXPECT_EQ(Com.ComNumber(), 9);
    EXPECT_FALSE(Com.Active());
    EXPECT_EQ(Events.back(), "close");
    // Closed: the number is only stored.
    Com.SetComNumber(1);
    EXPECT_FALSE(Com.Active());
    EXPECT_EQ(Port1->OpenCount(), 1);
}

TEST_F(Component, SettingsRebuildAnOpenPortAndARefusalMirrorsTheDevice) {
    Com.SetComNumber(1);
    Com.Open();
    const std::size_t applied = Port1->AppliedDcbs().size();
    Com.SetBaudRate(br9600);
    EXPECT_EQ(Port1->AppliedDcbs().size(), applied + 1);
    EXPECT_EQ(Port1->AppliedDcbs().back().BaudRate, 9600u);
    Com.SetBaudRate(br9600); // unchanged: no rebuild
    EXPECT_EQ(Port1->AppliedDcbs().size(), applied + 1);

    Com.SetUserBaudRate(31250);
    EXPECT_EQ(Com.BaudRate(), brUser);
    EXPECT_EQ(Port1->AppliedDcbs().back().BaudRate, 31250u);
    Com.SetBaudRate(br19200);
    EXPECT_EQ(Com.UserBaudRate(), 0);

    Port1->FailCall(FakeCall::SetState, 1);
    EXPECT_EQ(MessageOf([&] { Com.SetParity(paEven); }), "Error setting parameters from DCB");
    EXPECT_EQ(Com.Parity(), paEven) << "the property keeps its new value";
    EXPECT_EQ(Com.DcbImage().Parity, win::NOPARITY) << "the image mirrors the device";
    EXPECT_EQ(Com.DcbImage().BaudRate, 19200u);
    EXPECT_TRUE(Com.Active());
}

TEST_F(Component, DtrAndRtsDriveTheLinesOnlyWhileOpen) {
    Com.SetComNumber(1);
    Com.SetDTR(false); // closed: nothing sent, the image keeps DTR enable
    EXPECT_TRUE(Port1->EscapeCodes().empty());
    EXPECT_EQ(win::dtrControlOf(Com.DcbImage().Flags), win::DTR_CONTROL_ENABLE);
    Com.Open();
    EXPECT_TRUE(Port1->Dtr()) << "an open without a rebuild raises DTR";
    Com.SetDTR(true);
    Com.SetRTS(false);
    EXPECT_EQ(Port1->EscapeCodes(), (std::vector<win::DWORD>{win::SETDTR, win::CLRRTS}));
    EXPECT_FALSE(Port1->Rts());
    Com.SetRTS(false); // unchanged: nothing
    EXPECT_EQ(Port1->EscapeCodes().size(), 2u);
}

TEST_F(Component, AutoOpenOpensAtTheEndOfLoading) {
    TAfComPort com;
    com.SetComNumber(2);
    com.SetAutoOpen(true);
    bool opened = false;
    com.OnPortOpen = [&](QObject*) { opened = true; };
    com.Loaded();
    EXPECT_TRUE(opened);
    EXPECT_TRUE(com.Active());
    TAfComPort failing;
    failing.SetComNumber(8);
    failing.SetAutoOpen(true);
    EXPECT_EQ(MessageOf([&] { failing.Loaded(); }), "Invalid port number (COM8)");
}

TEST_F(Component, ClosingFromInsideAHandlerCompletesPromptly) {
    Com.SetComNumber(1);
    Com.Open();
    std::chrono::steady_clock::duration closeTook{};
    Com.OnDataRecived = [&](QObject*, std::int32_t) {
        const auto start = std::chrono::steady_clock::now();
        Com.Close();
        closeTook = std::chrono::steady_clock::now() - start;
    };
    Port1->Receive("bye");
    ASSERT_TRUE(PumpUntil([&] { return !Com.Active(); }));
    EXPECT_LT(closeTook, 1000ms) << "the close waited out the hand-off's time limit";
    EXPECT_TRUE(Has("close"));
    EXPECT_FALSE(Port1->IsOpen());
    // Nothing reaches a handler after the close.
    const std::size_t n = Events.size();
    PumpFor(300ms);
    EXPECT_EQ(Events.size(), n);
}

TEST_F(Component, DestroyingAnOpenComponentClosesWithoutOnPortClose) {
    bool closed = false;
    {
        TAfComPort com;
        com.SetComNumber(2);
        com.OnPortClose = [&](QObject*) { closed = true; };
        com.OnDataRecived = [&](QObject*, std::int32_t) {};
        com.Open();
        Port2->Receive("pending"); // a hand-off may be waiting as it goes
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(closed);
    EXPECT_FALSE(Port2->IsOpen());
    PumpFor(100ms); // a late hand-off must find nothing to run
}
