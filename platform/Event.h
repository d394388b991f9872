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

#include "platform/SysRetry.h"

#include <cstddef>
#include <initializer_list>
#include <poll.h>
#include <span>

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

    // The eventfd: readable while the event is set. Only for polling.
    int Fd() const { return Fd_.Get(); }

private:
    UniqueFd Fd_;
    ResetMode Mode_;
};

// Waits until one of the events is set, at most timeoutMs milliseconds
// (InfiniteWait: no limit; 0: just look). Several set at once: the lowest
// index wins, and only that event is taken. Returns the index, WaitTimeout,
// or WaitFailed (poll failed for a reason other than EINTR, or no events).
int WaitForAny(std::span<Event* const> events, int timeoutMs);
int WaitForAny(std::initializer_list<Event*> events, int timeoutMs);

// The wait order shared by every "wait for any" that also watches a device:
// after a poll in which fds[i] watched events[i], walks the positions in
// order - the events before `deviceSlot`, the device at `deviceSlot`, the
// rest one position further on - and takes the first one ready:
// deviceReady() is asked when the device's position comes. Returns the
// position, or -1 when nothing could be taken.
template <class DeviceReady>
int TakeInWaitOrder(std::span<Event* const> events, const pollfd* fds, std::size_t deviceSlot,
                    DeviceReady&& deviceReady) {
    for (std::size_t pos = 0; pos <= events.size(); ++pos) {
        if (pos == deviceSlot) {
            if (deviceReady())
                return static_cast<int>(pos);
            continue;
        }
        const std::size_t e = pos < deviceSlot ? pos : pos - 1;
        if ((fds[e].revents & POLLIN) && events[e]->TryTake())
            return static_cast<int>(pos);
    }
    return -1;
}

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
