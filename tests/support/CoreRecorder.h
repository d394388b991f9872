// Records what a port core reports on its event thread, for the test thread
// to count and wait on. Thread-safe: the core's event thread adds, the test
// thread reads. The recorder must outlive the core it is attached to.
#pragma once

#include "serial/AfComPortCore.h"
#include "support/Deadline.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

struct CoreReport {
    TAfCoreEvent Kind;
    std::uint32_t Data;
    std::exception_ptr Error;
};

class CoreRecorder {
public:
    // `then` runs inside the callback, on the event thread, after the report
    // is recorded (and without the recorder's lock held).
    void Attach(TAfComPortCore& core, std::function<void(const CoreReport&)> then = {});
    std::vector<CoreReport> Reports() const;
    int Count(TAfCoreEvent kind, std::uint32_t maskBits = 0) const;
    // Waits until at least n reports of the kind (with all of maskBits) came.
    bool WaitCount(TAfCoreEvent kind, int n, std::uint32_t maskBits = 0,
                   int timeoutMs = TestDeadlineMs) const;
    void Clear();

private:
    int CountLocked(TAfCoreEvent kind, std::uint32_t maskBits) const;
    mutable std::mutex FMutex;
    mutable std::condition_variable FChanged;
    std::vector<CoreReport> FReports;
};
