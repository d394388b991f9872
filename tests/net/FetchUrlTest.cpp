// FetchUrl against a real HTTP server on 127.0.0.1, plus the pure helpers
// that decide the scheme prefix and the wire form of a URL.
#include "net/FetchUrl.h"
#include "net/LocalHttpServer.h"
#include "support/FaultyHttpServer.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

class FetchUrlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A proxy from the environment must not capture loopback requests.
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    }

    void SetUp() override {
        auto& s = server.Server();
        s.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("hello body", "text/plain");
        });
        s.Get("/empty", [](const httplib::Request&, httplib::Response& res) {
            res.status = 200;
            res.set_content("", "text/plain");
        });
        s.Get("/long", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(LongBody(), "text/plain");
        });
        s.Get("/nul", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(BodyWithNuls(), "application/octet-stream");
        });
        s.Get("/old", [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("/new", 302);
        });
        s.Get("/new", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("moved here", "text/plain");
        });
        s.Get("/bare302", [](const httplib::Request&, httplib::Response& res) {
            res.status = 302; // no Location: nothing to follow
            res.set_content("found body", "text/plain");
        });
        s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("not found page", "text/plain");
        });
        s.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content("server error page", "text/plain");
        });
        s.Get("/nocontent",
              [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
        s.Get("/to",
              [](const httplib::Request& req, httplib::Response& res) { // to itself by default
                  res.set_redirect(req.has_param("u") ? req.get_param_value("u") : "/to", 301);
              });
        s.Get(R"(/echo.*)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.target, "text/plain");
        });
        server.Start();
    }

    static std::string LongBody() {
        std::string body;
        for (int i = 0; body.size() < 10000; ++i)
            body += "line " + std::to_string(i) + "\n";
        return body;
    }

    // NULs in the first and in the second 4095-byte read.
    static std::string BodyWithNuls() {
        std::string body(5000, 'x');
        for (std::size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<char>('a' + i % 26);
        body[100] = '\0';
        body[4095 + 50] = '\0';
        return body;
    }

    LocalHttpServer server;
};

TEST_F(FetchUrlTest, SuccessfulResponsesReturnTheirBody) {
    FetchResult r = FetchUrl(server.BaseUrl() + "/hello");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Status, 200);
    EXPECT_EQ(r.Text, "hello body");

    r = FetchUrl(server.BaseUrl() + "/empty");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text, "");

    r = FetchUrl(server.BaseUrl() + "/long");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text.size(), LongBody().size());
    EXPECT_EQ(r.Text, LongBody());
}

TEST_F(FetchUrlTest, NulEndsTheTextOfItsReadOnly) {
    const std::string body = BodyWithNuls();
    const std::string expected = body.substr(0, 100) + body.substr(4095, 50);
    const FetchResult r = FetchUrl(server.BaseUrl() + "/nul");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text, expected);
}

TEST_F(FetchUrlTest, RedirectsAreFollowedAndTheFinalStatusCounts) {
    FetchResult r = FetchUrl(server.BaseUrl() + "/old");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Status, 200);
    EXPECT_EQ(r.Text, "moved here");
    const auto seen = server.Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Target, "/old");
    EXPECT_EQ(seen[1].Target, "/new");

    // A 302 that cannot be followed is still a success with its body.
    r = FetchUrl(server.BaseUrl() + "/bare302");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Status, 302);
    EXPECT_EQ(r.Text, "found body");
}

TEST_F(FetchUrlTest, OtherStatusesGiveTheStatusTextWithoutTheBody) {
    FetchResult r = FetchUrl(server.BaseUrl() + "/missing");
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Status, 404);
    EXPECT_EQ(r.Text, "Status:404");

    r = FetchUrl(server.BaseUrl() + "/broken");
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Text, "Status:500");

    // Only 200 and 302 count: another 2xx is a failure too.
    r = FetchUrl(server.BaseUrl() + "/nocontent");
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Text, "Status:204");

    // No handler at all: the server's own 404.
    r = FetchUrl(server.BaseUrl() + "/nowhere");
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Text, "Status:404");
}

TEST_F(FetchUrlTest, NoResponseGivesAnEmptyStatus) {
    const FetchResult refused = FetchUrl("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/");
    EXPECT_FALSE(refused.Ok);
    EXPECT_EQ(refused.Status, 0);
    EXPECT_EQ(refused.Text, "Status:");

    // A server that accepts but never answers: the whole-request time-out
    // bounds the call.
    SilentListener silent;
    FetchOptions options;
    options.ConnectTimeout = 2s;
    options.TotalTimeout = 1s;
    const auto start = std::chrono::steady_clock::now();
    const FetchResult hung =
        FetchUrl("http://127.0.0.1:" + std::to_string(silent.Port()) + "/", options);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(hung.Ok);
    EXPECT_EQ(hung.Text, "Status:");
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 15s);
}

// Servers that reset, stall mid-body or flood: each request ends within the
// time-out with a failure, and a body flood costs no memory beyond the part
// that is kept. Headers are capped: a flood of them ends the request at
// once, and so do malformed answers, each with its cause; the next request
// is served as usual.
TEST_F(FetchUrlTest, MisbehavingServersEndInBoundedTimeAndMemory) {
    FetchOptions options;
    options.ConnectTimeout = 2s;
    options.TotalTimeout = 3s;
    const std::unique_ptr<UrlFetcher> fetcher = NewUrlFetcher(options);
    FaultyHttpServer faulty(FaultyHttpServer::Mode::Reset);
    auto fetch = [&](FaultyHttpServer::Mode mode, std::chrono::steady_clock::duration& took) {
        faulty.SetMode(mode);
        const auto start = std::chrono::steady_clock::now();
        FetchResult r;
        QEventLoop loop;
        fetcher->Start(faulty.BaseUrl() + "/t.php?t=21,5", [&](const FetchResult& result) {
            r = result;
            loop.quit();
        });
        loop.exec();
        took = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(r.Ok);
        EXPECT_FALSE(r.Error.empty());
        return r;
    };
    std::chrono::steady_clock::duration took{};
    EXPECT_EQ(fetch(FaultyHttpServer::Mode::Reset, took).Error, "connection closed by the server");
    EXPECT_LT(took, 2s);

    EXPECT_EQ(fetch(FaultyHttpServer::Mode::StallBody, took).Error, "timed out");
    EXPECT_GE(took, 2900ms);

    // A body without end is read (and dropped past its first 64 KiB) until
    // the time limit.
    const FetchResult flood = fetch(FaultyHttpServer::Mode::FloodBody, took);
    EXPECT_EQ(flood.Error, "timed out");
    EXPECT_LE(flood.Text.size(), 64u * 1024);
    EXPECT_GE(took, 2900ms);

    for (const auto mode :
         {FaultyHttpServer::Mode::FloodHeaders, FaultyHttpServer::Mode::FloodHeaderLine,
          FaultyHttpServer::Mode::LongLocation}) {
        EXPECT_EQ(fetch(mode, took).Error, "headers too large");
        EXPECT_LT(took, 2s);
    }
    EXPECT_EQ(fetch(FaultyHttpServer::Mode::NotHttp, took).Error, "not an HTTP answer");
    EXPECT_TRUE(fetch(FaultyHttpServer::Mode::GarbageChunk, took).Error.starts_with("malformed"));
    EXPECT_TRUE(fetch(FaultyHttpServer::Mode::HugeChunk, took).Error.starts_with("malformed"));
    EXPECT_EQ(faulty.Requests(), 9);
    EXPECT_TRUE(FetchUrl(server.BaseUrl() + "/hello").Ok);
}

// A POST carries its headers and body; only a 2xx is a success, and a
// refused answer's body comes back for its cause.
TEST_F(FetchUrlTest, PostSendsHeadersAndBodyAndReturnsARefusalsBody) {
    server.Server().Post("/write", [](const httplib::Request& req, httplib::Response& res) {
        res.status = req.body.starts_with("t ") ? 204 : 400;
        res.set_content(res.status == 400 ? "bad line: " + req.body : "", "text/plain");
    });
    const auto post = [&](const std::string& body) {
        FetchRequest request;
        request.Url = server.BaseUrl() + "/write";
        request.Method = "POST";
        request.Headers = {"Authorization: Token s3cret", "Content-Type: text/plain"};
        request.Body = body;
        return FetchUrl(request);
    };
    FetchResult r = post("t value=21.5");
    EXPECT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.Status, 204);
    r = post("garbage");
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, "HTTP 400");
    EXPECT_EQ(r.Body, "bad line: garbage");
    const auto seen = server.Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].Method, "POST");
    EXPECT_EQ(seen[1].Authorization, "Token s3cret");
}

TEST_F(FetchUrlTest, RequestCarriesAgentAndNoCacheHeaders) {
    ASSERT_TRUE(FetchUrl(server.BaseUrl() + "/hello").Ok);
    const auto seen = server.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].UserAgent, "InetURL:/1.0");
    EXPECT_EQ(seen[0].CacheControl, "no-cache");
    EXPECT_EQ(seen[0].Pragma, "no-cache");
}

TEST_F(FetchUrlTest, UnsafeBytesArePercentEncodedOnTheWire) {
    const std::string url = server.BaseUrl() + "/echo?t=25 6&n=\xC3\xA9";
    const std::string copy = url;
    const FetchResult r = FetchUrl(url);
    ASSERT_TRUE(r.Ok) << r.Text;
    EXPECT_EQ(r.Text, "/echo?t=25%206&n=%C3%A9");
    EXPECT_EQ(url, copy);
}

TEST_F(FetchUrlTest, SchemeIsAddedOnlyWhereMissing) {
    // No scheme: "http://" goes in front.
    FetchResult r = FetchUrl(server.HostPort() + "/echo?a=1");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text, "/echo?a=1");

    // A capitalised scheme is recognised, not prefixed a second time.
    r = FetchUrl("HTTP://" + server.HostPort() + "/echo?a=2");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text, "/echo?a=2");

    // "http://" inside the query counts: the URL goes out as it is, and the
    // client reads a URL without a scheme as plain HTTP.
    r = FetchUrl(server.HostPort() + "/echo?u=http://x");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text, "/echo?u=http://x");
}

// A private authority is refused with its cause until the environment names it.
TEST_F(FetchUrlTest, APrivateAuthorityIsTrustedThroughTheEnvironment) {
    QTemporaryDir dir;
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ";
    ASSERT_EQ(std::system(("cd " + dir.path().toStdString() + " && openssl req -x509 -subj /CN=ca" +
                           key + "ca.key -out ca.pem && openssl req -x509 -subj /CN=h -CA ca.pem " +
                           "-CAkey ca.key -addext subjectAltName=IP:127.0.0.1 -out c.pem" + key +
                           "k.pem 2>/dev/null")
                              .c_str()),
              0);
    httplib::SSLServer tls(dir.filePath("c.pem").toUtf8(), dir.filePath("k.pem").toUtf8());
    const std::string url =
        "https://127.0.0.1:" + std::to_string(tls.bind_to_any_port("127.0.0.1"));
    std::thread serving([&] { tls.listen_after_bind(); });
    unsetenv("CURL_CA_BUNDLE");
    EXPECT_EQ(FetchUrl(url).Error, "TLS error: certificate not trusted");
    EXPECT_EQ(FetchUrl(server.BaseUrl() + "/to?u=" + url).Error,
              "TLS error: certificate not trusted after redirect");
    setenv("SSL_CERT_FILE", dir.filePath("ca.pem").toUtf8(), 1);
    EXPECT_EQ(FetchUrl(url).Error, "HTTP 404"); // an answer through TLS
    tls.stop();
    serving.join();
}

TEST_F(FetchUrlTest, RedirectAndProxyFailuresNameTheirCause) {
    EXPECT_EQ(FetchUrl(server.BaseUrl() + "/to").Error, "redirect loop");
    EXPECT_EQ(FetchUrl(server.BaseUrl() + "/to?u=ftp://127.0.0.1/").Error,
              "redirect to a refused scheme");
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(ClosedPort())).c_str(), 1);
    setenv("no_proxy", "localhost", 1);
    EXPECT_EQ(FetchUrl(server.BaseUrl() + "/hello").Error, "proxy connection refused");
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    unsetenv("http_proxy");
}

TEST(UrlScheme, PrefixDecision) {
    EXPECT_TRUE(NeedsHttpPrefix("example.com/t.php?t="));
    EXPECT_TRUE(NeedsHttpPrefix("ftp://example.com/"));
    EXPECT_TRUE(NeedsHttpPrefix(""));
    EXPECT_TRUE(NeedsHttpPrefix("example.com/?https://x")); // https only counts at the start
    EXPECT_FALSE(NeedsHttpPrefix("http://example.com/"));
    EXPECT_FALSE(NeedsHttpPrefix("HtTp://example.com/"));
    EXPECT_FALSE(NeedsHttpPrefix("https://example.com/"));
    EXPECT_FALSE(NeedsHttpPrefix("HTTPS://example.com/"));
    EXPECT_FALSE(NeedsHttpPrefix("example.com/?u=http://x"));
}

TEST(UrlScheme, SecureUrlIsNotTurnedIntoPlainHttp) {
    EXPECT_EQ(UrlWithScheme("https://example.com/t?t=25,6"), "https://example.com/t?t=25,6");
    EXPECT_EQ(UrlWithScheme("example.com/t?t=25,6"), "http://example.com/t?t=25,6");
    EXPECT_EQ(UrlWithScheme("Http://Example.com/"), "Http://Example.com/");
}

TEST(UrlScheme, WireEncodingTouchesOnlyUnsafeBytes) {
    EXPECT_EQ(EncodeUrlForWire("http://h/p?a=b c"), "http://h/p?a=b%20c");
    EXPECT_EQ(EncodeUrlForWire(std::string("x\x01\x1F\x7F\xC3\xA9", 6)), "x%01%1F%7F%C3%A9");
    // Already encoded text and the ordinary URL characters pass unchanged.
    const std::string plain = "https://u:p@h:8080/a/b.php?x=25,6&y=%20#frag~!$'()*+;";
    EXPECT_EQ(EncodeUrlForWire(plain), plain);
}

} // namespace
