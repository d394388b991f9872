// The scripted fake: what ptys cannot do (modem lines, line errors, failing
// calls) and the record the port core's tests read.
#include "support/FakeCommDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using platform::CommOpenError;
using platform::Event;
using platform::WaitTimeout;

namespace {

constexpr int kLong = 10000;

class FakeDevice : public testing::Test {
protected:
    void SetUp() override {
        port_ = fakes_.Add(2);
        auto opened = platform::OpenCommDevice(2);
        ASSERT_TRUE(opened.Device);
        dev_ = std::move(opened.Device);
        ASSERT_TRUE(dev_->SetEventMask(0x1B9));
    }
    int Wait(int timeoutMs, win::DWORD& mask) { return dev_->WaitEvent({}, 0, timeoutMs, mask); }

    FakeCommPorts fakes_;
    std::shared_ptr<FakeCommPort> port_;
    std::unique_ptr<platform::CommDevice> dev_;
};

} // namespace

TEST(FakePorts, FactoryOpensAddedPortsOnlyAndOnlyOnce) {
    {
        FakeCommPorts fakes;
        EXPECT_EQ(&platform::ActiveCommBackend(), &fakes);
        auto port = fakes.Add(6);
        EXPECT_EQ(fakes.Add(6), port);
        EXPECT_EQ(fakes.Port(7), nullptr);
        EXPECT_EQ(platform::OpenCommDevice(7).Error, CommOpenError::NotFound);
        auto first = platform::OpenCommDevice(6);
        ASSERT_TRUE(first.Device);
        EXPECT_EQ(first.Device->ComNumber(), 6);
        EXPECT_TRUE(port->IsOpen());
        auto second = platform::OpenCommDevice(6);
        EXPECT_EQ(second.Error, CommOpenError::CannotOpen);
        EXPECT_EQ(second.SystemError, EBUSY);
        first.Device.reset();
        EXPECT_FALSE(port->IsOpen());

        port->SetOpenError(CommOpenError::CannotOpen, EACCES);
        auto refused = platform::OpenCommDevice(6);
        EXPECT_EQ(refused.Error, CommOpenError::CannotOpen);
        EXPECT_EQ(refused.SystemError, EACCES);
        port->SetOpenError(CommOpenError::NotFound);
        EXPECT_EQ(platform::OpenCommDevice(6).Error, CommOpenError::NotFound);
        port->SetOpenError(CommOpenError::None);
        EXPECT_TRUE(platform::OpenCommDevice(6).Device);
        EXPECT_EQ(port->OpenCount(), 2);
        EXPECT_EQ(port->FailedOpenCount(), 3);
    }
    EXPECT_EQ(dynamic_cast<FakeCommPorts*>(&platform::ActiveCommBackend()), nullptr);
}

TEST_F(FakeDevice, ModemLineChangesBecomeEventsOfTheMask) {
    win::DWORD mask = 0;
    port_->SetCts(true);
    port_->SetDsr(true);
    ASSERT_EQ(Wait(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_CTS | win::EV_DSR); // collected into one report
    port_->SetCts(true);                        // no change, no event
    EXPECT_EQ(Wait(50, mask), WaitTimeout);
    port_->SetRlsd(true);
    ASSERT_EQ(Wait(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_RLSD);
    port_->Ring();
    ASSERT_EQ(Wait(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_RING);

    ASSERT_TRUE(dev_->SetEventMask(win::EV_RXCHAR | win::EV_DSR));
    port_->SetCts(false);
    EXPECT_EQ(Wait(50, mask), WaitTimeout);
    port_->SetDsr(false);
    ASSERT_EQ(Wait(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_DSR);
}

TEST_F(FakeDevice, LineErrorsAccumulateUntilCleared) {
    port_->LineError(win::CE_FRAME);
    port_->LineError(win::CE_OVERRUN);
    win::DWORD mask = 0;
    ASSERT_EQ(Wait(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_ERR);
    win::DWORD errors = 0;
    ASSERT_TRUE(dev_->ClearError(errors, nullptr));
    EXPECT_EQ(errors, win::CE_FRAME | win::CE_OVERRUN);
    ASSERT_TRUE(dev_->ClearError(errors, nullptr));
    EXPECT_EQ(errors, 0u);
    // Bytes and an error together come as one mask.
    port_->Receive("1");
    port_->LineError(win::CE_RXPARITY);
    ASSERT_EQ(Wait(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_RXCHAR | win::EV_ERR);
}

TEST_F(FakeDevice, FailingCallsFailAsOftenAsAsked) {
    port_->FailCall(FakeCall::SetState, 2);
    const win::DCB dcb = platform::DefaultDcb();
    EXPECT_FALSE(dev_->SetState(dcb));
    EXPECT_FALSE(dev_->SetState(dcb));
    EXPECT_TRUE(dev_->SetState(dcb));
    EXPECT_EQ(port_->SetStateCalls(), 3);
    EXPECT_EQ(port_->AppliedDcbs().size(), 1u);

    port_->FailCall(FakeCall::WaitEvent);
    win::DWORD mask = 0;
    EXPECT_EQ(Wait(0, mask), platform::WaitFailed);
    EXPECT_EQ(Wait(0, mask), platform::WaitFailed);
    port_->FailCall(FakeCall::WaitEvent, 0);
    EXPECT_EQ(Wait(0, mask), WaitTimeout);

    port_->FailCall(FakeCall::ClearError, 1);
    port_->FailCall(FakeCall::Purge, 1);
    port_->FailCall(FakeCall::Read, 1);
    port_->FailCall(FakeCall::Write, 1);
    port_->FailCall(FakeCall::EscapeFunction, 1);
    port_->FailCall(FakeCall::SetEventMask, 1);
    win::DWORD errors;
    char c;
    EXPECT_FALSE(dev_->ClearError(errors, nullptr));
    EXPECT_FALSE(dev_->Purge(win::PURGE_RXCLEAR));
    EXPECT_EQ(dev_->Read(&c, 1), -1);
    EXPECT_EQ(dev_->Write("x", 1), -1);
    EXPECT_FALSE(dev_->EscapeFunction(win::SETDTR));
    EXPECT_FALSE(dev_->SetEventMask(1));
    EXPECT_EQ(dev_->EventMask(), 0x1B9u); // the failed change did not happen
    EXPECT_TRUE(dev_->ClearError(errors, nullptr));
    EXPECT_TRUE(dev_->Purge(win::PURGE_RXCLEAR));
    EXPECT_EQ(dev_->Read(&c, 1), 0);
    EXPECT_EQ(dev_->Write("x", 1), 1);
    EXPECT_TRUE(dev_->EscapeFunction(win::SETDTR));
}

TEST_F(FakeDevice, RecordsWhatWasApplied) {
    win::COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 0xFFFFFFFF;
    ASSERT_TRUE(dev_->SetTimeouts(t));
    ASSERT_TRUE(dev_->SetupQueues(8192, 4096));
    win::DCB dcb = platform::DefaultDcb();
    dcb.BaudRate = 4800;
    dcb.Flags = win::fBinary; // DTR and RTS off
    ASSERT_TRUE(dev_->SetState(dcb));
    EXPECT_FALSE(port_->Dtr());
    EXPECT_FALSE(port_->Rts());
    ASSERT_TRUE(dev_->EscapeFunction(win::SETDTR));
    ASSERT_TRUE(dev_->EscapeFunction(win::SETRTS));
    EXPECT_TRUE(port_->Dtr());
    EXPECT_TRUE(port_->Rts());
    ASSERT_TRUE(dev_->Purge(win::PURGE_TXABORT | win::PURGE_TXCLEAR));
    ASSERT_TRUE(dev_->SetEventMask(0));
    ASSERT_EQ(dev_->Write("abc", 3), 3);

    EXPECT_EQ(port_->Timeouts().ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(port_->InQueueSize(), 8192u);
    EXPECT_EQ(port_->OutQueueSize(), 4096u);
    ASSERT_EQ(port_->AppliedDcbs().size(), 1u);
    EXPECT_EQ(port_->AppliedDcbs()[0].BaudRate, 4800u);
    EXPECT_EQ(port_->EscapeCodes(), (std::vector<win::DWORD>{win::SETDTR, win::SETRTS}));
    EXPECT_EQ(port_->Purges(), (std::vector<win::DWORD>{win::PURGE_TXABORT | win::PURGE_TXCLEAR}));
    EXPECT_EQ(port_->Masks(), (std::vector<win::DWORD>{0x1B9, 0}));
    EXPECT_EQ(port_->Written(), "abc");
    win::DCB back{};
    ASSERT_TRUE(dev_->GetState(back));
    EXPECT_EQ(back.BaudRate, 4800u);
}

TEST_F(FakeDevice, RtsCannotBeSwitchedUnderHandshake) {
    win::DCB dcb = platform::DefaultDcb();
    dcb.Flags = win::fBinary | win::fOutxCtsFlow | win::rtsControlBits(win::RTS_CONTROL_HANDSHAKE);
    ASSERT_TRUE(dev_->SetState(dcb));
    EXPECT_FALSE(dev_->EscapeFunction(win::CLRRTS));
    EXPECT_TRUE(dev_->EscapeFunction(win::CLRDTR));
}

TEST_F(FakeDevice, DeviceSettingsBeforeAnyApplyComeFromTheScript) {
    win::DCB actual = platform::DefaultDcb();
    actual.BaudRate = 1200;
    port_->SetDeviceDcb(actual);
    dev_.reset();
    auto opened = platform::OpenCommDevice(2);
    ASSERT_TRUE(opened.Device);
    port_->FailCall(FakeCall::SetState);
    win::DCB wanted = platform::DefaultDcb();
    wanted.BaudRate = 115200;
    EXPECT_FALSE(opened.Device->SetState(wanted));
    win::DCB back{};
    ASSERT_TRUE(opened.Device->GetState(back));
    EXPECT_EQ(back.BaudRate, 1200u);
}

TEST_F(FakeDevice, AFullDriverQueueHoldsTheWriterUntilThereIsRoom) {
    port_->SetWriteLimit(0);
    EXPECT_EQ(dev_->Write("abcdef", 6), 0);
    Event stop;
    Event* events[] = {&stop};
    EXPECT_EQ(dev_->WaitWritable(events, 1, 50), WaitTimeout);
    std::thread room([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        port_->SetWriteLimit(4);
    });
    EXPECT_EQ(dev_->WaitWritable(events, 1, kLong), 1);
    room.join();
    EXPECT_EQ(dev_->Write("abcdef", 6), 4);
    EXPECT_EQ(port_->Written(), "abcd");
    // Positions: with the device first, room beats a set stop event.
    stop.Set();
    EXPECT_EQ(dev_->WaitWritable(events, 0, kLong), 0);
    EXPECT_TRUE(stop.IsSet());
    port_->SetWriteLimit(0);
    EXPECT_EQ(dev_->WaitWritable(events, 0, kLong), 1);
    EXPECT_FALSE(stop.IsSet());
}

TEST_F(FakeDevice, MaskChangeEndsAWaitInProgressWithMaskZero) {
    std::atomic<int> result{-100};
    win::DWORD seen = 0xFFFF;
    std::thread waiter([&] { result = Wait(60000, seen); });
    ASSERT_TRUE(port_->WaitForWaiter(kLong));
    ASSERT_TRUE(dev_->SetEventMask(win::EV_RXCHAR)); // any change, not only 0
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(port_->Masks().back(), win::EV_RXCHAR);
}

TEST_F(FakeDevice, AQuietWaitSleeps) {
    win::DWORD mask = 0;
    const int before = port_->WaitEventWakeups();
    EXPECT_EQ(Wait(300, mask), WaitTimeout);
    EXPECT_LE(port_->WaitEventWakeups() - before, 1);
    EXPECT_EQ(port_->WaitEventCalls(), 1);
}

TEST_F(FakeDevice, ClosedPortLosesBytesAndReopeningStartsClean) {
    port_->Receive("abc");
    port_->LineError(win::CE_BREAK);
    dev_.reset();
    port_->Receive("lost");
    EXPECT_EQ(port_->InputQueued(), 0u);
    auto opened = platform::OpenCommDevice(2);
    ASSERT_TRUE(opened.Device);
    win::DWORD errors = 1;
    win::COMSTAT stat;
    ASSERT_TRUE(opened.Device->ClearError(errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(opened.Device->EventMask(), 0u);
}
