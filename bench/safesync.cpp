// Hand-off figures of the main-thread notifier.
//
// 1. Round trip: a worker's SyncCall runs an empty handler on the main thread
//    (idle in QApplication::exec) and resumes; next to it Qt's own blocking
//    queued call doing the same, in alternating blocks of the same run.
// 2. Close from inside a handler: the handler disables its slot and joins the
//    worker that waits in the very call running the handler; measured from
//    the disable to the worker's SyncCall returning, and to the join's end.
//
// Usage: bench_safesync [round trips per kind, default 100000] [closes, default 1000]
#include "serial/AfSafeSync.h"

#include <QApplication>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Summary {
    double Median;
    double P99;
    double Max;
};

Summary Summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, std::size_t(q * v.size()))]; };
    return {at(0.5), at(0.99), v.back()};
}

void Print(const char* what, const Summary& s) {
    std::printf("%-44s median %9.1f us   p99 %9.1f us   max %9.1f us\n", what, s.Median, s.P99,
                s.Max);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int calls = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 100000;
    const int closes = argc > 2 ? std::max(10, std::atoi(argv[2])) : 1000;
    constexpr int kBlock = 1000;

    // --- 1. round trips with the main thread idle in exec() ---
    long handled = 0;
    const std::uint32_t id = RegisterSyncSlot([&handled] { ++handled; });
    EnableSyncSlot(id, true);
    QObject target; // lives on the main thread
    long qtHandled = 0;
    std::vector<double> ours, qts;
    ours.reserve(calls);
    qts.reserve(calls);
    int failures = 0;

    std::thread worker([&] {
        for (int i = 0; i < 2000; ++i) { // warm-up of both paths
            SyncCall(id, std::chrono::milliseconds(2000));
            QMetaObject::invokeMethod(
                &target, [&qtHandled] { ++qtHandled; }, Qt::BlockingQueuedConnection);
        }
        while (int(ours.size()) < calls) {
            for (int i = 0; i < kBlock && int(ours.size()) < calls; ++i) {
                const auto t0 = Clock::now();
                if (!SyncCall(id, std::chrono::milliseconds(2000)))
                    ++failures;
                ours.push_back(Micros(Clock::now() - t0));
            }
            for (int i = 0; i < kBlock && int(qts.size()) < calls; ++i) {
                const auto t0 = Clock::now();
                QMetaObject::invokeMethod(
                    &target, [&qtHandled] { ++qtHandled; }, Qt::BlockingQueuedConnection);
                qts.push_back(Micros(Clock::now() - t0));
            }
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    worker.join();

    const Summary o = Summarise(ours);
    const Summary q = Summarise(qts);
    std::printf("Round trip, worker -> main thread (idle in exec) -> worker, %d calls each\n",
                calls);
    Print("SyncCall", o);
    Print("QMetaObject::invokeMethod, BlockingQueued", q);
    std::printf("ratio SyncCall / Qt: median %.2f, p99 %.2f  (handlers run: %ld + %ld, "
                "false answers: %d)\n\n",
                o.Median / q.Median, o.P99 / q.P99, handled, qtHandled, failures);

    // --- 2. close from inside a handler ---
    std::vector<double> toReturn, toJoined;
    int trueAnswers = 0;
    for (int k = 0; k < closes; ++k) {
        std::atomic<bool> returned{false};
        Clock::time_point disabledAt, returnedAt, joinedAt;
        bool answer = true;
        std::thread eventThread;
        std::atomic<bool> closed{false};
        std::uint32_t port = 0;
        port = RegisterSyncSlot([&] {
            // The port's close, run inside the delivery it is closing.
            disabledAt = Clock::now();
            EnableSyncSlot(port, false);
            SafeSyncServeWhile([&] { return !returned.load(); });
            eventThread.join();
            joinedAt = Clock::now();
            closed = true;
        });
        EnableSyncSlot(port, true);
        eventThread = std::thread([&] {
            answer = SyncCall(port, std::chrono::milliseconds(2000));
            returnedAt = Clock::now();
            returned = true;
            SafeSyncWake();
        });
        while (!closed)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ReleaseSyncSlot(port);
        trueAnswers += answer;
        toReturn.push_back(Micros(returnedAt - disabledAt));
        toJoined.push_back(Micros(joinedAt - disabledAt));
    }
    std::printf("Close from inside a handler, %d closes (designed figure: up to 2000000 us)\n",
                closes);
    Print("disable -> waiting SyncCall returns", Summarise(toReturn));
    Print("disable -> event thread joined", Summarise(toJoined));
    std::printf("true answers after the disable: %d (expected 0)\n", trueAnswers);
    return failures == 0 && trueAnswers == 0 ? 0 : 1;
}
