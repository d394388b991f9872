// The cost of one upload request over loopback: the program's fetcher (one
// for the run, as the upload keeps it) against a bare QNetworkAccessManager
// GET with Qt's defaults, both against the same local server that answers
// at once. The two are interleaved so that drift in machine load hits both
// alike.
//
// Usage: bench_upload [sends]   (default 1000 of each)
#include "net/uHTML.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
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

bool Await(UrlFetcher& fetcher, const std::string& url) {
    QEventLoop loop;
    bool ok = false;
    fetcher.Start(url, [&](const FetchResult& r) {
        ok = r.Ok && r.Text == "OK";
        loop.quit();
    });
    loop.exec();
    return ok;
}

bool PlainQtGet(QNetworkAccessManager& manager, const std::string& url) {
    QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(QString::fromStdString(url))));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const bool ok = reply->error() == QNetworkReply::NoError && reply->readAll() == "OK";
    reply->deleteLater();
    return ok;
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
    QCoreApplication app(argc, argv);
    const int sends = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    unsetenv("http_proxy");
    unsetenv("all_proxy");
    unsetenv("ALL_PROXY");

    httplib::Server server;
    // Head and body in two writes: without this, Nagle's algorithm holds
    // the body until the client's delayed acknowledgement (40 ms) on a kept
    // connection.
    server.set_tcp_nodelay(true);
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
    const std::unique_ptr<UrlFetcher> fetcher = NewUrlFetcher();
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    int failures = 0;
    for (int i = 0; i < 50; ++i) { // warm-up: server threads, caches, connections
        failures += Await(*fetcher, url) ? 0 : 1;
        failures += PlainQtGet(manager, url) ? 0 : 1;
    }

    std::vector<double> fetch, plain;
    fetch.reserve(sends);
    plain.reserve(sends);
    for (int i = 0; i < sends; ++i) {
        auto t0 = Clock::now();
        failures += Await(*fetcher, url) ? 0 : 1;
        auto t1 = Clock::now();
        failures += PlainQtGet(manager, url) ? 0 : 1;
        auto t2 = Clock::now();
        fetch.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        plain.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    server.stop();
    serving.join();

    const Stats f = Summarise(fetch);
    const Stats p = Summarise(plain);
    std::printf("sends of each: %d, failed requests: %d\n", sends, failures);
    std::printf("UrlFetcher    median %8.1f us   p99 %8.1f us\n", f.Median, f.P99);
    std::printf("plain Qt GET  median %8.1f us   p99 %8.1f us\n", p.Median, p.P99);
    const double ratio = f.Median / p.Median;
    std::printf("ratio of medians %.3f (goal <= 1.2: %s), ratio of p99 %.3f\n", ratio,
                ratio <= 1.2 ? "met" : "missed", f.P99 / p.P99);
    return failures == 0 ? 0 : 1;
}
