// A disk that is full after `bytes` bytes of any file this process writes,
// until the object goes: the file size limit is lowered and SIGXFSZ ignored,
// so writes past it fail with EFBIG. Needs no privileges. Main thread.
#pragma once

#include <csignal>
#include <sys/resource.h>

class FullDisk {
public:
    explicit FullDisk(rlim_t bytes) : Old_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &Saved_);
        const rlimit lowered{bytes, Saved_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FullDisk() {
        ::setrlimit(RLIMIT_FSIZE, &Saved_);
        std::signal(SIGXFSZ, Old_);
    }

private:
    void (*Old_)(int);
    rlimit Saved_{};
};
