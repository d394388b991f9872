#include "platform/ThreadPriority.h"

#include "platform/SysRetry.h"

#include <array>
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

int PriorityToNice(TThreadPriority priority) {
    static constexpr std::array<int, 7> nice = {19, 10, 5, 0, -5, -10, -15};
    return priority < nice.size() ? nice[priority] : 0;
}

bool SetThreadPriority(pid_t tid, TThreadPriority priority) {
    if (tid <= 0)
        return false;
    // On Linux PRIO_PROCESS with a thread id addresses that one thread.
    // EACCES/EPERM: a raise without the privilege to do so. The thread keeps
    // its priority; the port works the same, only less promptly under load.
    return RetryOnEintr([&] {
               return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), PriorityToNice(priority));
           }) == 0;
}

} // namespace platform
