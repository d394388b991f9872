#include "platform/ThreadPriority.h"

#include <array>
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

int PriorityToNice(TThreadPriority priority) {
    static constexpr std::array<int, 7> nice = {19, 10, 5, 0, -5, -10, -15};
    return priority < nice.size() ? nice[priority] : 0;
}

bool ApplyThreadPriority(TThreadPriority priority) {
    const int want = PriorityToNice(priority);
    // On Linux PRIO_PROCESS with a thread id addresses that one thread.
    const auto tid = static_cast<id_t>(gettid());
    int rc;
    do {
        rc = setpriority(PRIO_PROCESS, tid, want);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return true;
    // EACCES/EPERM: a raise without the privilege to do so. The thread keeps
    // its priority; the port works the same, only less promptly under load.
    return false;
}

} // namespace platform
