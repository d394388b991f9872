// Open/close churn on a pseudo-terminal with traffic both ways and closes
// started from inside event handlers: no deadlock, no lost port, no leak.
// KELVOX_CHURN_CYCLES raises the number of cycles (the sanitizer runs use
// 2000); the default keeps the ordinary test run fast.
#include "serial/AfComPort.h"
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
