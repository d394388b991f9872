#include "net/uHTML.h"

#include <QByteArray>
#include <QObject>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The body is handed over in reads of at most this many bytes, and each read
// is taken as a NUL-terminated text: a NUL ends that read's text early while
// the next read starts afresh. Callers have always seen bodies this way.
constexpr std::size_t kReadSize = 4095;

// Only this much of a body is kept (nobody looks at more); the rest is still
// read to its end, within the request's time limits, and thrown away.
constexpr std::size_t kKeptBody = 64 * 1024;

// All header lines of one answer together, interim answers included: far
// more than any real server sends, and all a flood may cost.
constexpr std::size_t kMaxHeaders = 64 * 1024;

constexpr const char* kUserAgent = "InetURL:/1.0";

constexpr int kMaxRedirects = 20;

// A GET takes 200 or 302 as it always has; a POST only a 2xx.
bool IsAcceptedStatus(long status, bool post) {
    return post ? status >= 200 && status <= 299 : status == 200 || status == 302;
}

// The statuses whose Location is followed. Another 3xx, or one of these
// without a Location, is the final answer.
bool IsFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Headers that carry credentials: not sent on to another origin after a
// redirect.
bool IsCredentialHeader(const std::string& line) {
    const std::string name =
        QByteArray::fromStdString(line.substr(0, line.find(':'))).trimmed().toLower().toStdString();
    return name == "authorization" || name == "proxy-authorization" || name == "cookie";
}

// The first of the variables that is set and not empty, or null.
const char* FromEnvironment(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return nullptr;
}

// An IPv4 or IPv6 address as 16 bytes (IPv4 in the first 4) and its bit
// count; nullopt for anything else.
std::optional<std::pair<std::array<unsigned char, 16>, int>> ParseAddress(const QString& text) {
    std::array<unsigned char, 16> bytes{};
    const QByteArray ascii = text.toLatin1();
    if (::inet_pton(AF_INET, ascii.constData(), bytes.data()) == 1)
        return std::make_pair(bytes, 32);
    if (::inet_pton(AF_INET6, ascii.constData(), bytes.data()) == 1)
        return std::make_pair(bytes, 128);
    return std::nullopt;
}

// True when the first `bits` bits of the two addresses agree.
bool SamePrefix(const std::array<unsigned char, 16>& a, const std::array<unsigned char, 16>& b,
                int bits) {
    for (int i = 0; i < bits; ++i) {
        const int mask = 0x80 >> (i % 8);
        if ((a[i / 8] & mask) != (b[i / 8] & mask))
            return false;
    }
    return true;
}

// True when host is one of the hosts no_proxy lists (separated by commas or
// blanks): "*" is every host, a name covers its subdomains, an address may
// be a range ("10.0.0.0/8").
bool ReachedDirectly(const QString& host, const char* list) {
    if (!list)
        return false;
    const QString name = host.toLower();
    const auto address = ParseAddress(name);
    const QStringList entries = QString::fromLocal8Bit(list).split(
        QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
    for (QString entry : entries) {
        if (entry == QLatin1String("*"))
            return true;
        entry = entry.toLower();
        if (entry.startsWith(QLatin1Char('[')) && entry.endsWith(QLatin1Char(']')))
            entry = entry.mid(1, entry.size() - 2);
        while (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        if (address) {
            const qsizetype slash = entry.indexOf(QLatin1Char('/'));
            const auto net = ParseAddress(slash < 0 ? entry : entry.left(slash));
            if (!net || net->second != address->second)
                continue;
            bool valid = true;
            const int bits = slash < 0 ? net->second : entry.mid(slash + 1).toInt(&valid);
            if (valid && bits >= 0 && bits <= net->second &&
                SamePrefix(address->first, net->first, bits))
                return true;
        } else if (!entry.isEmpty() && (name == entry || name.endsWith(QLatin1Char('.') + entry))) {
            return true;
        }
    }
    return false;
}

// The proxy for url, read from the environment at each request as the curl
// tool reads it: http_proxy (lower case only: a CGI program's HTTP_PROXY
// comes from a request header) for http, https_proxy or HTTPS_PROXY for
// https, all_proxy or ALL_PROXY for both, unless no_proxy lists the host.
// An HTTP or SOCKS5 proxy, port 1080 when none is given; empty for none.
// Sets problem for a proxy that cannot be used (its user and password left
// out of the text).
std::string ProxyFor(const QUrl& url, std::string* problem) {
    const bool secure = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    const char* value =
        secure ? FromEnvironment({"https_proxy", "HTTPS_PROXY"}) : FromEnvironment({"http_proxy"});
    if (!value)
        value = FromEnvironment({"all_proxy", "ALL_PROXY"});
    if (!value || ReachedDirectly(url.host(), FromEnvironment({"no_proxy", "NO_PROXY"})))
        return {};
    QString text = QString::fromLocal8Bit(value).trimmed();
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("http://"));
    QUrl at(text);
    const QString kind = at.scheme().toLower();
    if ((kind != QLatin1String("http") && kind != QLatin1String("socks5") &&
         kind != QLatin1String("socks5h")) ||
        at.host().isEmpty()) {
        *problem = "proxy not usable: " + at.toString(QUrl::RemoveUserInfo).toStdString();
        return {};
    }
    if (at.port() < 0)
        at.setPort(1080);
    return at.toString(QUrl::FullyEncoded).toStdString();
}

// The trusted certificate authorities the environment names, taken as the
// curl tool takes them: CURL_CA_BUNDLE names a bundle file; without it
// SSL_CERT_DIR names directories (separated by colons) of certificates and
// SSL_CERT_FILE a bundle file. Neither: the system's store serves.
struct Authorities {
    const char* Bundle = nullptr;
    const char* Dirs = nullptr;
};

Authorities NamedAuthorities() {
    if (const char* bundle = FromEnvironment({"CURL_CA_BUNDLE"}))
        return {bundle, nullptr};
    return {FromEnvironment({"SSL_CERT_FILE"}), FromEnvironment({"SSL_CERT_DIR"})};
}

// Why the server's certificate was refused, from the TLS library's verdict
// on the chain; a chain that passed failed on the host name.
std::string CertificateCause(long verdict) {
    switch (verdict) {
    case 0:
        return "certificate not for this host";
    case 9: // X509_V_ERR_CERT_NOT_YET_VALID
        return "certificate not yet valid";
    case 10: // X509_V_ERR_CERT_HAS_EXPIRED
        return "certificate expired";
    case 23: // X509_V_ERR_CERT_REVOKED
        return "certificate revoked";
    case 2:  // X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT
    case 18: // X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT
    case 19: // X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN
    case 20: // X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY
    case 21: // X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE
    case 27: // X509_V_ERR_CERT_UNTRUSTED
        return "certificate not trusted";
    default:
        return "certificate rejected";
    }
}

std::string LowerFirst(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    while (!text.empty() && (text.back() == '\n' || text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

struct BodySink {
    std::string Read;   // the read being filled, up to kReadSize bytes
    std::string Result; // the text of the finished reads, at most kKeptBody

    void Reset() {
        Read.clear();
        Result.clear();
        Read.reserve(kReadSize);
    }

    void Add(const char* data, std::size_t length) {
        std::size_t offset = 0;
        while (offset < length && Result.size() < kKeptBody) {
            const std::size_t take = std::min(kReadSize - Read.size(), length - offset);
            Read.append(data + offset, take);
            offset += take;
            if (Read.size() == kReadSize)
                FinishRead();
        }
    }

    void FinishRead() {
        const std::size_t room = kKeptBody - Result.size();
        Result.append(Read.data(), std::min(room, strnlen(Read.data(), Read.size())));
        Read.clear();
    }
};

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// One request at a time with libcurl's multi interface on this thread's
// event loop: curl names the sockets to watch (a QSocketNotifier each) and
// when it wants to be called back (one single-shot timer, which curl stops
// when nothing is in flight), so nothing here waits and no thread is made.
// Every answer costs bounded memory: headers are capped here, the body is
// kept up to kKeptBody and the rest dropped. Redirects are followed here,
// not by curl, so that each step's scheme is checked and a failure can tell
// that it happened after a redirect. Main thread (the creator's).
class CurlFetcher final : public QObject, public UrlFetcher {
public:
    explicit CurlFetcher(const FetchOptions& options) : Options_(options) {
        Timer_.setSingleShot(true);
        Timer_.setTimerType(Qt::PreciseTimer); // curl's deadlines, not a rhythm
        connect(&Timer_, &QTimer::timeout, this, [this] { Act(CURL_SOCKET_TIMEOUT, 0); });
        Sink_.Reset();
    }
    ~CurlFetcher() override {
        Abort();
        Multi_.reset(); // closes the kept connections (their watches go too)
    }

    using UrlFetcher::Start;
    void Start(const FetchRequest& request, Done done) override {
        Abort();
        Done_ = std::move(done);
        Redirects_ = 0;
        Deadline_ = Clock::now() + Options_.TotalTimeout;
        Post_ = PostStarted_ = request.Method == "POST";
        PostBody_ = request.Body;
        HeaderLines_.clear();
        if (!Post_ && request.Method != "GET")
            return Fail("unsupported method");
        for (const std::string& line : request.Headers) {
            // The line itself stays out of the error: it may hold a secret.
            const std::size_t colon = line.find(':');
            if (colon == 0 || colon == std::string::npos ||
                line.find_first_of("\r\n") != std::string::npos)
                return Fail("malformed request header");
            HeaderLines_.push_back(line);
        }
        std::string wire = EncodeUrlForWire(UrlWithScheme(request.Url));
        // A URL that does not begin with a scheme is plain HTTP, although
        // "http://" stands somewhere else in it.
        static const QRegularExpression schemed(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
        if (!schemed.match(QString::fromStdString(wire)).hasMatch())
            wire.insert(0, "http://");
        Request(wire);
    }

    void Abort() override {
        DropEasy();
        Done_ = nullptr;
        ++Ticket_; // a result already posted is not delivered
    }

private:
    CURLM* Multi() {
        if (!Multi_) {
            Multi_.reset(curl_multi_init());
            if (!Multi_)
                return nullptr;
            curl_multi_setopt(Multi_.get(), CURLMOPT_SOCKETFUNCTION, &CurlFetcher::OnSocket);
            curl_multi_setopt(Multi_.get(), CURLMOPT_SOCKETDATA, this);
            curl_multi_setopt(Multi_.get(), CURLMOPT_TIMERFUNCTION, &CurlFetcher::OnTimer);
            curl_multi_setopt(Multi_.get(), CURLMOPT_TIMERDATA, this);
            // One request at a time: one kept connection is all that helps.
            curl_multi_setopt(Multi_.get(), CURLMOPT_MAXCONNECTS, 1L);
        }
        return Multi_.get();
    }

    // One step: the URL asked for, or where a redirect pointed (absolute,
    // as it goes on the wire).
    void Request(const std::string& wire) {
        Status_ = 0;
        Accepted_ = Refused_ = Redirect_ = HeadersTooLarge_ = false;
        HeaderBytes_ = 0;
        Location_.clear();
        Sink_.Reset();
        RawBody_.clear();
        ErrorText_[0] = '\0';
        const QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(wire), QUrl::TolerantMode);
        const QString scheme = url.scheme().toLower();
        // Only plain and secure HTTP: a URL from the settings must not make
        // the client read local files or talk other protocols.
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
            return Fail(Redirects_ > 0 ? "redirect to a refused scheme" : "unsupported protocol",
                        /*afterRedirect=*/false);
        if (!url.isValid() || url.host().isEmpty())
            return Fail("bad URL");
        std::string problem;
        const std::string proxy = ProxyFor(url, &problem);
        if (!problem.empty())
            return Fail(problem);
        ViaProxy_ = !proxy.empty();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline_ - Clock::now());
        if (left.count() <= 0)
            return Fail("timed out");

        Easy_.reset(curl_easy_init());
        CURL* easy = Easy_.get();
        if (!easy || !Multi())
            return Fail("the HTTP client cannot be set up");
        Url_ = url.toEncoded().toStdString();
        curl_easy_setopt(easy, CURLOPT_URL, Url_.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, ErrorText_);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlFetcher::OnHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlFetcher::OnBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::min(Options_.ConnectTimeout, left).count()));
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
        // The proxy decided above, and no other: "" is none, and the
        // environment's no_proxy has been applied already.
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
        if (scheme == QLatin1String("https")) {
            // Peer and host verification stay on; only the trusted
            // authorities may be replaced.
            const Authorities named = NamedAuthorities();
            if (named.Bundle)
                curl_easy_setopt(easy, CURLOPT_CAINFO, named.Bundle);
            if (named.Dirs)
                curl_easy_setopt(easy, CURLOPT_CAPATH, named.Dirs);
        }
        curl_slist* list = nullptr;
        // The body as the server has it: nothing to unpack, no bomb. No
        // "Expect: 100-continue" wait before a POST's body.
        for (const char* line : {"Cache-Control: no-cache", "Pragma: no-cache",
                                 "Accept-Encoding: identity", "Expect:"})
            list = curl_slist_append(list, line);
        for (const std::string& line : HeaderLines_)
            list = curl_slist_append(list, line.c_str());
        HeaderList_.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
        if (Post_) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, PostBody_.data());
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(PostBody_.size()));
        }
        if (curl_multi_add_handle(Multi_.get(), easy) != CURLM_OK) {
            Easy_.reset();
            return Fail("the HTTP client cannot be set up");
        }
    }

    static int OnSocket(CURL*, curl_socket_t fd, int what, void* self, void*) {
        static_cast<CurlFetcher*>(self)->Watch(fd, what);
        return 0;
    }

    static int OnTimer(CURLM*, long ms, void* self) {
        QTimer& timer = static_cast<CurlFetcher*>(self)->Timer_;
        if (ms < 0)
            timer.stop();
        else
            timer.start(static_cast<int>(std::min(ms, 24L * 3600 * 1000)));
        return 0;
    }

    // What curl wants watched on fd. A notifier may be dropped from within
    // its own signal: it is disabled at once and deleted later.
    void Watch(curl_socket_t fd, int what) {
        const auto found = Watches_.find(fd);
        if (what == CURL_POLL_REMOVE) {
            if (found != Watches_.end()) {
                for (QSocketNotifier* n : {found->second.first, found->second.second}) {
                    n->setEnabled(false);
                    n->deleteLater();
                }
                Watches_.erase(found);
            }
            return;
        }
        auto& pair = found != Watches_.end() ? found->second : Watches_[fd];
        if (!pair.first) {
            pair.first = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            pair.second = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(pair.first, &QSocketNotifier::activated, this,
                    [this, fd] { Act(fd, CURL_CSELECT_IN); });
            connect(pair.second, &QSocketNotifier::activated, this,
                    [this, fd] { Act(fd, CURL_CSELECT_OUT); });
        }
        pair.first->setEnabled((what & CURL_POLL_IN) != 0);
        pair.second->setEnabled((what & CURL_POLL_OUT) != 0);
    }

    void Act(curl_socket_t fd, int events) {
        if (!Multi_)
            return;
        int running = 0;
        curl_multi_socket_action(Multi_.get(), fd, events, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(Multi_.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && Easy_ && message->easy_handle == Easy_.get())
                return Ended(message->data.result);
        }
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        return static_cast<CurlFetcher*>(self)->Header(data, size * count);
    }
    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        return static_cast<CurlFetcher*>(self)->Body(data, size * count);
    }

    // One header line (the status line and the blank line included).
    // Returning less than length ends the request and closes its connection.
    size_t Header(const char* data, size_t length) {
        HeaderBytes_ += length;
        if (HeaderBytes_ > kMaxHeaders) {
            HeadersTooLarge_ = true;
            return 0;
        }
        if (length > 2 || (length > 0 && data[0] != '\r' && data[0] != '\n')) {
            // Each answer's own Location (an interim one has none).
            const QByteArray line = QByteArray(data, static_cast<qsizetype>(length));
            if (line.startsWith("HTTP/"))
                Location_.clear();
            else if (line.first(std::min<qsizetype>(line.size(), 9)).toLower() == "location:")
                Location_ = line.mid(9).trimmed().toStdString();
            return length;
        }
        // The end of an answer's headers. An interim answer (100 Continue)
        // and a proxy's answer to CONNECT have no final status yet.
        long status = 0;
        curl_easy_getinfo(Easy_.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status < 200)
            return length;
        Status_ = status;
        if (IsFollowedRedirect(status) && !Location_.empty()) {
            Redirect_ = true;
        } else {
            // A refused status ends the request once its body (as far as
            // it is kept) is in.
            Refused_ = !IsAcceptedStatus(status, PostStarted_);
            Accepted_ = !Refused_;
        }
        return length;
    }

    size_t Body(const char* data, size_t length) {
        if (Redirect_)
            return 0; // the next step is what counts
        RawBody_.append(data, std::min(length, kKeptBody - RawBody_.size()));
        if (Accepted_)
            Sink_.Add(data, length);
        else if (RawBody_.size() >= kKeptBody)
            return 0; // a refusal's kept body is complete

        return length;
    }

    void Ended(CURLcode code) {
        long verdict = 0;
        curl_easy_getinfo(Easy_.get(), CURLINFO_SSL_VERIFYRESULT, &verdict);
        const std::string detail = ErrorText_[0] ? ErrorText_ : curl_easy_strerror(code);
        const QUrl here = QUrl::fromEncoded(QByteArray::fromStdString(Url_));
        DropEasy();
        if (HeadersTooLarge_)
            return Fail("headers too large");
        if (Redirect_) {
            if (++Redirects_ > kMaxRedirects)
                return Fail("redirect loop", /*afterRedirect=*/false);
            const QUrl next = here.resolved(
                QUrl::fromEncoded(QByteArray::fromStdString(Location_), QUrl::TolerantMode));
            // Credentials stay with the origin they were given for.
            if (next.scheme().toLower() != here.scheme().toLower() ||
                next.host().toLower() != here.host().toLower() || next.port(0) != here.port(0))
                std::erase_if(HeaderLines_, IsCredentialHeader);
            // As browsers do: 307 and 308 repeat the POST, the others fetch
            // the new place.
            if (Status_ != 307 && Status_ != 308)
                Post_ = false;
            return Request(next.toEncoded().toStdString());
        }
        if (Refused_)
            return Fail("HTTP " + std::to_string(Status_), /*afterRedirect=*/false);
        if (code == CURLE_OK && Accepted_) {
            FetchResult result;
            result.Ok = true;
            result.Status = Status_;
            Sink_.FinishRead();
            result.Text = std::move(Sink_.Result);
            result.Body = std::move(RawBody_);
            return Finish(std::move(result));
        }
        Fail(code == CURLE_OK ? std::string("no response") : Cause(code, verdict, detail));
    }

    // Why curl ended a request, in the words of the event log.
    std::string Cause(CURLcode code, long verdict, const std::string& detail) const {
        // Through a proxy, a connection that failed before any answer
        // failed at the proxy: the server is the proxy's business.
        const std::string proxy = ViaProxy_ && Status_ == 0 ? "proxy " : "";
        switch (code) {
        case CURLE_COULDNT_CONNECT:
            return proxy + "connection refused";
        case CURLE_COULDNT_RESOLVE_HOST:
            return proxy + "host not found";
        case CURLE_COULDNT_RESOLVE_PROXY:
            return "proxy host not found";
        case CURLE_OPERATION_TIMEDOUT:
            return "timed out";
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_ERROR:
            return "connection closed by the server";
        case CURLE_RECV_ERROR:
            // A broken chunked encoding is the answer's fault, not the
            // connection's.
            if (detail.find("chunk") != std::string::npos)
                return "malformed answer: " + LowerFirst(detail);
            return "connection closed by the server";
        case CURLE_UNSUPPORTED_PROTOCOL:
            if (detail.find("HTTP/0.9") == std::string::npos)
                return "unsupported protocol";
            [[fallthrough]];
        case CURLE_WEIRD_SERVER_REPLY:
            return "not an HTTP answer";
        case CURLE_PEER_FAILED_VERIFICATION:
            return "TLS error: " + CertificateCause(verdict);
        case CURLE_SSL_CONNECT_ERROR:
            return "TLS error: handshake failed";
        case CURLE_SSL_CACERT_BADFILE:
            return "TLS error: CA certificates cannot be read";
        case CURLE_URL_MALFORMAT:
            return "bad URL";
        case CURLE_OUT_OF_MEMORY:
            // Before the headers are complete: curl's own limit on one
            // header line (a little above ours for all of them together).
            if (Status_ == 0)
                return "headers too large";
            [[fallthrough]];
        default:
            return LowerFirst(detail);
        }
    }

    // Ends the request with cause; a body cut short is returned as far as
    // it came.
    void Fail(const std::string& cause, bool afterRedirect = true) {
        FetchResult result;
        result.Status = Status_;
        result.Body = std::move(RawBody_);
        if (Accepted_) {
            Sink_.FinishRead();
            result.Text = std::move(Sink_.Result);
        } else {
            result.Text =
                Status_ == 0 ? std::string("Status:") : "Status:" + std::to_string(Status_);
        }
        result.Error = afterRedirect && Redirects_ > 0 ? cause + " after redirect" : cause;
        Finish(std::move(result));
    }

    // The result goes to the caller through the event loop, so that done
    // never runs inside Start or inside one of curl's callbacks.
    void Finish(FetchResult result) {
        DropEasy();
        Done done = std::move(Done_);
        Done_ = nullptr;
        const quint64 ticket = ++Ticket_;
        QMetaObject::invokeMethod(
            this,
            [this, ticket, done = std::move(done), result = std::move(result)] {
                if (ticket == Ticket_ && done)
                    done(result);
            },
            Qt::QueuedConnection);
    }

    // Ends the step under way, if any: a transfer not finished closes its
    // connection, so nothing more of that answer is read.
    void DropEasy() {
        if (Easy_) {
            curl_multi_remove_handle(Multi_.get(), Easy_.get());
            Easy_.reset();
        }
        HeaderList_.reset();
    }

    FetchOptions Options_;
    std::unique_ptr<CURLM, MultiDeleter> Multi_; // made at the first request
    std::unique_ptr<CURL, EasyDeleter> Easy_;    // the step under way
    std::unique_ptr<curl_slist, ListDeleter> HeaderList_;
    std::map<curl_socket_t, std::pair<QSocketNotifier*, QSocketNotifier*>> Watches_;
    QTimer Timer_; // curl's next deadline while a request is under way
    Done Done_;
    quint64 Ticket_ = 0;
    Clock::time_point Deadline_; // of the whole request, redirects included
    int Redirects_ = 0;
    std::string Url_;                      // this step's
    std::vector<std::string> HeaderLines_; // the caller's, as sent
    std::string PostBody_;
    bool Post_ = false;        // this step is a POST
    bool PostStarted_ = false; // the request asked for was a POST
    bool ViaProxy_ = false;    // this step goes through a proxy
    long Status_ = 0;
    bool Accepted_ = false; // a status taken as success: its body is the text
    bool Refused_ = false;  // a final status that is a failure
    bool Redirect_ = false; // a redirect to follow, to Location_
    bool HeadersTooLarge_ = false;
    std::size_t HeaderBytes_ = 0;
    std::string Location_; // of the answer being read, as it came
    std::string RawBody_;  // the first kKeptBody bytes of this step's body
    BodySink Sink_;
    char ErrorText_[CURL_ERROR_SIZE] = {};
};

} // namespace

std::unique_ptr<UrlFetcher> NewUrlFetcher(const FetchOptions& Options) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return std::make_unique<CurlFetcher>(Options);
}

bool NeedsHttpPrefix(const std::string& Url) {
    std::string lower(Url);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("http://") == std::string::npos && !lower.starts_with("https://");
}

std::string UrlWithScheme(const std::string& Url) {
    return NeedsHttpPrefix(Url) ? "http://" + Url : Url;
}

std::string EncodeUrlForWire(const std::string& Url) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(Url.size());
    for (const char ch : Url) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte <= 0x20 || byte >= 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}
