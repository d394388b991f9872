#include "serial/AfSafeSync.h"

#include "platform/MessageBox.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Long limits: a call that returns well before one of these did so for its
// own reason, not because its time ran out.
constexpr auto kLongLimit = 20s;
constexpr auto kPrompt = 8s;

// Runs the main thread's event loop until done() holds or the limit passes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A slot that is released however the test ends.
struct ScopedSlot {
    std::uint32_t Id;
    explicit ScopedSlot(TSyncHandler handler) : Id(RegisterSyncSlot(std::move(handler))) {}
    ~ScopedSlot() { ReleaseSyncSlot(Id); }
    ScopedSlot(const ScopedSlot&) = delete;
    ScopedSlot& operator=(const ScopedSlot&) = delete;
};

// A worker thread running one SyncCall; the result and the time it took are
// read after Finished().
struct CallOnWorker {
    std::atomic<bool> Done{false};
    std::atomic<bool> Result{false};
    std::chrono::milliseconds Took{0};
    std::thread Thread;

    CallOnWorker(std::uint32_t id, std::chrono::milliseconds limit, TSyncHandler call = {}) {
        Thread = std::thread([this, id, limit, call = std::move(call)]() mutable {
            const auto start = Clock::now();
            Result = SyncCall(id, limit, std::move(call));
            Took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            Done = true;
            SafeSyncWake();
        });
    }
    ~CallOnWorker() {
        if (Thread.joinable())
            Thread.join();
    }
    // Serves the main thread until the worker has returned, then joins it.
    bool Finished() {
        SafeSyncServeWhile([this] { return !Done.load(); });
        Thread.join();
        return Done;
    }
};

struct BoxRecorder {
    std::vector<platform::MessageRequest> Boxes;
    std::function<void()> OnBox;
    BoxRecorder() {
        platform::SetMessageHook([this](const platform::MessageRequest& r) {
            Boxes.push_back(r);
            if (OnBox)
                OnBox();
            return platform::MsgResult::Ok;
        });
    }
    ~BoxRecorder() { platform::SetMessageHook({}); }
};

} // namespace

TEST(AfSafeSync, RefusesIdZeroUnknownIdsAndEmptyHandlers) {
    int runs = 0;
    EXPECT_EQ(RegisterSyncSlot({}), 0u);
    EXPECT_FALSE(EnableSyncSlot(0, true));
    EXPECT_FALSE(SyncCall(0, 100ms));
    EXPECT_FALSE(ReleaseSyncSlot(0));

    std::uint32_t gone = RegisterSyncSlot([&] { ++runs; });
    ASSERT_NE(gone, 0u);
    ASSERT_TRUE(ReleaseSyncSlot(gone));
    EXPECT_FALSE(ReleaseSyncSlot(gone)) << "freed once only";
    EXPECT_FALSE(EnableSyncSlot(gone, true));
    EXPECT_FALSE(SyncCall(gone, 100ms));
    EXPECT_EQ(runs, 0);
}

TEST(AfSafeSync, SlotThatIsNotEnabledRunsNothingAndAnswersAtOnce) {
    std::atomic<int> runs{0};
    ScopedSlot slot([&] { ++runs; });
    ASSERT_NE(slot.Id, 0u);

    CallOnWorker never(slot.Id, kLongLimit);
    ASSERT_TRUE(never.Finished());
    EXPECT_FALSE(never.Result);
    EXPECT_LT(never.Took, kPrompt);

    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));
    ASSERT_TRUE(EnableSyncSlot(slot.Id, false));
    CallOnWorker disabled(slot.Id, kLongLimit);
    ASSERT_TRUE(disabled.Finished());
    EXPECT_FALSE(disabled.Result);
    EXPECT_LT(disabled.Took, kPrompt);

    // Also on the main thread, where a live slot would run directly.
    EXPECT_FALSE(SyncCall(slot.Id, 100ms));
    QCoreApplication::processEvents();
    SafeSyncServePending();
    EXPECT_EQ(runs, 0);
}

TEST(AfSafeSync, HandlerRunsOnMainThreadThroughTheEventLoop) {
    QThread* ranOn = nullptr;
    int runs = 0;
    ScopedSlot slot([&] {
        ranOn = QThread::currentThread();
        ++runs;
        // The lock is not held while a handler runs: the table is usable here.
        std::uint32_t inner = RegisterSyncSlot([] {});
        EXPECT_NE(inner, 0u);
        EXPECT_TRUE(EnableSyncSlot(inner, true));
        EXPECT_TRUE(ReleaseSyncSlot(inner));
    });
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));

    CallOnWorker call(slot.Id, kLongLimit);
    ASSERT_TRUE(PumpUntil([&] { return call.Done.load(); }));
    call.Thread.join();
    EXPECT_TRUE(call.Result);
    EXPECT_LT(call.Took, kPrompt);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());
}

TEST(AfSafeSync, CallOnTheMainThreadRunsDirectly) {
    int runs = 0;
    ScopedSlot slot([&] { ++runs; });
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));
    EXPECT_TRUE(SyncCall(slot.Id, 100ms));
    EXPECT_EQ(runs, 1);

    int own = 0;
    EXPECT_TRUE(SyncCall(slot.Id, 100ms, [&] { own = 7; }));
    EXPECT_EQ(own, 7);
    EXPECT_EQ(runs, 1) << "a call with its own code does not also run the slot's handler";

    // A handler that disables its own slot makes the same-thread call fail.
    EXPECT_FALSE(SyncCall(slot.Id, 100ms, [&] { EnableSyncSlot(slot.Id, false); }));
}

TEST(AfSafeSync, TimedOutCallsAnswerLiveAndRunLaterWithTheirOwnData) {
    struct Delivery {
        int Kind;
        int Data;
    };
    std::vector<Delivery> seen;
    ScopedSlot slot([] {});
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));

    // The main thread serves nothing while both calls wait: each times out,
    // and the slot is still live, so each answers true.
    for (int i = 1; i <= 2; ++i) {
        const Delivery d{i, i * 100};
        std::thread worker(
            [&, d] { EXPECT_TRUE(SyncCall(slot.Id, 30ms, [&seen, d] { seen.push_back(d); })); });
        worker.join();
    }
    EXPECT_TRUE(seen.empty());

    SafeSyncServePending();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Kind, 1);
    EXPECT_EQ(seen[0].Data, 100);
    EXPECT_EQ(seen[1].Kind, 2);
    EXPECT_EQ(seen[1].Data, 200);

    // The events posted for those requests find nothing left to run.
    QCoreApplication::processEvents();
    EXPECT_EQ(seen.size(), 2u);
}

TEST(AfSafeSync, PostedHandOffsRunInOrderAndTheirAwaitEndsWhenServedOrDisabled) {
    std::vector<int> seen;
    ScopedSlot slot([] {});
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));
    TSyncPosted posted;
    // Not served in time: the await answers live and the request stays.
    std::thread([&] {
        EXPECT_TRUE(SyncPost(
            slot.Id, [&seen] { seen.push_back(1); }, posted));
        EXPECT_TRUE(SyncAwait(posted, 30ms));
        EXPECT_FALSE(posted);
    }).join();
    EXPECT_TRUE(seen.empty());
    // The next goes behind it; its await ends once both have run, in order.
    std::atomic<bool> done{false};
    std::vector<int> atReturn;
    std::thread second([&] {
        EXPECT_TRUE(SyncPost(
            slot.Id, [&seen] { seen.push_back(2); }, posted));
        EXPECT_TRUE(SyncAwait(posted, kLongLimit));
        atReturn = seen;
        done = true;
        SafeSyncWake();
    });
    SafeSyncServeWhile([&] { return !done.load(); });
    second.join();
    EXPECT_EQ(atReturn, (std::vector<int>{1, 2}));
    // Disabling the slot drops what waits and ends its await.
    std::atomic<bool> result{true}, inAwait{false};
    std::thread third([&] {
        EXPECT_TRUE(SyncPost(
            slot.Id, [&seen] { seen.push_back(3); }, posted));
        inAwait = true;
        result = SyncAwait(posted, kLongLimit);
    });
    while (!inAwait.load())
        std::this_thread::yield();
    std::this_thread::sleep_for(20ms); // usually inside its await by now; either way it ends
    ASSERT_TRUE(EnableSyncSlot(slot.Id, false));
    third.join();
    EXPECT_FALSE(result);
    SafeSyncServePending();
    EXPECT_EQ(seen.size(), 2u);
}

TEST(AfSafeSync, LateRequestIsDroppedOnceItsSlotWasDisabledOrReleased) {
    int runs = 0;
    ScopedSlot slot([] {});
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));
    auto capture = std::make_shared<int>(0);
    std::thread([&] { SyncCall(slot.Id, 20ms, [&runs, capture] { ++runs; }); }).join();
    ASSERT_TRUE(EnableSyncSlot(slot.Id, false));
    EXPECT_EQ(capture.use_count(), 1) << "the dropped request's data is freed";
    // Opening again does not revive a request of the earlier opening.
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));
    QCoreApplication::processEvents();
    SafeSyncServePending();
    EXPECT_EQ(runs, 0);

    std::uint32_t other = RegisterSyncSlot([&] { ++runs; });
    ASSERT_TRUE(EnableSyncSlot(other, true));
    std::thread([&] { SyncCall(other, 20ms); }).join();
    ASSERT_TRUE(ReleaseSyncSlot(other));
    QCoreApplication::processEvents();
    SafeSyncServePending();
    EXPECT_EQ(runs, 0);
}

TEST(AfSafeSync, DisablingOrReleasingReleasesAWaitingCallerAtOnce) {
    std::atomic<int> runs{0};
    ScopedSlot slot([&] { ++runs; });
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));

    CallOnWorker disabled(slot.Id, kLongLimit);
    std::this_thread::sleep_for(20ms); // usually inside its wait by now; either way it must fail
    ASSERT_TRUE(EnableSyncSlot(slot.Id, false));
    ASSERT_TRUE(disabled.Finished());
    EXPECT_FALSE(disabled.Result);
    EXPECT_LT(disabled.Took, kPrompt);

    std::atomic<int> otherRuns{0};
    std::uint32_t other = RegisterSyncSlot([&] { ++otherRuns; });
    ASSERT_TRUE(EnableSyncSlot(other, true));
    CallOnWorker released(other, kLongLimit);
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(ReleaseSyncSlot(other));
    ASSERT_TRUE(released.Finished());
    EXPECT_FALSE(released.Result);
    EXPECT_LT(released.Took, kPrompt);

    QCoreApplication::processEvents();
    SafeSyncServePending();
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(otherRuns, 0);
}

TEST(AfSafeSync, HandlerDisablingItsOwnSlotMakesItsCallAnswerFalse) {
    std::uint32_t id = 0;
    int runs = 0;
    ScopedSlot slot([&] {
        ++runs;
        EnableSyncSlot(id, false);
    });
    id = slot.Id;
    ASSERT_TRUE(EnableSyncSlot(id, true));
    CallOnWorker call(id, kLongLimit);
    ASSERT_TRUE(PumpUntil([&] { return call.Done.load(); }));
    EXPECT_FALSE(call.Result);
    EXPECT_EQ(runs, 1);
}

// The port's close from inside a delivery: the handler disables the slot and
// joins the very worker that waits for this handler to return.
TEST(AfSafeSync, CloseFromInsideAHandlerCompletesWithoutWaitingOutTheLimit) {
    std::uint32_t id = 0;
    std::atomic<bool> workerDone{false};
    std::atomic<bool> workerResult{true};
    std::thread worker;
    Clock::duration closeTook{};
    ScopedSlot slot([&] {
        const auto start = Clock::now();
        EnableSyncSlot(id, false);
        SafeSyncServeWhile([&] { return !workerDone.load(); });
        worker.join();
        closeTook = Clock::now() - start;
    });
    id = slot.Id;
    ASSERT_TRUE(EnableSyncSlot(id, true));
    worker = std::thread([&] {
        workerResult = SyncCall(id, kLongLimit);
        workerDone = true;
        SafeSyncWake();
    });
    ASSERT_TRUE(PumpUntil([&] { return !worker.joinable(); }, 30s));
    EXPECT_FALSE(workerResult);
    EXPECT_LT(closeTook, kPrompt);
}

TEST(AfSafeSync, HandlerExceptionGoesToTheApplicationAfterTheCallerIsReleased) {
    BoxRecorder boxes;
    ScopedSlot slot([] { throw std::runtime_error("Sensor gone"); });
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));

    CallOnWorker call(slot.Id, kLongLimit);
    bool callerWasReleased = false;
    boxes.OnBox = [&] {
        // A box left open by the user must not hold the worker.
        const auto deadline = Clock::now() + kPrompt;
        while (!call.Done && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        callerWasReleased = call.Done;
    };
    ASSERT_TRUE(PumpUntil([&] { return call.Done.load() && !boxes.Boxes.empty(); }));
    EXPECT_TRUE(call.Result) << "the caller returns normally";
    EXPECT_TRUE(callerWasReleased);
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Text, "Sensor gone");
    EXPECT_EQ(boxes.Boxes[0].Caption, platform::ApplicationTitle());

    // The same on the main thread's direct path.
    boxes.OnBox = nullptr;
    EXPECT_TRUE(SyncCall(slot.Id, 100ms));
    ASSERT_EQ(boxes.Boxes.size(), 2u);
    EXPECT_EQ(boxes.Boxes[1].Text, "Sensor gone");
}

TEST(AfSafeSync, ServingWhileJoiningAWorkerThatKeepsCalling) {
    std::vector<int> seen;
    ScopedSlot slot([] {});
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));
    std::atomic<bool> done{false};
    std::atomic<int> trueAnswers{0};
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i)
            if (SyncCall(slot.Id, kLongLimit, [&seen, i] { seen.push_back(i); }))
                ++trueAnswers;
        done = true;
    });
    const auto start = Clock::now();
    // No event loop here: only the serving loop can let the worker go on.
    SafeSyncServeWhile([&] { return !done.load(); });
    worker.join();
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(trueAnswers, 50);
    ASSERT_EQ(seen.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(seen[i], i);
}

TEST(AfSafeSync, ServingOffTheMainThreadOnlyWaits) {
    int runs = 0;
    ScopedSlot slot([&] { ++runs; });
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));
    std::thread([&] { SyncCall(slot.Id, 10ms); }).join(); // left queued

    std::thread other([] {
        int checks = 0;
        SafeSyncServeWhile([&] { return ++checks < 20; });
        SafeSyncServePending();
    });
    other.join();
    EXPECT_EQ(runs, 0) << "only the receiver thread runs handlers";
    SafeSyncServePending();
    EXPECT_EQ(runs, 1);
}

TEST(AfSafeSync, AWaitingWorkerServesItsWatchUntilTheWatchEnds) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    ScopedSlot slot([] {});
    ASSERT_TRUE(EnableSyncSlot(slot.Id, true));
    std::atomic<int> served{0};
    char c;
    // The worker takes each byte while the handler runs; the second ends the watch.
    const TSyncWatch watch{fds[0], [&] { return ::read(fds[0], &c, 1) == 1 && ++served < 2; }};
    const auto feed = [&](int expect) {
        EXPECT_EQ(::write(fds[1], "x", 1), 1);
        for (auto end = Clock::now() + kPrompt; served < expect && Clock::now() < end;)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(served.load(), expect);
    };
    std::thread worker([&] {
        SyncCall(
            slot.Id, kLongLimit, [&] { feed(1), feed(2), feed(2); }, watch);
    });
    ASSERT_TRUE(PumpUntil([&] { return served == 2; }));
    worker.join();
    EXPECT_EQ(::read(fds[0], &c, 1), 1) << "the byte after the watch ended stays";
    ::close(fds[0]);
    ::close(fds[1]);
}
