#include "platform/Event.h"

#include "platform/SysRetry.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace platform {

long long MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int RemainingMs(long long startMs, int timeoutMs) {
    if (timeoutMs < 0)
        return InfiniteWait;
    const long long left = startMs + timeoutMs - MonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

int PollRetry(pollfd* fds, std::size_t count, int timeoutMs) {
    const long long start = MonotonicMs();
    // Not RetryOnEintr: each retry waits only for the time that is left.
    int wait = timeoutMs < 0 ? -1 : timeoutMs;
    for (;;) {
        const int n = ::poll(fds, static_cast<nfds_t>(count), wait);
        if (n >= 0 || errno != EINTR)
            return n;
        wait = RemainingMs(start, timeoutMs);
    }
}

Event::Event(ResetMode mode, bool initiallySet)
    : Fd_(::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)), Mode_(mode) {
    if (!Fd_.Valid())
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

Event::~Event() = default;

void Event::Set() {
    const std::uint64_t one = 1;
    // The counter only ever matters as zero/non-zero, so it cannot overflow
    // in practice; EAGAIN (counter at its maximum) means "set" anyway.
    RetryOnEintr([&] { return ::write(Fd_.Get(), &one, sizeof one); });
}

void Event::Reset() {
    std::uint64_t value = 0;
    RetryOnEintr([&] { return ::read(Fd_.Get(), &value, sizeof value); });
}

bool Event::IsSet() const {
    pollfd p{Fd_.Get(), POLLIN, 0};
    return PollRetry(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool Event::TryTake() {
    if (Mode_ == ResetMode::Manual)
        return IsSet();
    // Reading the counter both tests and resets it atomically, so of two
    // waiters woken by one Set exactly one gets it.
    std::uint64_t value = 0;
    return RetryOnEintr([&] { return ::read(Fd_.Get(), &value, sizeof value); }) ==
           static_cast<ssize_t>(sizeof value);
}

int WaitForAny(std::span<Event* const> events, int timeoutMs) {
    if (events.empty())
        return WaitFailed;
    std::vector<pollfd> fds(events.size());
    const long long start = MonotonicMs();
    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i)
            fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
        const int n = PollRetry(fds.data(), fds.size(), RemainingMs(start, timeoutMs));
        if (n < 0)
            return WaitFailed;
        if (n == 0)
            return WaitTimeout;
        const int taken = TakeInWaitOrder(events, fds.data(), events.size(), [] { return false; });
        if (taken >= 0)
            return taken;
        // Every ready auto-reset event was taken by another waiter first:
        // wait again for what is left of the time.
        if (RemainingMs(start, timeoutMs) == 0)
            return WaitTimeout;
    }
}

int WaitForAny(std::initializer_list<Event*> events, int timeoutMs) {
    return WaitForAny(std::span<Event* const>(events.begin(), events.size()), timeoutMs);
}

bool WaitFor(Event& event, int timeoutMs) {
    Event* one[] = {&event};
    return WaitForAny(one, timeoutMs) == 0;
}

} // namespace platform
