#include "net/uHTML.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <strings.h>

namespace {

// The body is handed over in reads of at most this many bytes, and each read
// is taken as a NUL-terminated text: a NUL ends that read's text early while
// the next read starts afresh. Callers have always seen bodies this way.
constexpr std::size_t kReadSize = 4095;

// Only this much of a body is kept (nobody looks at more); the rest is still
// read to its end, within the request's time limits, and thrown away.
constexpr std::size_t kKeptBody = 64 * 1024;

constexpr const char* kUserAgent = "InetURL:/1.0";

// Only plain and secure HTTP: a URL from the settings must not make the
// client read local files or talk other protocols, neither directly nor
// through a redirect.
constexpr const char* kProtocols = "http,https";

constexpr long kMaxRedirects = 20;

bool GlobalInit() {
    // Once per process, thread-safe through the static's initialisation;
    // never cleaned up, since requests may run until exit.
    static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ok;
}

bool IsAcceptedStatus(long status) {
    return status == 200 || status == 302;
}

// Trusted certificate authorities from the environment, taken as the curl
// tool takes them: CURL_CA_BUNDLE names a bundle file; without it
// SSL_CERT_DIR names a directory of hashed certificates and SSL_CERT_FILE a
// bundle file. Unset or empty: the system's store. This is how a private
// authority is trusted. False when curl refuses an option.
bool SetAuthorities(CURL* e) {
    auto named = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value ? value : nullptr;
    };
    if (const char* bundle = named("CURL_CA_BUNDLE"))
        return curl_easy_setopt(e, CURLOPT_CAINFO, bundle) == CURLE_OK;
    bool ok = true;
    if (const char* dir = named("SSL_CERT_DIR"))
        ok = curl_easy_setopt(e, CURLOPT_CAPATH, dir) == CURLE_OK;
    if (const char* file = named("SSL_CERT_FILE"))
        ok = ok && curl_easy_setopt(e, CURLOPT_CAINFO, file) == CURLE_OK;
    return ok;
}

// Why the server's certificate was refused, as far as the TLS library says.
std::string CertificateCause(CURL* easy) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    long verify = -1;
    if (!info || !info->ssl_version ||
        !std::string_view(info->ssl_version).starts_with("OpenSSL") ||
        curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify) != CURLE_OK)
        return "certificate rejected";
    // OpenSSL's X509_V_ERR_* numbers.
    switch (verify) {
    case 0: // the chain was good: curl's own host name check refused it
    case 62:
        return "certificate not for this host";
    case 9:
        return "certificate not yet valid";
    case 10:
        return "certificate expired";
    case 23:
        return "certificate revoked";
    case 2:
    case 18:
    case 19:
    case 20:
    case 21:
    case 27:
        return "certificate not trusted";
    default:
        return "certificate rejected";
    }
}

// True when the connection curl could not make was to a proxy: its message
// names the host and port it tried, and with a proxy these are the proxy's,
// not the URL's. False when the message does not say.
bool FailedAtProxy(CURL* easy, std::string_view message) {
    constexpr std::string_view lead = "Failed to connect to ";
    const std::size_t portAt = message.find(" port ");
    char* url = nullptr;
    if (!message.starts_with(lead) || portAt == std::string_view::npos ||
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || !url)
        return false;
    std::string tried(message.substr(lead.size(), portAt - lead.size()));
    tried +=
        ':' + std::string(message.substr(portAt + 6, message.find(' ', portAt + 6) - portAt - 6));
    CURLU* parts = curl_url();
    char* host = nullptr;
    char* port = nullptr;
    std::string target;
    if (parts && curl_url_set(parts, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(parts, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parts, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        std::string_view name(host);
        if (name.starts_with('[') && name.ends_with(']')) // an IPv6 address
            name = name.substr(1, name.size() - 2);
        target = std::string(name) + ':' + port;
    }
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(parts);
    return !target.empty() && strcasecmp(tried.c_str(), target.c_str()) != 0;
}

// The cause curl's result code names; message is curl's own error text.
std::string CodeCause(CURL* easy, CURLcode code, std::string_view message) {
    switch (code) {
    case CURLE_OK:
        return "no response";
    case CURLE_COULDNT_RESOLVE_HOST:
        return "host not found";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "proxy host not found";
    case CURLE_COULDNT_CONNECT: {
        const std::string proxy = FailedAtProxy(easy, message) ? "proxy " : "";
        long osError = 0;
        if (curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError) == CURLE_OK &&
            osError == ECONNREFUSED)
            return proxy + "connection refused";
        return proxy.empty() ? "cannot connect" : "cannot connect to the proxy";
    }
    case CURLE_OPERATION_TIMEDOUT:
        return "timed out";
    case CURLE_URL_MALFORMAT:
        return "bad URL";
    case CURLE_UNSUPPORTED_PROTOCOL:
        return "unsupported protocol";
    case CURLE_PEER_FAILED_VERIFICATION:
        return "TLS error: " + CertificateCause(easy);
    case CURLE_SSL_CONNECT_ERROR:
        return "TLS error: handshake failed";
    case CURLE_SSL_CACERT_BADFILE:
        return "TLS error: CA certificates cannot be read";
    default: {
        std::string text = curl_easy_strerror(code);
        if (!text.empty())
            text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
        return text;
    }
    }
}

// The cause of a request without an accepted response, for the event log.
std::string FailureCause(CURL* easy, CURLcode code, long status, std::string_view message) {
    // The last response was a redirect that curl set out to follow: the
    // failure lies in following it, not in the redirect's status. (A
    // refused status's body is cut off here, which curl reports as a
    // write error.)
    long redirects = 0;
    if (status >= 300 && status < 400 && code != CURLE_OK && code != CURLE_WRITE_ERROR &&
        curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects) == CURLE_OK && redirects > 0) {
        if (code == CURLE_TOO_MANY_REDIRECTS)
            return "redirect loop";
        if (code == CURLE_UNSUPPORTED_PROTOCOL)
            return "redirect to a refused scheme";
        return CodeCause(easy, code, message) + " after redirect";
    }
    if (status != 0 && !IsAcceptedStatus(status))
        return "HTTP " + std::to_string(status);
    return CodeCause(easy, code, message);
}

struct BodySink {
    CURL* Easy = nullptr;
    bool StatusChecked = false;
    std::string Read;   // the read being filled, up to kReadSize bytes
    std::string Result; // the text of the finished reads, at most kKeptBody

    BodySink() {
        // Both buffers at their final size before the transfer, so the
        // callback never allocates.
        Read.reserve(kReadSize);
        Result.reserve(kKeptBody);
    }

    void FinishRead() {
        const std::size_t room = kKeptBody - Result.size();
        Result.append(Read.data(), std::min(room, strnlen(Read.data(), Read.size())));
        Read.clear();
    }
};

// Called by curl on the requesting thread with each piece of the final
// response's body (bodies of redirects that curl follows are not passed on).
std::size_t OnBodyData(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto& sink = *static_cast<BodySink*>(user);
    const std::size_t length = size * count;
    if (sink.Result.size() == kKeptBody)
        return length; // read on to the end, keep nothing more
    if (!sink.StatusChecked) {
        long status = 0;
        curl_easy_getinfo(sink.Easy, CURLINFO_RESPONSE_CODE, &status);
        // The body of a refused status is never read: stop the transfer.
        if (!IsAcceptedStatus(status))
            return length == 0 ? 1 : 0;
        sink.StatusChecked = true;
    }
    std::size_t offset = 0;
    while (offset < length) {
        const std::size_t take = std::min(kReadSize - sink.Read.size(), length - offset);
        sink.Read.append(data + offset, take);
        offset += take;
        if (sink.Read.size() == kReadSize)
            sink.FinishRead();
    }
    return length;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

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

FetchResult FetchUrl(const std::string& Url, const FetchOptions& Options) {
    FetchResult result;
    result.Error = "HTTP client not available";
    if (!GlobalInit())
        return result;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy)
        return result;

    std::unique_ptr<curl_slist, ListDeleter> headers;
    for (const char* header : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
        curl_slist* grown = curl_slist_append(headers.get(), header);
        if (!grown)
            return result;
        headers.release();
        headers.reset(grown);
    }

    const std::string wireUrl = EncodeUrlForWire(UrlWithScheme(Url));
    BodySink sink;
    sink.Easy = easy.get();

    CURL* e = easy.get();
    // Proxy settings come from the environment (curl's default), trusted
    // authorities too (SetAuthorities); peer and host verification of TLS
    // are curl's defaults and stay on.
    char message[CURL_ERROR_SIZE] = "";
    bool setUp = curl_easy_setopt(e, CURLOPT_URL, wireUrl.c_str()) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_ERRORBUFFER, message) == CURLE_OK;
    setUp = setUp && SetAuthorities(e);
    setUp = setUp && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, kProtocols) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_USERAGENT, kUserAgent) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK;
    // No signals: the program has worker threads, and signal-based DNS
    // time-outs are not thread-safe.
    setUp = setUp && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    setUp =
        setUp && curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                                  static_cast<long>(Options.ConnectTimeout.count())) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_TIMEOUT_MS,
                                      static_cast<long>(Options.TotalTimeout.count())) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBodyData) == CURLE_OK;
    setUp = setUp && curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
    if (!setUp)
        return result;

    const CURLcode code = curl_easy_perform(e);
    long status = 0;
    if (curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        status = 0;
    result.Status = status;
    if (IsAcceptedStatus(status)) {
        sink.FinishRead();
        result.Text = std::move(sink.Result);
        // A body cut short by a time-out or a broken connection is returned
        // as far as it came, but the request did not succeed.
        result.Ok = code == CURLE_OK;
    } else {
        result.Text = status == 0 ? std::string("Status:") : "Status:" + std::to_string(status);
    }
    result.Error = result.Ok ? std::string() : FailureCause(e, code, status, message);
    return result;
}
