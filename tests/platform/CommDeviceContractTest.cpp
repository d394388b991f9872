// Behaviour the port core relies on, checked on both devices: a real
// pseudo-terminal through the termios back end, and the in-memory fake.
#include "platform/CommDevice.h"

#include "support/FakeCommDevice.h"
#include "support/Pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sys/resource.h>
#include <thread>

using platform::CommDevice;
using platform::Event;
using platform::WaitTimeout;

namespace {

constexpr int kLong = 10000; // only reached when something is broken
constexpr win::DWORD kCoreMask = 0x1B9;

// The other end of the line: plays the thermometer.
class Line {
public:
    virtual ~Line() = default;
    virtual CommDevice& Device() = 0;
    virtual void Send(std::string_view bytes) = 0;
    virtual std::string Receive(std::size_t count) = 0;
    virtual void HangUp() = 0;
};

class PtyLine : public Line {
public:
    PtyLine() {
        dir_.Link(3, pty_.SlavePath());
        auto opened = platform::OpenCommDevice(3);
        if (!opened.Device)
            throw std::runtime_error("cannot open the pseudo-terminal");
        device_ = std::move(opened.Device);
    }
    CommDevice& Device() override { return *device_; }
    void Send(std::string_view bytes) override { ASSERT_TRUE(pty_.Write(bytes)); }
    std::string Receive(std::size_t count) override { return pty_.Read(count, kLong); }
    void HangUp() override {
        pty_.CloseSlave();
        pty_.CloseMaster();
    }

private:
    PortDir dir_;
    TestPty pty_;
    std::unique_ptr<CommDevice> device_;
};

class FakeLine : public Line {
public:
    FakeLine() : port_(fakes_.Add(3)) {
        auto opened = platform::OpenCommDevice(3);
        if (!opened.Device)
            throw std::runtime_error("cannot open the fake port");
        device_ = std::move(opened.Device);
    }
    CommDevice& Device() override { return *device_; }
    void Send(std::string_view bytes) override { port_->Receive(bytes); }
    std::string Receive(std::size_t count) override {
        port_->WaitForWritten(taken_ + count, kLong);
        std::string all = port_->Written();
        std::string out = all.substr(taken_, count);
        taken_ += out.size();
        return out;
    }
    void HangUp() override { port_->HangUp(); }

private:
    FakeCommPorts fakes_;
    std::shared_ptr<FakeCommPort> port_;
    std::unique_ptr<CommDevice> device_;
    std::size_t taken_ = 0;
};

enum class Kind { Pty, Fake };

class CommDeviceContract : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (GetParam() == Kind::Pty)
            line_ = std::make_unique<PtyLine>();
        else
            line_ = std::make_unique<FakeLine>();
        ASSERT_TRUE(Dev().SetEventMask(kCoreMask));
    }
    CommDevice& Dev() { return line_->Device(); }

    // One comm wait with no other events.
    int WaitComm(int timeoutMs, win::DWORD& mask) {
        return Dev().WaitEvent({}, 0, timeoutMs, mask);
    }

    // Until the driver holds `count` input bytes (a pseudo-terminal hands
    // them over on a kernel worker, not inside the other side's write).
    void WaitUntilQueued(win::DWORD count) {
        win::DWORD errors;
        win::COMSTAT stat;
        const long long start = platform::MonotonicMs();
        do {
            ASSERT_TRUE(Dev().ClearError(errors, &stat));
        } while (stat.cbInQue < count && platform::MonotonicMs() - start < kLong);
        ASSERT_GE(stat.cbInQue, count);
    }

    std::string ReadAll() {
        std::string out;
        char buffer[256];
        for (;;) {
            const auto n = Dev().Read(buffer, sizeof buffer);
            if (n <= 0)
                return out;
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

    std::unique_ptr<Line> line_;
};

TEST_P(CommDeviceContract, ArrivalIsReportedOncePerGrowthNotAgainForUnreadBytes) {
    win::DWORD mask = 0;
    EXPECT_EQ(WaitComm(50, mask), WaitTimeout);
    line_->Send("+021.");
    ASSERT_EQ(WaitComm(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_RXCHAR);
    // The bytes stay unread: no new report.
    mask = 0xFFFF;
    EXPECT_EQ(WaitComm(300, mask), WaitTimeout);
    EXPECT_EQ(mask, 0xFFFFu); // untouched by a time-out
    // More bytes on top of the unread ones: reported again.
    line_->Send("5C\r");
    ASSERT_EQ(WaitComm(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_RXCHAR);
    win::DWORD errors = 1;
    win::COMSTAT stat;
    ASSERT_TRUE(Dev().ClearError(errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 8u);
    EXPECT_EQ(ReadAll(), "+021.5C\r");
    char c;
    EXPECT_EQ(Dev().Read(&c, 1), 0); // nothing queued: at once, no bytes
    EXPECT_EQ(WaitComm(200, mask), WaitTimeout);
}

TEST_P(CommDeviceContract, ReadTakesAtMostTheCountAndKeepsTheRest) {
    line_->Send("abcdef");
    win::DWORD mask = 0;
    ASSERT_EQ(WaitComm(kLong, mask), 0);
    char buffer[4];
    ASSERT_EQ(Dev().Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(ReadAll(), "ef");
}

TEST_P(CommDeviceContract, ArrivalOutsideTheMaskIsNoEvent) {
    ASSERT_TRUE(Dev().SetEventMask(win::EV_ERR | win::EV_CTS));
    EXPECT_EQ(Dev().EventMask(), win::EV_ERR | win::EV_CTS);
    line_->Send("xyz");
    win::DWORD mask = 0;
    EXPECT_EQ(WaitComm(300, mask), WaitTimeout);
    EXPECT_EQ(ReadAll(), "xyz");
}

TEST_P(CommDeviceContract, WhatCameBeforeTheMaskWasSetIsForgotten) {
    line_->Send("old");
    WaitUntilQueued(3); // in the queue before the mask is set again
    ASSERT_TRUE(Dev().SetEventMask(kCoreMask));
    win::DWORD mask = 0;
    EXPECT_EQ(WaitComm(300, mask), WaitTimeout);
    line_->Send("new");
    ASSERT_EQ(WaitComm(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_RXCHAR);
    EXPECT_EQ(ReadAll(), "oldnew");
}

TEST_P(CommDeviceContract, ClearingTheMaskFromAnotherThreadEndsTheWaitAtOnce) {
    std::atomic<int> result{-100};
    std::atomic<win::DWORD> seen{0xFFFF};
    std::atomic<long long> ended{0};
    const long long start = platform::MonotonicMs();
    std::thread waiter([&] {
        win::DWORD mask = 0xFFFF;
        result = WaitComm(60000, mask);
        seen = mask;
        ended = platform::MonotonicMs();
    });
    // Whether the mask changes before or during the wait, it must end.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(Dev().SetEventMask(0));
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(seen.load(), 0u);
    EXPECT_LT(ended.load() - start, kLong);
    // With the mask 0 a wait ends at once, even with bytes arriving.
    line_->Send("z");
    win::DWORD mask = 0xFFFF;
    EXPECT_EQ(WaitComm(kLong, mask), 0);
    EXPECT_EQ(mask, 0u);
}

TEST_P(CommDeviceContract, LowerEventsWinAndAPendingCommEventIsKept) {
    Event stop(Event::ResetMode::Manual), drained;
    line_->Send("q");
    // Wait until the arrival is known, with the comm event last.
    Event* both[] = {&stop, &drained};
    win::DWORD mask = 0;
    ASSERT_EQ(Dev().WaitEvent(both, 2, kLong, mask), 2);
    EXPECT_EQ(mask, win::EV_RXCHAR);

    line_->Send("r");
    WaitUntilQueued(2);
    drained.Set();
    stop.Set();
    // stop (0) beats the comm event (1) which beats drained (2).
    ASSERT_EQ(Dev().WaitEvent(both, 1, kLong, mask), 0);
    stop.Reset();
    ASSERT_EQ(Dev().WaitEvent(both, 1, kLong, mask), 1);
    EXPECT_EQ(mask, win::EV_RXCHAR);
    EXPECT_TRUE(drained.IsSet()); // not taken while the comm event won
    ASSERT_EQ(Dev().WaitEvent(both, 1, kLong, mask), 2);
    EXPECT_FALSE(drained.IsSet()); // auto reset: taken by the wait
    EXPECT_EQ(Dev().WaitEvent(both, 1, 100, mask), WaitTimeout);
    EXPECT_EQ(Dev().WaitEvent(both, 3, 0, mask), platform::WaitFailed); // slot out of range
}

TEST_P(CommDeviceContract, HangUpIsOneLineErrorThenSilence) {
    line_->Send("ab");
    win::DWORD mask = 0;
    ASSERT_EQ(WaitComm(kLong, mask), 0);
    EXPECT_EQ(ReadAll(), "ab");
    line_->HangUp();
    win::DWORD all = 0;
    const long long start = platform::MonotonicMs();
    while (!(all & win::EV_ERR) && platform::MonotonicMs() - start < kLong) {
        if (WaitComm(kLong, mask) == 0)
            all |= mask;
    }
    ASSERT_TRUE(all & win::EV_ERR);
    win::DWORD errors = 0;
    win::COMSTAT stat;
    ASSERT_TRUE(Dev().ClearError(errors, &stat));
    EXPECT_EQ(errors, win::CE_IOE);
    EXPECT_EQ(stat.cbInQue, 0u);

    // Nothing more: the waits time out and sleep while they do.
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    EXPECT_EQ(WaitComm(500, mask), WaitTimeout);
    EXPECT_EQ(WaitComm(500, mask), WaitTimeout);
    getrusage(RUSAGE_THREAD, &after);
    const long long cpuUs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000LL +
                            (after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                            (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000LL +
                            (after.ru_stime.tv_usec - before.ru_stime.tv_usec);
    EXPECT_LT(cpuUs, 100000) << "a wait on a dead device must sleep";
    ASSERT_TRUE(Dev().ClearError(errors, &stat));
    EXPECT_EQ(errors, 0u); // reported once
    char c;
    EXPECT_EQ(Dev().Read(&c, 1), 0);
    EXPECT_EQ(Dev().Write("x", 1), -1);
    // The write thread's wait answers at once, so it finds the failure.
    Event stop;
    Event* events[] = {&stop};
    EXPECT_EQ(Dev().WaitWritable(events, 1, kLong), 1);
}

TEST_P(CommDeviceContract, PurgeDiscardsTheInputQueue) {
    line_->Send("stale bytes");
    win::DWORD mask = 0;
    ASSERT_EQ(WaitComm(kLong, mask), 0);
    ASSERT_TRUE(Dev().Purge(win::PURGE_RXABORT | win::PURGE_RXCLEAR | win::PURGE_TXABORT |
                            win::PURGE_TXCLEAR));
    win::DWORD errors;
    win::COMSTAT stat;
    ASSERT_TRUE(Dev().ClearError(errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(ReadAll(), "");
    // New bytes after the purge are news, even fewer than were purged.
    line_->Send("n");
    ASSERT_EQ(WaitComm(kLong, mask), 0);
    EXPECT_EQ(mask, win::EV_RXCHAR);
    EXPECT_EQ(ReadAll(), "n");
}

TEST_P(CommDeviceContract, WrittenBytesReachTheOtherSideInOrder) {
    std::string sent;
    for (int i = 0; i < 200; ++i)
        sent += "line " + std::to_string(i) + "\r\n";
    std::size_t done = 0;
    Event stop;
    Event* events[] = {&stop};
    while (done < sent.size()) {
        const auto n = Dev().Write(sent.data() + done, sent.size() - done);
        ASSERT_GE(n, 0);
        done += static_cast<std::size_t>(n);
        if (n == 0) {
            ASSERT_EQ(Dev().WaitWritable(events, 1, kLong), 1);
        }
    }
    EXPECT_EQ(line_->Receive(sent.size()), sent);
    EXPECT_EQ(Dev().Write("", 0), 0);
}

// The port core's threads at once: an event thread waiting, the owner
// reading and asking for the status when told, a writer writing.
TEST_P(CommDeviceContract, EventThreadOwnerAndWriterShareTheDevice) {
    std::string incoming;
    for (int i = 0; i < 400; ++i)
        incoming += "+0" + std::to_string(10 + i % 90) + "." + std::to_string(i % 10) + "C\r";
    std::string outgoing;
    for (int i = 0; outgoing.size() < 48 * 1024; ++i)
        outgoing += "request " + std::to_string(i) + "\n";

    Event stop(Event::ResetMode::Manual), dataReady;
    std::atomic<int> lineEvents{0};
    std::thread eventThread([&] {
        Event* set[] = {&stop};
        for (;;) {
            win::DWORD mask = 0;
            const int r = Dev().WaitEvent(set, 1, 200, mask);
            if (r == 0 || r == platform::WaitFailed)
                return;
            if (r == 1 && (mask & win::EV_RXCHAR))
                ++lineEvents;
            dataReady.Set(); // a line event, or the quiet poll
        }
    });
    std::string got;
    std::thread owner([&] {
        char buffer[512];
        while (got.size() < incoming.size()) {
            Event* set[] = {&stop, &dataReady};
            if (platform::WaitForAny(set, kLong) != 1)
                return;
            win::DWORD errors;
            win::COMSTAT stat;
            if (!Dev().ClearError(errors, &stat) || errors != 0)
                return;
            for (;;) {
                const auto n = Dev().Read(buffer, sizeof buffer);
                if (n <= 0)
                    break;
                got.append(buffer, static_cast<std::size_t>(n));
            }
        }
    });
    std::thread writer([&] {
        Event* set[] = {&stop};
        std::size_t done = 0;
        while (done < outgoing.size()) {
            const auto n = Dev().Write(outgoing.data() + done, outgoing.size() - done);
            if (n < 0)
                return;
            done += static_cast<std::size_t>(n);
            if (n == 0 && Dev().WaitWritable(set, 1, kLong) != 1)
                return;
        }
    });
    for (std::size_t i = 0; i < incoming.size(); i += 8)
        line_->Send(std::string_view(incoming).substr(i, 8));
    const std::string received = line_->Receive(outgoing.size());
    owner.join();
    stop.Set();
    writer.join();
    eventThread.join();
    EXPECT_EQ(got, incoming);
    EXPECT_EQ(received, outgoing);
    EXPECT_GT(lineEvents.load(), 0);
}

TEST_P(CommDeviceContract, EscapeCodesOutsideTheTableAreRefused) {
    EXPECT_FALSE(Dev().EscapeFunction(0));
    EXPECT_FALSE(Dev().EscapeFunction(77));
}

TEST_P(CommDeviceContract, TimeoutsAndQueueSizesAreStored) {
    win::COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 0xFFFFFFFF;
    ASSERT_TRUE(Dev().SetTimeouts(t));
    ASSERT_TRUE(Dev().SetupQueues(8192, 4096));
    EXPECT_EQ(Dev().ComNumber(), 3);
}

INSTANTIATE_TEST_SUITE_P(Devices, CommDeviceContract, testing::Values(Kind::Pty, Kind::Fake),
                         [](const testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Pty ? std::string("Pty")
                                                            : std::string("Fake");
                         });

} // namespace
