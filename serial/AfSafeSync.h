// The main-thread notifier: lets a worker thread run a piece of code on the
// main thread and wait for it, with a time limit.
//
// A process-wide table of 64 sync slots, each holding a handler. The first
// RegisterSyncSlot creates a hidden receiver (a QObject) on the calling
// thread - the main thread in this program - and every later hand-off runs on
// that thread ("the receiver thread" below). A worker's SyncCall queues a
// request that carries its own code and data, posts an event to the receiver
// and sleeps until the request has run, its slot stops being live, or the
// time limit passes; SyncPost queues the same without waiting, and SyncAwait
// waits for such a posted request later, so that a worker can go back to its
// own work while the receiver runs the code. A request that timed out stays
// queued and still runs later with its own data, unless its slot is disabled or released first;
// disabling or releasing a slot drops every request of that slot that has
// not started yet.
//
// Locking: two process-wide std::mutexes. The state lock guards the table,
// the queue and the id counter; it is never held while a handler runs, so a
// handler may register, enable, release, call SyncCall or serve requests
// itself. The post lock only orders the workers' posts to the receiver and
// is never held together with the state lock.
//
// Handlers run one at a time on the receiver thread, in queue order, when
// that thread's Qt event loop runs (exec, processEvents, a modal dialog) or
// when it calls SafeSyncServeWhile / SafeSyncServePending. An exception that
// leaves a handler never reaches the worker: on the application's main thread
// it goes to platform::HandleApplicationException, after the worker has been
// released; on any other receiver thread it is dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

// The code a slot runs on the receiver thread: no arguments, no result.
using TSyncHandler = std::function<void()>;

// Takes the lowest free slot, stores a copy of handler in it (disabled) and
// returns its id: 1, 2, 3 ... skipping 0 after wrapping. Returns 0 when all 64
// slots are taken or handler is empty (an empty handler would leave a slot
// that looks free but carries an id). The very first call creates the
// receiver on the calling thread. Any thread; call it first on the thread
// that is to run the handlers.
std::uint32_t RegisterSyncSlot(TSyncHandler handler);

// Sets the enabled flag of the slot with this id; false when no taken slot
// has the id (0 included). Disabling drops the slot's requests that have not
// started and makes every SyncCall waiting on the slot return false at once.
// Any thread.
bool EnableSyncSlot(std::uint32_t id, bool enabled);

// Frees the slot with this id; false when no taken slot has it. Drops and
// wakes like disabling. The handler copy is destroyed outside the lock. A
// handler that is running at the time finishes. Any thread.
bool ReleaseSyncSlot(std::uint32_t id);

// Runs the slot's handler on the receiver thread and waits at most `limit`
// for it. Returns true when, after the call, the slot is still taken and
// enabled; false when it is missing, disabled or released (a slot that is not
// live on entry returns false at once and runs nothing; one that stops being
// live during the wait returns false at once). The result does not say
// whether the handler ran or the limit expired. Called on the receiver thread
// itself it runs the handler directly (no queue, no deadlock). Before the
// receiver exists, or after the application object has gone, nothing runs
// and the result is only the slot's liveness. Any thread.
bool SyncCall(std::uint32_t id, std::chrono::milliseconds limit);

// As above, but the request runs `call` instead of the slot's handler, so
// each hand-off carries its own kind and data: a request that runs late (after
// its caller gave up waiting) still sees the data it was made with. An empty
// `call` falls back to the slot's handler. Any thread.
bool SyncCall(std::uint32_t id, std::chrono::milliseconds limit, TSyncHandler call);

// A descriptor the worker watches while it waits in SyncCall: each time Fd
// is readable, OnReady runs on the worker; once it returns false (or Fd
// reports an error or hang-up) the watch ends for the rest of the call.
struct TSyncWatch {
    int Fd = -1; // -1: nothing to watch
    std::function<bool()> OnReady;
};

// As above, doing the watch's work while waiting. Any thread but the
// receiver's (where the call runs at once and nothing is watched).
bool SyncCall(std::uint32_t id, std::chrono::milliseconds limit, TSyncHandler call,
              const TSyncWatch& watch);

// A hand-off a worker posted without waiting for it (SyncPost), to be
// waited for later (SyncAwait), typically just before the worker posts its
// next one. Empty when nothing is outstanding. Owned by one worker thread.
struct TSyncRequest;
class TSyncPosted {
public:
    explicit operator bool() const { return static_cast<bool>(Request); }

private:
    friend bool SyncPost(std::uint32_t, TSyncHandler, TSyncPosted&, bool);
    friend bool SyncAwait(TSyncPosted&, std::chrono::milliseconds, const TSyncWatch&);
    std::shared_ptr<TSyncRequest> Request;
};

// Queues `call` for the slot as SyncCall does, but returns at once instead
// of waiting for it; the request goes to `posted` (which must be empty: await
// the previous one first). Returns the slot's liveness as SyncCall does;
// nothing is queued when the slot is not live or there is no receiver yet.
// `watchable`: the later SyncAwait may watch a descriptor (the request then
// carries an eventfd to wake it). On the receiver thread the call runs at
// once. Any thread.
bool SyncPost(std::uint32_t id, TSyncHandler call, TSyncPosted& posted, bool watchable = false);

// Waits at most `limit` for the request in `posted` to have run, serving
// `watch` meanwhile when the request was posted watchable, and empties
// `posted`. A request whose limit passes stays queued and still runs later
// with its own data. Returns the liveness of the request's slot (true when
// nothing was posted); disabling or releasing the slot ends the wait at
// once. Worker thread.
bool SyncAwait(TSyncPosted& posted, std::chrono::milliseconds limit, const TSyncWatch& watch = {});

// For joins on the receiver thread: serves queued requests (running their
// handlers) until keepWaiting() returns false. Sleeps on a condition variable
// between checks, woken at once when a request arrives or SafeSyncWake is
// called, and re-checks keepWaiting at least every 2 ms. Does not run the Qt
// event loop. Called on any other thread it only polls keepWaiting with short
// sleeps. keepWaiting is always called on the calling thread.
void SafeSyncServeWhile(const std::function<bool()>& keepWaiting);

// Serves every request queued at this moment (and any that arrive while it
// does so). Receiver thread only; does nothing elsewhere.
void SafeSyncServePending();

// Makes a SafeSyncServeWhile that is sleeping re-check its condition now
// instead of at its next 2 ms tick (for a worker that is about to end).
// Any thread.
void SafeSyncWake();

// The id a registration gets after `last` was handed out: last + 1,
// wrapping after 2^32 - 1 and skipping 0 (which means "no slot"). Any thread.
constexpr std::uint32_t NextSyncId(std::uint32_t last) {
    return last == 0xFFFFFFFFu ? 1u : last + 1;
}
