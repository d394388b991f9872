// The one policy for system calls: every call that can be interrupted by a
// signal is retried through RetryOnEintr (the program catches signals in
// headless mode, so any blocking call may come back with EINTR), and every
// descriptor the program opens is owned by a UniqueFd, so failure paths need
// no hand cleanup. The exceptions are descriptors handed on for good: the
// standard descriptors reopened on /dev/null and the instance lock, both
// kept for the life of the process, and a port descriptor between its open
// and its device (PortOpenResult says who owns it).
#pragma once

#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace platform {

// Only for calls that report failure as a negative result with errno; never
// for close(), whose descriptor is gone either way.
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

// Owns one descriptor and closes it once. close() is never retried: on Linux
// the descriptor is released even when it answers EINTR, and a retry could
// close a descriptor another thread has just been given.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : Fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : Fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return Fd_; }
    bool Valid() const { return Fd_ >= 0; }
    // Gives up ownership without closing.
    int Release() { return std::exchange(Fd_, -1); }
    // Closes now and answers close()'s own result, which carries late write
    // errors (network file systems); 0 when nothing was open. The
    // descriptor is gone either way.
    int Close() {
        const int fd = Release();
        return fd >= 0 ? ::close(fd) : 0;
    }
    void Reset(int fd = -1) {
        if (Fd_ >= 0)
            ::close(Fd_);
        Fd_ = fd;
    }

private:
    int Fd_ = -1;
};

} // namespace platform
