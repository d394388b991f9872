// Open/close churn on a pseudo-terminal with traffic both ways and closes
// started from inside event handlers: no deadlock, no lost port, no leak.
// KELVOX_CHURN_CYCLES raises the number of cycles (the sanitizer runs use
// 2000); the default keeps the ordinary test run fast.
#include "serial/AfComPort.h"
#include "support/FakeCommDevice.h"
#include "support/ProcessStats.h"
#include "support/Pty.h"

#include <QCoreApplication>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

int Cycles() {
    const char* v = std::getenv("KELVOX_CHURN_CYCLES");
    const int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : 150;
}

bool PumpUntil(const std::function<bool()>& cond, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        std::this_thread::sleep_for(200us);
    }
    return true;
}

// Plays a talkative device on the master side: writes a reading every
// millisecond and swallows whatever the port sends.
class Device {
public:
    explicit Device(int master) : FMaster(master), FThread([this] { Run(); }) {}
    ~Device() {
        FStop = true;
        FThread.join();
    }
    long long Swallowed() const { return FSwallowed.load(); }

private:
    void Run() {
        const char reading[] = "+21.5\r";
        char buffer[4096];
        while (!FStop) {
            // Non-blocking: a full input queue (port closed) just drops it.
            [[maybe_unused]] const ssize_t w = ::write(FMaster, reading, sizeof reading - 1);
            ssize_t n;
            while ((n = ::read(FMaster, buffer, sizeof buffer)) > 0)
                FSwallowed += n;
            std::this_thread::sleep_for(1ms);
        }
    }
    int FMaster;
    std::atomic<bool> FStop{false};
    std::atomic<long long> FSwallowed{0};
    std::thread FThread;
};

} // namespace

TEST(ComPortChurn, OpenCloseCyclesWithTrafficAndClosesFromHandlers) {
    PortDir dir;
    TestPty pty;
    dir.Link(2, pty.SlavePath());
    const int fdsBefore = OpenDescriptors();
    const int cycles = Cycles();
    int handlerCloses = 0;
    int dataEvents = 0;
    {
        Device device(pty.Master());
        TAfComPort com;
        com.setObjectName(QStringLiteral("AfComPort1"));
        com.SetComNumber(2);
        com.SetOutBufSize(256);
        com.Loaded();
        bool closeInHandler = false;
        int opens = 0, closes = 0;
        com.OnPortOpen = [&](QObject*) { ++opens; };
        com.OnPortClose = [&](QObject*) { ++closes; };
        com.OnOutBufFree = [&](QObject*) {};
        com.OnDataRecived = [&](QObject*, std::int32_t) {
            ++dataEvents;
            EXPECT_FALSE(com.Closing()) << "an event reached a handler during the close";
            com.ReadString();
            if (closeInHandler && com.Active()) {
                com.Close();
                ++handlerCloses;
            }
        };
        for (int i = 0; i < cycles; ++i) {
            closeInHandler = i % 3 == 0;
            ASSERT_NO_THROW(com.Open()) << "cycle " << i;
            ASSERT_TRUE(com.Active());
            // Traffic out: some of it is still queued when the close comes.
            try {
                com.WriteData(std::string(40, static_cast<char>('a' + i % 26)));
            } catch (const EAfComPortError&) {
                // The buffer is full from the previous cycle's leftovers: fine.
            }
            if (closeInHandler) {
                ASSERT_TRUE(PumpUntil([&] { return !com.Active(); }, 10000))
                    << "no data event closed the port in cycle " << i;
            } else {
                PumpUntil([&] { return false; }, i % 5); // let events interleave
                const auto start = std::chrono::steady_clock::now();
                com.Close();
                ASSERT_LT(std::chrono::steady_clock::now() - start, 3000ms)
                    << "close stalled in cycle " << i;
            }
            ASSERT_FALSE(com.Active());
            ASSERT_EQ(com.Core().EventThreadId(), 0);
            ASSERT_EQ(com.Core().WriteThreadId(), 0);
        }
        EXPECT_EQ(opens, cycles);
        EXPECT_EQ(closes, cycles);
        EXPECT_GT(device.Swallowed(), 0) << "nothing was ever sent";
    }
    EXPECT_GE(handlerCloses, cycles / 3);
    EXPECT_GE(dataEvents, handlerCloses);
    EXPECT_EQ(OpenDescriptors(), fdsBefore) << "descriptors leaked";
}

// The churn on the fake device, with the faults a pseudo-terminal cannot
// give: reads that fail (the bytes wait for the next read, none is lost), a
// driver queue that takes nothing (a stalled write, cut off by the close)
// and a hang-up while a write is stalled (its line error reaches the
// handler, which closes the port as the program does). Every cycle ends
// promptly and the port opens again.
TEST(ComPortChurn, FaultsOnTheDeviceNeverHangTheCloseOrLoseInput) {
    FakeCommPorts ports;
    const auto port = ports.Add(4);
    const int cycles = Cycles();
    int opens = 0, closes = 0, hangUps = 0, dataEvents = 0;
    std::string received;
    TAfComPort com;
    com.SetComNumber(4);
    com.SetOutBufSize(256);
    com.Loaded();
    com.OnPortOpen = [&](QObject*) { ++opens; };
    com.OnPortClose = [&](QObject*) { ++closes; };
    com.OnDataRecived = [&](QObject*, std::int32_t) {
        ++dataEvents;
        received += com.ReadString();
    };
    // (The error bits are those polled since the last event; a hang-up may
    // bring none, so only the event is counted.)
    com.OnLineError = [&](QObject*, std::uint32_t) {
        ++hangUps;
        com.Close();
    };
    for (int i = 0; i < cycles; ++i) {
        ASSERT_NO_THROW(com.Open()) << "cycle " << i;
        received.clear();
        switch (i % 3) {
        case 0: // two failing reads, then the bytes arrive whole and in order
            port->FailCall(FakeCall::Read, 2);
            for (const char* reading : {"+21.5\r", "+21.6\r", "+21.7\r"}) {
                const int before = dataEvents;
                port->Receive(reading);
                ASSERT_TRUE(PumpUntil([&] { return dataEvents > before; }, 10000));
            }
            ASSERT_TRUE(PumpUntil([&] { return received.size() == 18; }, 10000))
                << "cycle " << i << " got " << received;
            EXPECT_EQ(received, "+21.5\r+21.6\r+21.7\r");
            break;
        case 1: // stalled write
            port->SetWriteLimit(0);
            com.WriteData(std::string(40, 'w'));
            break;
        case 2: // hang-up in the middle of a stalled write
            port->SetWriteLimit(0);
            com.WriteData(std::string(40, 'h'));
            port->HangUp();
            ASSERT_TRUE(PumpUntil([&] { return !com.Active(); }, 10000))
                << "the hang-up did not reach the handler in cycle " << i;
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        if (com.Active()) // (a close of a closed port reports another close)
            com.Close();
        ASSERT_LT(std::chrono::steady_clock::now() - start, 3000ms)
            << "close stalled in cycle " << i;
        ASSERT_EQ(com.Core().EventThreadId(), 0);
        ASSERT_EQ(com.Core().WriteThreadId(), 0);
        port->FailCall(FakeCall::Read, 0);
        port->SetWriteLimit(SIZE_MAX);
    }
    EXPECT_EQ(opens, cycles);
    EXPECT_EQ(closes, cycles);
    EXPECT_EQ(hangUps, cycles / 3);
    EXPECT_EQ(port->Written(), "") << "stalled bytes went out after all";
}
