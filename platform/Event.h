// Event objects and "wait for any" on top of eventfd.
//
// An Event is a flag that threads set and wait for, with manual or automatic
// reset. A waiter that takes an auto-reset event resets it, so exactly one
// waiter wakes per Set. Every Event is one eventfd, which lets a wait combine
// events with device descriptors in a single poll (see CommDevice).
//
// Thread safety: Set, Reset, IsSet and the waits may be called from any
// thread at the same time. Destroying an Event while another thread waits on
// it is a fault of the caller.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>

struct pollfd;

namespace platform {

// Time-out value for "no time limit".
inline constexpr int InfiniteWait = -1;

// Results of the waits besides an index.
inline constexpr int WaitTimeout = -1;
inline constexpr int WaitFailed = -2;

class Event {
public:
    enum class ResetMode { Manual, Auto };

    // Throws std::system_error when no eventfd can be created.
    explicit Event(ResetMode mode = ResetMode::Auto, bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Whether the event is set, without taking it (an auto-reset event stays set).
    bool IsSet() const;
    // Takes the event if it is set: an auto-reset event is reset by this call,
    // a manual-reset one stays set. False when it was not set (or another
    // waiter took it first).
    bool TryTake();

    bool IsManualReset() const { return mode_ == ResetMode::Manual; }
    // The eventfd: readable while the event is set. Only for polling.
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
    ResetMode mode_;
};

// Waits until one of the events is set, at most timeoutMs milliseconds
// (InfiniteWait: no limit; 0: just look). Several set at once: the lowest
// index wins, and only that event is taken. Returns the index, WaitTimeout,
// or WaitFailed (poll failed for a reason other than EINTR, or no events).
int WaitForAny(std::span<Event* const> events, int timeoutMs);
int WaitForAny(std::initializer_list<Event*> events, int timeoutMs);

// Waits for one event: true when it was set (and taken) in time.
bool WaitFor(Event& event, int timeoutMs);

// poll() that retries on EINTR with the time that is left. Returns poll's
// result (the number of ready descriptors, 0 on time-out, -1 on failure).
int PollRetry(pollfd* fds, std::size_t count, int timeoutMs);

// Milliseconds left of a time-out that started at startMs (a MonotonicMs
// value); InfiniteWait stays InfiniteWait, and the result is never negative.
int RemainingMs(long long startMs, int timeoutMs);
// A monotonic clock in milliseconds.
long long MonotonicMs();

} // namespace platform
