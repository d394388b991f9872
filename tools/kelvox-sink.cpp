// kelvox-sink: a small local receiver for kelvox's uploads. It listens on
// 127.0.0.1, answers every GET with 200 "OK" and prints one line per request:
// the time, the path with its query, and the value of the query's last
// parameter (the uploaded temperature).
//
//   kelvox-sink [--port N] [--log FILE]
//
// --port 0 picks a free port; the first line printed names the address.
// SIGINT and SIGTERM end it cleanly with exit status 0.
#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

struct Options {
    int Port = 8080;
    std::string LogFile;
};

void PrintUsage(std::FILE* to) {
    std::fputs("usage: kelvox-sink [--port N] [--log FILE]\n"
               "  --port N    port on 127.0.0.1 (default 8080, 0 = any free port)\n"
               "  --log FILE  also append every line to FILE\n",
               to);
}

std::optional<int> ParsePort(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 65535)
        return std::nullopt;
    return static_cast<int>(value);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes %XX sequences; a '+' stays a '+', since a temperature may carry a
// sign and the uploader does not form-encode.
std::string PercentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// The value of the last parameter of target's query, decoded; nullopt when
// the target has no query.
std::optional<std::string> LastQueryValue(const std::string& target) {
    const auto question = target.find('?');
    if (question == std::string::npos)
        return std::nullopt;
    std::string query = target.substr(question + 1);
    if (const auto hash = query.find('#'); hash != std::string::npos)
        query.erase(hash);
    while (!query.empty() && query.back() == '&')
        query.pop_back();
    const auto amp = query.rfind('&');
    const std::string last = amp == std::string::npos ? query : query.substr(amp + 1);
    const auto equals = last.find('=');
    return PercentDecode(equals == std::string::npos ? last : last.substr(equals + 1));
}

// Requests come from anybody on this machine: never let their bytes drive
// the terminal. Control bytes are shown as \xHH.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", byte);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

std::string TimeOfDay() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return buf;
}

class Reporter {
public:
    explicit Reporter(const std::string& logFile) {
        if (!logFile.empty()) {
            log_.open(logFile, std::ios::app | std::ios::binary);
            if (!log_)
                throw std::runtime_error("cannot open the log file " + logFile);
        }
    }
    void Line(const std::string& line) {
        std::lock_guard lock(mutex_);
        std::cout << line << std::endl;
        if (log_.is_open()) {
            log_ << line << '\n';
            log_.flush();
        }
    }

private:
    std::mutex mutex_;
    std::ofstream log_;
};

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if ((arg == "--port" || arg == "--log") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "--log") {
                options.LogFile = value;
                continue;
            }
            const auto port = ParsePort(value);
            if (!port) {
                std::fprintf(stderr, "kelvox-sink: bad port: %s\n", value);
                return 2;
            }
            options.Port = *port;
            continue;
        }
        std::fprintf(stderr, "kelvox-sink: unknown or incomplete option: %s\n", arg.c_str());
        PrintUsage(stderr);
        return 2;
    }

    // The signals are taken by sigwait on the main thread; every other
    // thread (the server's) inherits the blocked mask. An ignored signal
    // would be discarded rather than kept pending for sigwait, and a parent
    // shell may have left SIGINT ignored (background jobs): restore defaults.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::optional<Reporter> reporter;
    try {
        reporter.emplace(options.LogFile);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvox-sink: %s\n", e.what());
        return 1;
    }

    httplib::Server server;
    const auto answer = [&](const httplib::Request& req, httplib::Response& res) {
        const auto value = LastQueryValue(req.target);
        std::string line = TimeOfDay() + " " + Printable(req.target);
        line += value ? " received " + Printable(*value) : " no value";
        reporter->Line(line);
        res.set_content("OK", "text/plain");
    };
    server.Get(".*", answer);
    // The library would share the port with another listener (SO_REUSEPORT)
    // and split the requests between them; a port in use must be an error.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    int port = options.Port;
    if (port == 0) {
        port = server.bind_to_any_port("127.0.0.1");
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "kelvox-sink: cannot listen on 127.0.0.1:%d\n", options.Port);
        return 1;
    }
    bool stopping = false;
    bool failed = false;
    std::mutex stateMutex;
    std::thread serving([&] {
        server.listen_after_bind();
        std::lock_guard lock(stateMutex);
        if (!stopping) { // the server ended by itself: wake the main thread
            failed = true;
            kill(getpid(), SIGTERM);
        }
    });
    // The library's stop() does nothing until the accept loop runs; a stop
    // signal that came earlier would leave the process hanging. Announce the
    // address only once requests are served.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server.is_running() && std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(stateMutex);
            if (failed)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!server.is_running()) {
        // The accept loop never ran, so it cannot be stopped and joined.
        std::fprintf(stderr, "kelvox-sink: the server did not start\n");
        std::fflush(stdout);
        _exit(1);
    }
    reporter->Line("listening on http://127.0.0.1:" + std::to_string(port) + "/");

    int signal = 0;
    sigwait(&stopSignals, &signal);
    {
        std::lock_guard lock(stateMutex);
        stopping = true;
    }
    server.stop();
    serving.join();
    if (failed)
        std::fprintf(stderr, "kelvox-sink: the server stopped unexpectedly\n");
    return failed ? 1 : 0;
}
