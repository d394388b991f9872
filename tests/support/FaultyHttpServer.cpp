#include "support/FaultyHttpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Waits up to 50 ms for fd to be ready, so that the stop flag is seen soon.
bool Ready(int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, 50) > 0;
}

} // namespace

FaultyHttpServer::FaultyHttpServer(Mode mode) : mode_(mode) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot set up the faulty server");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

FaultyHttpServer::~FaultyHttpServer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

void FaultyHttpServer::Run() {
    while (!stop_) {
        if (!Ready(listenFd_, POLLIN))
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        Serve(fd);
        ::close(fd);
    }
}

void FaultyHttpServer::Serve(int fd) {
    std::string request;
    char buffer[4096];
    while (!stop_ && request.find("\r\n\r\n") == std::string::npos) {
        if (!Ready(fd, POLLIN))
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    if (stop_)
        return;
    ++requests_;
    switch (mode_.load()) {
    case Mode::Reset: {
        const linger hard{1, 0}; // close() then sends RST instead of FIN
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        return;
    }
    case Mode::StallBody:
        WriteForever(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst part", "");
        return;
    case Mode::FloodBody:
        WriteForever(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n",
                     std::string(65536, 'x'));
        return;
    case Mode::FloodHeaders:
        WriteForever(fd, "HTTP/1.1 200 OK\r\n", "X-Pad: " + std::string(1000, 'y') + "\r\n");
        return;
    case Mode::FloodHeaderLine:
        WriteForever(fd, "HTTP/1.1 200 OK\r\nX-Pad: ", std::string(65536, 'y'));
        return;
    case Mode::LongLocation:
        WriteForever(
            fd, "HTTP/1.1 301 Moved\r\nLocation: /" + std::string(8 << 20, 'l') + "\r\n\r\n", "");
        return;
    case Mode::GarbageChunk:
    case Mode::HugeChunk: {
        const bool garbage = mode_.load() == Mode::GarbageChunk;
        WriteForever(fd,
                     std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") +
                         (garbage ? "zzzz" : "ffffffffffffffff") + "\r\nOK\r\n0\r\n\r\n",
                     "");
        return;
    }
    case Mode::NotHttp:
        WriteForever(fd, "SSH-2.0-OpenSSH_9.2\r\n", "");
        return;
    }
}

void FaultyHttpServer::WriteForever(int fd, const std::string& head, const std::string& piece) {
    std::string pending = head;
    while (!stop_) {
        if (pending.empty()) {
            if (piece.empty()) { // stall: wait until the client gives up
                char c;
                if (Ready(fd, POLLIN) && ::recv(fd, &c, 1, MSG_DONTWAIT) == 0)
                    return;
                continue;
            }
            pending = piece;
        }
        if (!Ready(fd, POLLOUT))
            continue;
        const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN)
            return; // the client went away
        if (n > 0)
            pending.erase(0, static_cast<std::size_t>(n));
    }
}
