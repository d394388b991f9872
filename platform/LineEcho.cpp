#include "platform/LineEcho.h"

#include "platform/SysRetry.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace platform {

struct LineEcho::State {
    int Fd = -1;
    std::size_t MaxQueued = 0;
    std::mutex Mutex;
    std::condition_variable Changed;
    std::deque<QByteArray> Queue;
    std::size_t QueuedBytes = 0;
    std::size_t Dropped = 0;
    bool Writing = false; // a batch taken off the queue is being written
    bool Stop = false;

    // Under Mutex: the count of dropped lines goes into the queue.
    void QueueDroppedNotice() {
        if (Dropped == 0)
            return;
        Queue.push_back(QByteArray::number(static_cast<qulonglong>(Dropped)) +
                        " lines dropped: standard output was not being read\n");
        Dropped = 0;
    }

    // The writer thread: blocking writes are fine here.
    void Run() {
        std::unique_lock lock(Mutex);
        for (;;) {
            Changed.wait(lock, [this] { return Stop || !Queue.empty(); });
            if (Queue.empty())
                return;
            QByteArray batch;
            while (!Queue.empty()) {
                batch += Queue.front();
                Queue.pop_front();
            }
            QueuedBytes = 0;
            Writing = true;
            lock.unlock();
            qsizetype done = 0;
            while (done < batch.size()) {
                const ssize_t n = RetryOnEintr([&] {
                    return ::write(Fd, batch.constData() + done,
                                   static_cast<size_t>(batch.size() - done));
                });
                if (n <= 0)
                    break; // closed or broken: these lines cannot go anywhere
                done += n;
            }
            lock.lock();
            Writing = false;
            Changed.notify_all();
        }
    }
};

LineEcho::LineEcho(int fd, std::size_t maxQueuedBytes) : State_(std::make_shared<State>()) {
    State_->Fd = fd;
    State_->MaxQueued = maxQueuedBytes;
    std::thread([state = State_] {
        pthread_setname_np(pthread_self(), "kelvox-echo");
        state->Run();
    }).detach();
}

LineEcho::~LineEcho() {
    Flush(FlushLimit);
    std::lock_guard lock(State_->Mutex);
    State_->Stop = true;
    State_->Changed.notify_all();
}

void LineEcho::Write(const QByteArray& line) {
    State& s = *State_;
    std::lock_guard lock(s.Mutex);
    const std::size_t size = static_cast<std::size_t>(line.size()) + 1;
    if (s.QueuedBytes + size > s.MaxQueued) {
        ++s.Dropped;
        return;
    }
    s.QueueDroppedNotice();
    s.Queue.push_back(line + '\n');
    s.QueuedBytes += size;
    s.Changed.notify_all();
}

bool LineEcho::Flush(std::chrono::milliseconds limit) {
    State& s = *State_;
    std::unique_lock lock(s.Mutex);
    s.QueueDroppedNotice();
    s.Changed.notify_all();
    return s.Changed.wait_for(lock, limit, [&s] { return s.Queue.empty() && !s.Writing; });
}

} // namespace platform
