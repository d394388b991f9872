// A real HTTP server on 127.0.0.1 for tests: binds an ephemeral port at
// construction, serves on its own thread after Start(), and records every
// request it receives before answering it, so a test that has its response
// in hand also finds the request recorded.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct SeenRequest {
    std::string Target; // path and query exactly as they came on the request line
    std::string UserAgent;
    std::string CacheControl;
    std::string Pragma;
    std::string Method;
    std::string Authorization;
};

class LocalHttpServer {
public:
    LocalHttpServer() {
        // Not the library's SO_REUSEPORT: two tests must never share a port.
        server_.set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            throw std::runtime_error("cannot bind a loopback port");
        server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            Record(req);
            return httplib::Server::HandlerResponse::Unhandled;
        });
    }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;
    ~LocalHttpServer() {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }

    // Register handlers on this before Start().
    httplib::Server& Server() { return server_; }

    // Returns once the server is accepting: a stop() that came earlier would
    // be lost and leave the destructor waiting for ever.
    void Start() {
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!server_.is_running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!server_.is_running())
            throw std::runtime_error("the loopback server did not start");
    }

    int Port() const { return port_; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string BaseUrl() const { return "http://" + HostPort(); }

    std::vector<SeenRequest> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    // Waits until at least count requests have arrived or the limit passed.
    bool WaitForRequests(std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
    }

private:
    void Record(const httplib::Request& req) {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back({req.target, req.get_header_value("User-Agent"),
                                 req.get_header_value("Cache-Control"),
                                 req.get_header_value("Pragma"), req.method,
                                 req.get_header_value("Authorization")});
        }
        arrived_.notify_all();
    }

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<SeenRequest> requests_;
};
