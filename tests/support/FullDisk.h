// A disk that is full after `bytes` more bytes of any file this process
// writes: the file size limit is lowered (and SIGXFSZ ignored, so writes past
// it fail with EFBIG instead of killing the test) until the object goes.
// Works without privileges and in CI. Main thread; one at a time.
#pragma once

#include <csignal>
#include <sys/resource.h>

class FullDisk {
public:
    explicit FullDisk(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &Saved_);
        OldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = Saved_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FullDisk() {
        ::setrlimit(RLIMIT_FSIZE, &Saved_);
        std::signal(SIGXFSZ, OldHandler_);
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

private:
    rlimit Saved_{};
    void (*OldHandler_)(int) = nullptr;
};
