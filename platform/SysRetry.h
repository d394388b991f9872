// System calls retried when a signal interrupts them. The program catches
// signals (headless mode), so any blocking call may come back with EINTR.
// Only for calls that report failure as a negative result with errno; never
// for close(), whose descriptor is gone either way.
#pragma once

#include <cerrno>
#include <sys/ioctl.h>

namespace platform {

template <class Call> auto RetryOnEintr(Call&& call) {
    decltype(call()) r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

inline int IoctlRetry(int fd, unsigned long request, void* arg) {
    return RetryOnEintr([&] { return ::ioctl(fd, request, arg); });
}

} // namespace platform
