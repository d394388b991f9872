#include "support/CoreRecorder.h"

#include <chrono>

void CoreRecorder::Attach(TAfComPortCore& core, std::function<void(const CoreReport&)> then) {
    core.OnCoreEvent = [this, then](TAfComPortCore*, TAfCoreEvent kind, std::uint32_t data,
                                    std::exception_ptr error) {
        CoreReport r{kind, data, error};
        {
            std::lock_guard lock(FMutex);
            FReports.push_back(r);
            FChanged.notify_all();
        }
        if (then)
            then(r);
    };
}

std::vector<CoreReport> CoreRecorder::Reports() const {
    std::lock_guard lock(FMutex);
    return FReports;
}

int CoreRecorder::Count(TAfCoreEvent kind, std::uint32_t maskBits) const {
    std::lock_guard lock(FMutex);
    return CountLocked(kind, maskBits);
}

bool CoreRecorder::WaitCount(TAfCoreEvent kind, int n, std::uint32_t maskBits,
                             int timeoutMs) const {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return CountLocked(kind, maskBits) >= n; });
}

void CoreRecorder::Clear() {
    std::lock_guard lock(FMutex);
    FReports.clear();
}

int CoreRecorder::CountLocked(TAfCoreEvent kind, std::uint32_t maskBits) const {
    int n = 0;
    for (const CoreReport& r : FReports)
        if (r.Kind == kind && (r.Data & maskBits) == maskBits)
            ++n;
    return n;
}
