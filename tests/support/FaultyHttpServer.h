// An HTTP server on 127.0.0.1 that misbehaves the way servers out there do:
// it resets the connection, stalls in the middle of a response, or floods
// the client with an endless body or endless headers. It serves one
// connection at a time on its own thread; the mode may be changed at any
// time from the test's thread and counts from the next request on.
#pragma once

#include <atomic>
#include <string>
#include <thread>

class FaultyHttpServer {
public:
    enum class Mode {
        Reset,           // read the request, then close with a reset
        StallBody,       // answer 200 with part of the promised body, then wait
        FloodBody,       // answer 200 with a body that never ends
        FloodHeaders,    // answer 200 with header lines that never end
        FloodHeaderLine, // answer 200 with one header line that never ends
        LongLocation,    // answer 301 with an 8 MiB Location
        GarbageChunk,    // answer 200, chunked, with the chunk size "zzzz"
        HugeChunk,       // answer 200, chunked, with the chunk size 2^64 - 1
        NotHttp,         // answer with a line that is no HTTP status line
    };

    explicit FaultyHttpServer(Mode mode);
    ~FaultyHttpServer();
    FaultyHttpServer(const FaultyHttpServer&) = delete;
    FaultyHttpServer& operator=(const FaultyHttpServer&) = delete;

    void SetMode(Mode mode) { mode_ = mode; }
    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int Requests() const { return requests_; } // requests read in full so far

private:
    void Run();
    void Serve(int fd);
    // Writes until the client goes away or the server stops.
    void WriteForever(int fd, const std::string& head, const std::string& piece);

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<Mode> mode_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};
