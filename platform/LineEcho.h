// Lines echoed to a descriptor that nobody may be reading (a full pipe):
// Write() only queues them, and a thread of the echo's own does the blocking
// writes, so the caller never waits. While the queue holds its limit further
// lines are dropped and counted; once there is room again a line saying how
// many were dropped goes out where they would have been.
// Write() from one thread at a time (the main thread in the program).
#pragma once

#include <QByteArray>
#include <chrono>
#include <memory>

namespace platform {

class LineEcho {
public:
    LineEcho(int fd, std::size_t maxQueuedBytes);
    // Waits up to FlushLimit for the queued lines to go out, then leaves a
    // writer that is still blocked behind (it keeps its own state alive).
    ~LineEcho();
    LineEcho(const LineEcho&) = delete;
    LineEcho& operator=(const LineEcho&) = delete;

    // Queues line and a '\n'.
    void Write(const QByteArray& line);
    // Waits until the queue is empty or limit has passed; true when empty.
    bool Flush(std::chrono::milliseconds limit);

    static constexpr std::chrono::milliseconds FlushLimit{1000};

private:
    struct State;
    std::shared_ptr<State> State_;
};

} // namespace platform
