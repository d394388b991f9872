#include "net/uHTML.h"

#include <QDir>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace {

// The body is handed over in reads of at most this many bytes, and each read
// is taken as a NUL-terminated text: a NUL ends that read's text early while
// the next read starts afresh. Callers have always seen bodies this way.
constexpr std::size_t kReadSize = 4095;

// Only this much of a body is kept (nobody looks at more); the rest is still
// read to its end, within the request's time limits, and thrown away.
constexpr std::size_t kKeptBody = 64 * 1024;

constexpr const char* kUserAgent = "InetURL:/1.0";

constexpr int kMaxRedirects = 20;

// A GET takes 200 or 302 as it always has; a POST only a 2xx.
bool IsAcceptedStatus(long status, bool post) {
    return post ? status >= 200 && status <= 299 : status == 200 || status == 302;
}

// Headers that carry credentials: not sent on to another origin after a
// redirect.
bool IsCredentialHeader(const QByteArray& name) {
    const QByteArray lower = name.toLower();
    return lower == "authorization" || lower == "proxy-authorization" || lower == "cookie";
}

// The statuses whose Location is followed. Another 3xx, or one of these
// without a Location, is the final answer.
bool IsFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
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

// True when host is one of the hosts no_proxy lists (separated by commas or
// blanks): "*" is every host, a name covers its subdomains, an address may
// be a range ("10.0.0.0/8").
bool ReachedDirectly(const QString& host, const char* list) {
    if (!list)
        return false;
    const QString name = host.toLower();
    const QHostAddress address(name);
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
        if (!address.isNull()) {
            const auto range = QHostAddress::parseSubnet(entry);
            if ((entry.contains(QLatin1Char('/')) && !range.first.isNull() &&
                 address.isInSubnet(range)) ||
                QHostAddress(entry) == address)
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
// An HTTP or SOCKS5 proxy, port 1080 when none is given. Sets problem for a
// proxy that cannot be used.
QNetworkProxy ProxyFor(const QUrl& url, std::string* problem) {
    const bool secure = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    const char* value =
        secure ? FromEnvironment({"https_proxy", "HTTPS_PROXY"}) : FromEnvironment({"http_proxy"});
    if (!value)
        value = FromEnvironment({"all_proxy", "ALL_PROXY"});
    if (!value || ReachedDirectly(url.host(), FromEnvironment({"no_proxy", "NO_PROXY"})))
        return QNetworkProxy(QNetworkProxy::NoProxy);
    QString text = QString::fromLocal8Bit(value).trimmed();
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("http://"));
    const QUrl at(text);
    const QString kind = at.scheme().toLower();
    QNetworkProxy proxy;
    if (kind == QLatin1String("http"))
        proxy.setType(QNetworkProxy::HttpProxy);
    else if (kind == QLatin1String("socks5") || kind == QLatin1String("socks5h"))
        proxy.setType(QNetworkProxy::Socks5Proxy);
    if (proxy.type() == QNetworkProxy::DefaultProxy || at.host().isEmpty()) {
        *problem = "proxy not usable: " + text.toStdString();
        return QNetworkProxy(QNetworkProxy::NoProxy);
    }
    proxy.setHostName(at.host());
    proxy.setPort(static_cast<quint16>(at.port(1080)));
    proxy.setUser(at.userName());
    proxy.setPassword(at.password());
    return proxy;
}

// The trusted certificate authorities the environment names, taken as the
// curl tool takes them: CURL_CA_BUNDLE names a bundle file; without it
// SSL_CERT_DIR names directories (separated by colons) of certificates and
// SSL_CERT_FILE a bundle file. Nothing when none is named: the system's
// store serves. Only for https: reading certificates loads the TLS back end.
std::optional<QList<QSslCertificate>> NamedAuthorities() {
    if (const char* bundle = FromEnvironment({"CURL_CA_BUNDLE"}))
        return QSslCertificate::fromPath(QString::fromLocal8Bit(bundle));
    const char* dirs = FromEnvironment({"SSL_CERT_DIR"});
    const char* file = FromEnvironment({"SSL_CERT_FILE"});
    if (!dirs && !file)
        return std::nullopt;
    QList<QSslCertificate> found;
    if (dirs) {
        for (const QString& dir :
             QString::fromLocal8Bit(dirs).split(QLatin1Char(':'), Qt::SkipEmptyParts))
            found += QSslCertificate::fromPath(QDir(dir).filePath(QStringLiteral("*")), QSsl::Pem,
                                               QSslCertificate::PatternSyntax::Wildcard);
    }
    if (file)
        found += QSslCertificate::fromPath(QString::fromLocal8Bit(file));
    return found;
}

// Why the server's certificate was refused: the chain's fault first, as the
// TLS library checks the chain before the name.
std::string CertificateCause(const QList<QSslError>& errors) {
    const auto chain = std::find_if(errors.begin(), errors.end(), [](const QSslError& e) {
        return e.error() != QSslError::HostNameMismatch;
    });
    if (chain == errors.end())
        return errors.isEmpty() ? "certificate rejected" : "certificate not for this host";
    switch (chain->error()) {
    case QSslError::CertificateNotYetValid:
        return "certificate not yet valid";
    case QSslError::CertificateExpired:
        return "certificate expired";
    case QSslError::CertificateRevoked:
        return "certificate revoked";
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
        return "certificate not trusted";
    default:
        return "certificate rejected";
    }
}

// The cause of a request that ended without an accepted response.
std::string ErrorCause(const QNetworkReply& reply, const std::string& tlsCause) {
    switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError:
        return "connection refused";
    case QNetworkReply::HostNotFoundError:
        return "host not found";
    case QNetworkReply::TimeoutError:
        return "timed out";
    case QNetworkReply::RemoteHostClosedError:
        return "connection closed by the server";
    case QNetworkReply::SslHandshakeFailedError:
        return "TLS error: " + (tlsCause.empty() ? std::string("handshake failed") : tlsCause);
    case QNetworkReply::ProxyConnectionRefusedError:
        return "proxy connection refused";
    case QNetworkReply::ProxyConnectionClosedError:
        return "proxy closed the connection";
    case QNetworkReply::ProxyNotFoundError:
        return "proxy host not found";
    case QNetworkReply::ProxyTimeoutError:
        return "proxy timed out";
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return "proxy authentication required";
    case QNetworkReply::ProtocolUnknownError:
        return "unsupported protocol";
    case QNetworkReply::NoError:
        return "no response";
    default: {
        std::string text = reply.errorString().toStdString();
        if (!text.empty())
            text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        return text;
    }
    }
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

// One request at a time with Qt's client, which resolves names and talks
// to the server on threads of its own: nothing here waits. Redirects are
// followed here, not by Qt, so that each step's scheme is checked and a
// failure can tell that it happened after a redirect. Main thread (the
// creator's).
class QtFetcher final : public QObject, public UrlFetcher {
public:
    explicit QtFetcher(const FetchOptions& options) : Options_(options) {
        for (QTimer* timer : {&ConnectTimer_, &TotalTimer_}) {
            timer->setSingleShot(true);
            timer->setTimerType(Qt::PreciseTimer); // a limit, not a rhythm
            connect(timer, &QTimer::timeout, this, [this] {
                // A refused status whose body stalls still fails for its status.
                if (Refused_)
                    Fail(RefusedCause(), /*afterRedirect=*/false);
                else
                    Fail("timed out");
            });
        }
        Sink_.Reset();
    }
    ~QtFetcher() override { Abort(); }

    using UrlFetcher::Start;
    void Start(const FetchRequest& request, Done done) override {
        Abort();
        Done_ = std::move(done);
        Redirects_ = 0;
        TotalTimer_.start(Options_.TotalTimeout);
        Post_ = PostStarted_ = request.Method == "POST";
        PostBody_ = QByteArray::fromStdString(request.Body);
        Headers_.clear();
        if (!Post_ && request.Method != "GET")
            return Fail("unsupported method");
        for (const std::string& line : request.Headers) {
            // The line itself stays out of the error: it may hold a secret.
            const std::size_t colon = line.find(':');
            if (colon == 0 || colon == std::string::npos ||
                line.find_first_of("\r\n") != std::string::npos)
                return Fail("malformed request header");
            Headers_.emplace_back(QByteArray::fromStdString(line.substr(0, colon)).trimmed(),
                                  QByteArray::fromStdString(line.substr(colon + 1)).trimmed());
        }
        std::string wire = EncodeUrlForWire(UrlWithScheme(request.Url));
        // A URL that does not begin with a scheme is plain HTTP, although
        // "http://" stands somewhere else in it.
        static const QRegularExpression schemed(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
        if (!schemed.match(QString::fromStdString(wire)).hasMatch())
            wire.insert(0, "http://");
        Request(QUrl::fromEncoded(QByteArray::fromStdString(wire), QUrl::TolerantMode));
    }

    void Abort() override {
        DropReply();
        ConnectTimer_.stop();
        TotalTimer_.stop();
        Done_ = nullptr;
        ++Ticket_; // a result already posted is not delivered
    }

private:
    QNetworkAccessManager& Manager() {
        if (!Manager_) {
            Manager_ = new QNetworkAccessManager(this);
            Manager_->setAutoDeleteReplies(false);
            Manager_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        }
        return *Manager_;
    }

    // One step: the URL asked for, or where a redirect pointed.
    void Request(const QUrl& url) {
        Status_ = 0;
        Accepted_ = false;
        Refused_ = false;
        TlsCause_.clear();
        Sink_.Reset();
        RawBody_.clear();
        const QString scheme = url.scheme().toLower();
        // Only plain and secure HTTP: a URL from the settings must not make
        // the client read local files or talk other protocols.
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
            return Fail(Redirects_ > 0 ? "redirect to a refused scheme" : "unsupported protocol",
                        /*afterRedirect=*/false);
        if (!url.isValid() || url.host().isEmpty())
            return Fail("bad URL");

        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(kUserAgent));
        request.setRawHeader("Cache-Control", "no-cache");
        request.setRawHeader("Pragma", "no-cache");
        // The body as the server has it: nothing to unpack, no bomb.
        request.setRawHeader("Accept-Encoding", "identity");
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        for (const auto& [name, value] : Headers_)
            request.setRawHeader(name, value);
        if (scheme == QLatin1String("https")) {
            // Peer and host verification stay on; only the trusted
            // authorities may be replaced.
            if (const auto named = NamedAuthorities()) {
                if (named->isEmpty())
                    return Fail("TLS error: CA certificates cannot be read");
                QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
                tls.setCaCertificates(*named);
                request.setSslConfiguration(tls);
            }
        }
        std::string problem;
        const QNetworkProxy proxy = ProxyFor(url, &problem);
        if (!problem.empty())
            return Fail(problem);
        // Setting the proxy drops the kept connections: only on a change.
        if (Manager().proxy() != proxy)
            Manager().setProxy(proxy);
        ViaProxy_ = proxy.type() != QNetworkProxy::NoProxy;

        Reply_ = Post_ ? Manager().post(request, PostBody_) : Manager().get(request);
        // Qt buffers no more than this before the body is read here.
        Reply_->setReadBufferSize(static_cast<qint64>(kKeptBody));
        connect(Reply_, &QNetworkReply::requestSent, &ConnectTimer_, &QTimer::stop);
        connect(Reply_, &QNetworkReply::sslErrors, this,
                [this](const QList<QSslError>& errors) { TlsCause_ = CertificateCause(errors); });
        connect(Reply_, &QNetworkReply::metaDataChanged, this, &QtFetcher::OnHeaders);
        connect(Reply_, &QNetworkReply::readyRead, this, &QtFetcher::OnBody);
        connect(Reply_, &QNetworkReply::finished, this, &QtFetcher::OnFinished);
        ConnectTimer_.start(Options_.ConnectTimeout);
    }

    // The status line and headers came: follow a redirect, refuse a status
    // without reading its body, or take the body that follows.
    void OnHeaders() {
        if (!Reply_ || Status_ != 0)
            return;
        Status_ = Reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (Status_ == 0)
            return;
        const QByteArray location = Reply_->rawHeader("Location");
        if (IsFollowedRedirect(Status_) && !location.isEmpty()) {
            if (++Redirects_ > kMaxRedirects)
                return Fail("redirect loop", /*afterRedirect=*/false);
            const QUrl next =
                Reply_->url().resolved(QUrl::fromEncoded(location, QUrl::TolerantMode));
            // Credentials stay with the origin they were given for.
            if (next.scheme().toLower() != Reply_->url().scheme().toLower() ||
                next.host().toLower() != Reply_->url().host().toLower() ||
                next.port(0) != Reply_->url().port(0))
                std::erase_if(Headers_, [](const auto& h) { return IsCredentialHeader(h.first); });
            // As browsers do: 307 and 308 repeat the POST, the others fetch
            // the new place.
            if (Status_ != 307 && Status_ != 308) {
                Post_ = false;
                PostBody_.clear();
            }
            DropReply();
            ConnectTimer_.stop();
            return Request(next);
        }
        // A refused status ends the request once its body (as far as it
        // is kept) is in.
        Refused_ = !IsAcceptedStatus(Status_, PostStarted_);
        Accepted_ = !Refused_;
    }

    void OnBody() {
        if (!Reply_ || Status_ == 0)
            return;
        char buffer[kReadSize];
        qint64 length = 0;
        while (Reply_ && (length = Reply_->read(buffer, sizeof buffer)) > 0) {
            const auto size = static_cast<std::size_t>(length);
            RawBody_.append(buffer, std::min(size, kKeptBody - RawBody_.size()));
            if (Accepted_)
                Sink_.Add(buffer, size);
            else if (RawBody_.size() >= kKeptBody)
                return Fail(RefusedCause(), /*afterRedirect=*/false);
        }
    }

    std::string RefusedCause() const { return "HTTP " + std::to_string(Status_); }

    void OnFinished() {
        OnHeaders(); // in case no headers were announced before the end
        if (!Reply_)
            return; // a redirect or a refused status took over
        OnBody();
        if (!Reply_)
            return; // the kept part of a refused body is in
        if (Refused_)
            return Fail(RefusedCause(), /*afterRedirect=*/false);
        if (Accepted_ && Reply_->error() == QNetworkReply::NoError) {
            FetchResult result;
            result.Ok = true;
            result.Status = Status_;
            Sink_.FinishRead();
            result.Text = std::move(Sink_.Result);
            result.Body = std::move(RawBody_);
            return Finish(std::move(result));
        }
        // Through a proxy, a connection that failed before any answer
        // failed at the proxy: the server is the proxy's business.
        std::string cause = ErrorCause(*Reply_, TlsCause_);
        if (ViaProxy_ && Status_ == 0 &&
            (Reply_->error() == QNetworkReply::ConnectionRefusedError ||
             Reply_->error() == QNetworkReply::HostNotFoundError))
            cause.insert(0, "proxy ");
        Fail(cause);
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
    // never runs inside Start or inside one of the reply's signals.
    void Finish(FetchResult result) {
        DropReply();
        ConnectTimer_.stop();
        TotalTimer_.stop();
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

    void DropReply() {
        if (!Reply_)
            return;
        QNetworkReply* reply = Reply_;
        Reply_ = nullptr;
        reply->disconnect(this);
        reply->disconnect(&ConnectTimer_);
        // Only a reply still under way is aborted: aborting a finished one
        // would drop its kept connection, and one that failed (a refused
        // status) is ended by its deletion without a second error.
        if (reply->isRunning() && reply->error() == QNetworkReply::NoError)
            reply->abort();
        reply->deleteLater();
    }

    FetchOptions Options_;
    QNetworkAccessManager* Manager_ = nullptr; // made at the first request
    QNetworkReply* Reply_ = nullptr;
    QTimer ConnectTimer_; // until the request is written: the connection stands
    QTimer TotalTimer_;   // the whole request, redirects included
    Done Done_;
    quint64 Ticket_ = 0;
    int Redirects_ = 0;
    long Status_ = 0;
    bool Accepted_ = false; // a status taken as success: its body is the text
    bool Refused_ = false;  // a final status that is a failure
    bool Post_ = false;     // this step is a POST
    bool PostStarted_ = false; // the request asked for was a POST
    QByteArray PostBody_;
    std::vector<std::pair<QByteArray, QByteArray>> Headers_;
    std::string RawBody_; // the first kKeptBody bytes of this step's body
    bool ViaProxy_ = false; // this step goes through a proxy
    std::string TlsCause_;
    BodySink Sink_;
};

} // namespace

std::unique_ptr<UrlFetcher> NewUrlFetcher(const FetchOptions& Options) {
    return std::make_unique<QtFetcher>(Options);
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
