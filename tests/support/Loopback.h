// Loopback networking helpers for tests that talk to local servers.
#pragma once

// A TCP port on 127.0.0.1 that nobody listens on: bound once to let the
// system pick it, then released, so a connection to it is refused.
int ClosedPort();

// A TCP port on 127.0.0.1 that takes connections into its backlog but never
// reads or answers: a client's request just hangs until its time limit.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};
