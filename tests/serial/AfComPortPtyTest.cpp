// The serial port component on real pseudo-terminals: the road of a reading
// from the other side to ReadString, sending, hang-up, closing from a handler
// and destruction while open.
#include "serial/AfComPort.h"
#include "support/ProcessStats.h"
#include "support/Pty.h"
#include "support/Pump.h"

#include <QPointer>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class ComPty : public ::testing::Test {
protected:
    void SetUp() override {
        Dir.Link(3, Pty.SlavePath());
        Com.setObjectName(QStringLiteral("AfComPort1"));
        Com.SetBaudRate(br9600);
        Com.SetComNumber(3);
        Com.OnDataRecived = [this](QObject*, std::int32_t) { Received += Com.ReadString(); };
        Com.OnPortClose = [this](QObject*) { ++Closes; };
        Com.OnLineError = [this](QObject*, std::uint32_t) { ++LineErrors; };
        Com.Loaded();
    }
    PortDir Dir;
    TestPty Pty;
    std::string Received;
    int Closes = 0;
    int LineErrors = 0;
    TAfComPort Com; // last: gone before the state its handlers use
};

} // namespace

TEST_F(ComPty, ReadingsWrittenByTheOtherSideArriveWholeAndInOrder) {
    Com.Open();
    std::string sent;
    for (int i = 0; i < 30; ++i) {
        const std::string reading =
            "+2" + std::to_string(i % 10) + "." + std::to_string(i % 7) + "\r";
        ASSERT_TRUE(Pty.Write(reading));
        sent += reading;
        PumpFor(3ms);
    }
    ASSERT_TRUE(PumpUntil([&] { return Received.size() >= sent.size(); }));
    EXPECT_EQ(Received, sent);
}

TEST_F(ComPty, UnderABurstTheHandlersRunOneAtATimeInOrderEachWithBytes) {
    Com.Open();
    int inside = 0, nested = 0, empty = 0;
    Com.OnDataRecived = [&](QObject*, std::int32_t count) {
        nested += inside++ > 0;
        empty += count <= 0;
        PumpFor(1ms); // the event loop runs inside, as under a modal box
        Received += Com.ReadString();
        --inside;
    };
    std::string sent;
    for (int i = 0; i < 400; ++i)
        sent += "+" + std::to_string(i) + ".5C\r";
    std::thread writer([&] {
        for (std::size_t at = 0; at < sent.size();) {
            const ssize_t n =
                ::write(Pty.Master(), sent.data() + at, std::min<std::size_t>(7, sent.size() - at));
            at += n > 0 ? static_cast<std::size_t>(n) : 0;
            std::this_thread::sleep_for(50us);
        }
    });
    const bool all = PumpUntil([&] { return Received.size() >= sent.size(); });
    writer.join();
    ASSERT_TRUE(all);
    EXPECT_EQ(Received, sent);
    EXPECT_EQ(nested, 0) << "a hand-off ran inside another";
    EXPECT_EQ(empty, 0) << "a hand-off reported bytes an earlier one had read";
}

TEST_F(ComPty, WrittenDataReachesTheOtherSide) {
    Com.Open();
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        const std::string chunk = "chunk" + std::to_string(i) + ";";
        Com.WriteData(chunk);
        expected += chunk;
    }
    EXPECT_EQ(Pty.Read(expected.size()), expected);
}

TEST_F(ComPty, HangUpGivesOneLineErrorAndNoBusyLoop) {
    Com.Open();
    Pty.CloseSlave();
    Pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return LineErrors >= 1; }));
    const double before = CpuSeconds();
    PumpFor(1000ms);
    EXPECT_EQ(LineErrors, 1);
    EXPECT_LT(CpuSeconds() - before, 0.3) << "something spins on the dead device";
    EXPECT_TRUE(Com.Active());
    Com.Close();
    EXPECT_EQ(Closes, 1);
}

TEST_F(ComPty, ClosingFromInsideADataHandlerIsPrompt) {
    Com.Open();
    std::chrono::steady_clock::duration took{};
    Com.OnDataRecived = [&](QObject*, std::int32_t) {
        Received += Com.ReadString();
        const auto start = std::chrono::steady_clock::now();
        Com.Close();
        took = std::chrono::steady_clock::now() - start;
    };
    ASSERT_TRUE(Pty.Write("+21.5\r"));
    ASSERT_TRUE(PumpUntil([&] { return Closes == 1; }));
    EXPECT_EQ(Received, "+21.5\r");
    EXPECT_LT(took, 1000ms);
    EXPECT_FALSE(Com.Active());
    // The port is free again at once.
    Com.Open();
    EXPECT_TRUE(Com.Active());
}

TEST_F(ComPty, DestroyingAnOpenComponentReleasesThePortWithoutOnPortClose) {
    int closes = 0;
    {
        TAfComPort other;
        other.SetComNumber(4);
        Dir.Link(4, Pty.SlavePath());
        other.OnPortClose = [&](QObject*) { ++closes; };
        other.OnDataRecived = [&](QObject*, std::int32_t) {};
        other.Open();
        ASSERT_TRUE(Pty.Write("busy"));
        std::this_thread::sleep_for(30ms); // a hand-off is probably waiting now
        EXPECT_THROW(Com.Open(), EAfComPortCoreError) << "the port should be held";
        Com.Close();
    }
    EXPECT_EQ(closes, 0);
    Com.Open(); // released by the destruction
    EXPECT_TRUE(Com.Active());
}

TEST_F(ComPty, DeletingTheComponentInsideItsOwnEventsIsSafe) {
    Dir.Link(4, Pty.SlavePath());
    for (int how = 0; how < 3; ++how) {
        QPointer<TAfComPort> port = new TAfComPort;
        port->SetComNumber(4);
        port->OnDataRecived = [=](QObject*, std::int32_t) {
            delete (how == 0 ? port.data() : nullptr);
        };
        port->OnPortClose = [port](QObject*) { delete port.data(); };
        port->Open();
        how == 0 ? void(Pty.Write("+21.5\r")) : how == 1 ? port->SetComNumber(3) : port->Close();
        EXPECT_TRUE(PumpUntil([&] { return port.isNull(); })) << how;
    }
}
