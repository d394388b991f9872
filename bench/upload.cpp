// The cost of one upload request over loopback: FetchUrl against a bare
// libcurl GET (one easy handle per request, body collected into a string),
// both against the same local server that answers at once. The two are
// interleaved so that drift in machine load hits both alike.
//
// Usage: bench_upload [sends]   (default 1000 of each)
#include "net/uHTML.h"

#include <curl/curl.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

bool PlainCurlGet(const std::string& url) {
    CURL* easy = curl_easy_init();
    if (!easy)
        return false;
    std::string body;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    const CURLcode code = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(easy);
    return code == CURLE_OK && status == 200 && body == "OK";
}

struct Stats {
    double Median;
    double P99;
};

Stats Summarise(std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) {
        const auto index = static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1));
        return micros[index];
    };
    return {at(0.5), at(0.99)};
}

} // namespace

int main(int argc, char** argv) {
    const int sends = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
    curl_global_init(CURL_GLOBAL_DEFAULT);

    httplib::Server server;
    server.Get(R"(/t\.php)", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("OK", "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        std::fprintf(stderr, "cannot bind a loopback port\n");
        return 1;
    }
    std::thread serving([&] { server.listen_after_bind(); });

    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/t.php?t=25.6";
    int failures = 0;
    for (int i = 0; i < 50; ++i) { // warm-up: server threads, caches, TIME_WAIT reuse
        failures += FetchUrl(url).Ok ? 0 : 1;
        failures += PlainCurlGet(url) ? 0 : 1;
    }

    std::vector<double> fetch, plain;
    fetch.reserve(sends);
    plain.reserve(sends);
    for (int i = 0; i < sends; ++i) {
        auto t0 = Clock::now();
        failures += FetchUrl(url).Ok ? 0 : 1;
        auto t1 = Clock::now();
        failures += PlainCurlGet(url) ? 0 : 1;
        auto t2 = Clock::now();
        fetch.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        plain.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    server.stop();
    serving.join();

    const Stats f = Summarise(fetch);
    const Stats p = Summarise(plain);
    std::printf("sends of each: %d, failed requests: %d\n", sends, failures);
    std::printf("FetchUrl      median %8.1f us   p99 %8.1f us\n", f.Median, f.P99);
    std::printf("plain libcurl median %8.1f us   p99 %8.1f us\n", p.Median, p.P99);
    const double ratio = f.Median / p.Median;
    std::printf("ratio of medians %.3f (goal <= 1.2: %s), ratio of p99 %.3f\n", ratio,
                ratio <= 1.2 ? "met" : "missed", f.P99 / p.P99);
    return failures == 0 ? 0 : 1;
}
