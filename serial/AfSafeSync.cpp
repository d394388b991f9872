#include "serial/AfSafeSync.h"

#include "platform/MessageBox.h"
#include "platform/SysRetry.h"
#include "serial/AfUtils.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <linux/futex.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int kSlotCount = 64;
// How long SafeSyncServeWhile sleeps at most between two looks at its
// condition on the receiver thread, and the polling step elsewhere.
constexpr std::chrono::milliseconds kServeTick{2};
constexpr std::chrono::milliseconds kPollStep{1};

struct TSyncSlot {
    bool Enabled = false;
    // Shared so that a request can keep the handler alive while it runs
    // outside the lock, even if the slot is released meanwhile.
    std::shared_ptr<const TSyncHandler> Handler; // null: the slot is free
    std::uint32_t Id = 0;                        // 0: the slot is free
};

// How long a worker in SyncCall keeps looking for the answer, yielding the
// CPU between looks, before it sleeps in the kernel: a round trip through an
// idle main loop takes a few microseconds, and an answer seen while still
// awake spares both threads a trip through the scheduler. Yielding rather
// than spinning leaves the CPU to the main thread on a busy machine.
constexpr std::chrono::microseconds kWatchBeforeSleep{20};

// A one-shot wake-up with a time limit for the worker waiting in SyncCall.
// The worker sleeps on a futex directly: unlike a condition variable it need
// not take the state lock again on waking, which keeps the hand-off's round
// trip short. A worker that also watches a descriptor sleeps in poll() on
// an eventfd of the flag's own instead. Any thread may Set it, any number of
// times.
class TWakeFlag {
public:
    TWakeFlag() = default;
    TWakeFlag(const TWakeFlag&) = delete;
    TWakeFlag& operator=(const TWakeFlag&) = delete;

    // Makes the flag wake through an eventfd; before the flag is shared.
    // Without one (none could be made) the flag keeps the futex.
    void UseEventFd() { WakeFd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

    void Set() {
        if (Value.exchange(kSet, std::memory_order_acq_rel) != kSleeping)
            return;
        if (WakeFd_.Valid()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(WakeFd_.Get(), &one, sizeof one);
        } else {
            Futex(FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
        }
    }

    // True when Set before the limit passed. Watches the flag for `watch`
    // first, then sleeps on it, serving `fdWatch` meanwhile when the flag
    // has an eventfd.
    bool WaitFor(std::chrono::milliseconds limit, std::chrono::microseconds watch,
                 const TSyncWatch* fdWatch = nullptr) {
        bool watching = fdWatch && fdWatch->Fd >= 0 && fdWatch->OnReady && WakeFd_.Valid();
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + limit;
        const auto watchUntil = start + std::min<std::chrono::microseconds>(watch, limit);
        int v = Value.load(std::memory_order_acquire);
        while (v == kIdle && std::chrono::steady_clock::now() < watchUntil) {
            std::this_thread::yield();
            v = Value.load(std::memory_order_acquire);
        }
        while (v != kSet) {
            if (v == kIdle && !Value.compare_exchange_weak(v, kSleeping, std::memory_order_acquire))
                continue; // v now holds the current value
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero())
                return false;
            const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
            timespec ts{static_cast<time_t>(secs.count()),
                        static_cast<long>(std::chrono::nanoseconds(left - secs).count())};
            if (WakeFd_.Valid())
                watching = SleepPolling(ts, watching ? fdWatch : nullptr);
            else
                Futex(FUTEX_WAIT_PRIVATE, kSleeping, &ts); // EINTR, EAGAIN, ETIMEDOUT: look again
            v = Value.load(std::memory_order_acquire);
        }
        return true;
    }

private:
    static constexpr int kIdle = 0, kSet = 1, kSleeping = 2;
    static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

    // One sleep on the eventfd and the watched descriptor; false once the
    // watch has ended.
    bool SleepPolling(const timespec& ts, const TSyncWatch* fdWatch) {
        pollfd fds[2] = {{WakeFd_.Get(), POLLIN, 0}, {fdWatch ? fdWatch->Fd : -1, POLLIN, 0}};
        if (::ppoll(fds, 2, &ts, nullptr) <= 0)
            return fdWatch != nullptr; // EINTR or time-out: look again
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(WakeFd_.Get(), &count, sizeof count);
        }
        if (!fdWatch || fds[1].revents == 0)
            return fdWatch != nullptr;
        return fds[1].revents == POLLIN && fdWatch->OnReady();
    }

    void Futex(int op, int value, const timespec* timeout) {
        syscall(SYS_futex, reinterpret_cast<int*>(&Value), op, value, timeout, nullptr, 0);
    }

    std::atomic<int> Value{kIdle};
    platform::UniqueFd WakeFd_; // fixed before the flag is shared
};

} // namespace

// One hand-off. The worker owns one reference while it waits (or until it
// awaits a posted one), the queue another until the receiver thread takes
// it; Wake is set once the code has run (or raised), or when the request is
// dropped or its slot stops being live. Id is fixed at creation; Call is
// written before queuing and afterwards touched only by the receiver thread.
struct TSyncRequest {
    std::uint32_t Id = 0;
    TSyncHandler Call; // empty: run the slot's handler
    TWakeFlag Wake;
};

namespace {

using TSyncRequestPtr = std::shared_ptr<TSyncRequest>;

QEvent::Type SyncEventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

struct TSyncState;
TSyncState& State();
std::mutex& StateLock();
bool ServeOne(std::unique_lock<std::mutex>& lock);

// The hidden receiver: lives on the thread of the first registration and
// serves one queued request per event it receives.
class TSyncReceiver final : public QObject {
public:
    bool event(QEvent* e) override {
        // The lock is taken before the event is looked at: the poster made it
        // under this lock, and Qt's own hand-over of posted events is
        // invisible to race detectors.
        std::unique_lock<std::mutex> lock(StateLock());
        if (e->type() == SyncEventType()) {
            ServeOne(lock);
            return true;
        }
        lock.unlock();
        return QObject::event(e);
    }
};

struct TSyncState {
    std::mutex Lock;
    std::uint32_t LastId = 0; // the last id handed out
    bool Created = false;
    std::array<TSyncSlot, kSlotCount> Slots;
    TSyncReceiver* Receiver = nullptr; // null before creation and after the application ended
    TSyncReceiver* Retired = nullptr;  // a receiver that could not be deleted at teardown
    std::thread::id ReceiverThread;
    std::deque<TSyncRequestPtr> Queue;
    std::vector<TSyncRequest*> Waiters; // requests whose worker is inside SyncCall
    std::condition_variable ServeWake;  // wakes SafeSyncServeWhile on the receiver thread
    std::uint64_t WakeCount = 0;
    std::atomic<int> Posting{0}; // workers between reading Receiver and posting to it
    // Serialises the workers' posts. Qt guards its posted-event list with a
    // lock that race detectors cannot see; with this one around it, two
    // workers growing that list at once are visibly ordered. Never held
    // together with Lock.
    std::mutex PostLock;
};

// Never destroyed: worker threads may still call in while static objects are
// torn down at exit.
TSyncState& State() {
    static TSyncState* state = new TSyncState;
    return *state;
}

std::mutex& StateLock() {
    return State().Lock;
}

// The slot with this id; id 0 never matches (free slots carry 0). Lock held.
TSyncSlot* FindById(TSyncState& s, std::uint32_t id) {
    if (id == 0 || !s.Created)
        return nullptr;
    for (TSyncSlot& slot : s.Slots)
        if (slot.Id == id)
            return &slot;
    return nullptr;
}

bool IsLive(const TSyncSlot* slot) {
    return slot && slot->Handler && slot->Enabled;
}

bool OnReceiverThread(const TSyncState& s) {
    return s.Created && s.ReceiverThread == std::this_thread::get_id();
}

// The slot stopped being live: take its requests that have not started out of
// the queue and release every worker waiting on it. The dropped requests go
// to `dropped` so that their closures are destroyed after the lock is let go.
// Lock held.
void InterruptSlot(TSyncState& s, std::uint32_t id, std::vector<TSyncRequestPtr>& dropped) {
    auto keep = std::stable_partition(s.Queue.begin(), s.Queue.end(),
                                      [id](const TSyncRequestPtr& r) { return r->Id != id; });
    for (auto it = keep; it != s.Queue.end(); ++it) {
        (*it)->Wake.Set(); // a worker may await it later
        dropped.push_back(std::move(*it));
    }
    s.Queue.erase(keep, s.Queue.end());
    for (TSyncRequest* waiter : s.Waiters) {
        if (waiter->Id == id) {
            waiter->Wake.Set();
        }
    }
}

// Runs a handler on the receiver thread and returns what it raised.
std::exception_ptr RunGuarded(const TSyncHandler& code) {
    try {
        code();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// An exception from a handler: shown by the application on its main thread,
// dropped on any other receiver thread.
void ReportHandlerError(std::exception_ptr error) {
    if (error && af::IsMainThread())
        platform::HandleApplicationException(error);
}

// Takes the first queued request and runs it. Receiver thread only; called
// with the lock held, returns with it released. Returns false when nothing
// was queued.
bool ServeOne(std::unique_lock<std::mutex>& lock) {
    TSyncState& s = State();
    TSyncRequestPtr request;
    std::shared_ptr<const TSyncHandler> slotHandler;
    std::vector<TSyncRequestPtr> dropped; // released after the lock
    while (!s.Queue.empty() && !request) {
        TSyncRequestPtr next = std::move(s.Queue.front());
        s.Queue.pop_front();
        TSyncSlot* slot = FindById(s, next->Id);
        if (IsLive(slot)) {
            request = std::move(next);
            if (!request->Call)
                slotHandler = slot->Handler;
        } else {
            // Disabling purges the queue, so this is only a safety net.
            next->Wake.Set();
            dropped.push_back(std::move(next));
        }
    }
    lock.unlock();
    if (!request)
        return false;
    std::exception_ptr error = RunGuarded(request->Call ? request->Call : *slotHandler);
    // The closure's captures die here on the receiver thread, not on the
    // worker, whichever of the two lets go of the request last.
    TSyncHandler spent = std::move(request->Call);
    request->Wake.Set(); // `request` keeps the flag alive while it is set
    // The worker has been released before the application's handler shows
    // its box, so a box left open does not hold the worker up to its limit.
    ReportHandlerError(error);
    return true;
}

bool ServeOne() {
    std::unique_lock<std::mutex> lock(StateLock());
    return ServeOne(lock);
}

// The application object is going away: no more events can be delivered, so
// stop posting, release every waiting worker and drop what is queued.
void TearDownReceiver() {
    TSyncState& s = State();
    std::vector<TSyncRequestPtr> dropped;
    TSyncReceiver* receiver = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        receiver = std::exchange(s.Receiver, nullptr);
        for (TSyncRequestPtr& r : s.Queue) {
            r->Wake.Set();
            dropped.push_back(std::move(r));
        }
        s.Queue.clear();
        for (TSyncRequest* waiter : s.Waiters) {
            waiter->Wake.Set();
        }
    }
    if (!receiver)
        return;
    while (s.Posting.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
    if (receiver->thread() == QThread::currentThread()) {
        delete receiver;
    } else {
        // A receiver living on another thread cannot be deleted from here;
        // it is kept until the process ends.
        std::lock_guard<std::mutex> lock(s.Lock);
        s.Retired = receiver;
    }
}

// Creates the receiver on the calling thread. Lock held, first registration.
void CreateReceiver(TSyncState& s) {
    s.Receiver = new TSyncReceiver;
    s.ReceiverThread = std::this_thread::get_id();
    s.Slots = {};
    s.Created = true;
    if (QCoreApplication* app = QCoreApplication::instance())
        QObject::connect(app, &QObject::destroyed, &TearDownReceiver);
}

std::uint32_t NextId(TSyncState& s) {
    s.LastId = NextSyncId(s.LastId);
    return s.LastId;
}

} // namespace

std::uint32_t RegisterSyncSlot(TSyncHandler handler) {
    if (!handler)
        return 0;
    auto shared = std::make_shared<const TSyncHandler>(std::move(handler));
    TSyncState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    if (!s.Created)
        CreateReceiver(s);
    for (TSyncSlot& slot : s.Slots) {
        if (!slot.Handler) {
            slot.Enabled = false;
            slot.Handler = std::move(shared);
            slot.Id = NextId(s);
            return slot.Id;
        }
    }
    return 0;
}

bool EnableSyncSlot(std::uint32_t id, bool enabled) {
    TSyncState& s = State();
    std::vector<TSyncRequestPtr> dropped; // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(s.Lock);
    TSyncSlot* slot = FindById(s, id);
    if (!slot || !slot->Handler)
        return false;
    slot->Enabled = enabled;
    if (!enabled)
        InterruptSlot(s, id, dropped);
    return true;
}

bool ReleaseSyncSlot(std::uint32_t id) {
    TSyncState& s = State();
    std::vector<TSyncRequestPtr> dropped;
    std::shared_ptr<const TSyncHandler> handler; // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(s.Lock);
    TSyncSlot* slot = FindById(s, id);
    if (!slot)
        return false;
    handler = std::move(slot->Handler);
    slot->Handler.reset();
    slot->Id = 0; // Enabled keeps its value; the next registration resets it
    InterruptSlot(s, id, dropped);
    return true;
}

bool SyncCall(std::uint32_t id, std::chrono::milliseconds limit) {
    return SyncCall(id, limit, {});
}

bool SyncCall(std::uint32_t id, std::chrono::milliseconds limit, TSyncHandler call) {
    return SyncCall(id, limit, std::move(call), TSyncWatch{});
}

namespace {

// A call on the receiver thread itself runs at once, as a message sent to
// one's own window does; queuing it would wait for ourselves. Called with the
// lock held on a live slot; returns with it held and the slot's liveness.
bool RunHere(std::unique_lock<std::mutex>& lock, TSyncState& s, std::uint32_t id,
             TSyncHandler call) {
    std::shared_ptr<const TSyncHandler> slotHandler;
    if (!call)
        slotHandler = FindById(s, id)->Handler;
    lock.unlock();
    std::exception_ptr error = RunGuarded(call ? call : *slotHandler);
    ReportHandlerError(error);
    lock.lock();
    return IsLive(FindById(s, id));
}

// Queues the request and posts its event to the receiver. Called with the
// lock held; returns with it released.
void QueueAndPost(std::unique_lock<std::mutex>& lock, TSyncState& s, const TSyncRequestPtr& request,
                  bool waiting) {
    s.Queue.push_back(request);
    if (waiting)
        s.Waiters.push_back(request.get());
    // Posted outside the lock, so that the receiver thread, woken by the post,
    // does not at once run into a lock this thread still holds. The event is
    // made before the lock is let go: the receiver takes the lock before it
    // reads the event, which orders the two for race detectors. The posting
    // count keeps the receiver from being deleted meanwhile.
    QObject* receiver = s.Receiver;
    auto* event = new QEvent(SyncEventType());
    s.Posting.fetch_add(1, std::memory_order_relaxed);
    lock.unlock();
    {
        std::lock_guard<std::mutex> post(s.PostLock);
        QCoreApplication::postEvent(receiver, event);
    }
    s.Posting.fetch_sub(1, std::memory_order_release);
    s.ServeWake.notify_one(); // the push was made under the lock: no lost wake-up
}

} // namespace

bool SyncCall(std::uint32_t id, std::chrono::milliseconds limit, TSyncHandler call,
              const TSyncWatch& watch) {
    TSyncState& s = State();
    // Made before the lock is taken so that the lock is held only for the
    // look-ups; wasted only when the slot is not live.
    auto request = std::make_shared<TSyncRequest>();
    request->Id = id;
    if (watch.Fd >= 0)
        request->Wake.UseEventFd();
    std::unique_lock<std::mutex> lock(s.Lock);
    if (!IsLive(FindById(s, id)))
        return false;
    if (!s.Receiver)
        return true; // nobody to deliver to: nothing runs, the slot is live
    if (OnReceiverThread(s))
        return RunHere(lock, s, id, std::move(call));

    request->Call = std::move(call);
    QueueAndPost(lock, s, request, /*waiting=*/true);
    request->Wake.WaitFor(limit, kWatchBeforeSleep, &watch);
    lock.lock();
    s.Waiters.erase(std::find(s.Waiters.begin(), s.Waiters.end(), request.get()));
    // A request that timed out stays queued and runs later with its own data.
    return IsLive(FindById(s, id));
}

bool SyncPost(std::uint32_t id, TSyncHandler call, TSyncPosted& posted, bool watchable) {
    TSyncState& s = State();
    auto request = std::make_shared<TSyncRequest>();
    request->Id = id;
    if (watchable)
        request->Wake.UseEventFd();
    std::unique_lock<std::mutex> lock(s.Lock);
    if (!IsLive(FindById(s, id)))
        return false;
    if (!s.Receiver)
        return true;
    if (OnReceiverThread(s))
        return RunHere(lock, s, id, std::move(call));
    request->Call = std::move(call);
    posted.Request = request;
    QueueAndPost(lock, s, request, /*waiting=*/false);
    return true;
}

bool SyncAwait(TSyncPosted& posted, std::chrono::milliseconds limit, const TSyncWatch& watch) {
    const TSyncRequestPtr request = std::move(posted.Request);
    posted.Request.reset();
    if (!request)
        return true;
    TSyncState& s = State();
    std::unique_lock<std::mutex> lock(s.Lock);
    // Liveness is looked at and the waiter registered under one lock: a slot
    // disabled before is seen here, one disabled later sets the flag.
    if (!IsLive(FindById(s, request->Id)) || !s.Receiver)
        return IsLive(FindById(s, request->Id));
    s.Waiters.push_back(request.get());
    lock.unlock();
    // No watch before sleeping: the worker has nothing to hurry back to, and
    // a yield would only cost the main thread a switch.
    request->Wake.WaitFor(limit, std::chrono::microseconds(0), &watch);
    lock.lock();
    s.Waiters.erase(std::find(s.Waiters.begin(), s.Waiters.end(), request.get()));
    return IsLive(FindById(s, request->Id));
}

void SafeSyncServeWhile(const std::function<bool()>& keepWaiting) {
    TSyncState& s = State();
    bool onReceiver;
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        onReceiver = OnReceiverThread(s);
    }
    if (!onReceiver) {
        while (keepWaiting())
            std::this_thread::sleep_for(kPollStep);
        return;
    }
    for (;;) {
        std::uint64_t wakeSeen;
        {
            std::lock_guard<std::mutex> lock(s.Lock);
            wakeSeen = s.WakeCount;
        }
        if (!keepWaiting())
            return;
        if (ServeOne())
            continue;
        std::unique_lock<std::mutex> lock(s.Lock);
        s.ServeWake.wait_for(lock, kServeTick,
                             [&] { return !s.Queue.empty() || s.WakeCount != wakeSeen; });
    }
}

void SafeSyncServePending() {
    TSyncState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        if (!OnReceiverThread(s))
            return;
    }
    while (ServeOne()) {
    }
}

void SafeSyncWake() {
    TSyncState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    ++s.WakeCount;
    s.ServeWake.notify_all();
}
