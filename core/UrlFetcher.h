// The URL fetch as the upload sees it: one HTTP request at a time, started and
// answered through the event loop, so that a server that never answers holds
// up nothing but its own request. No network library is needed to include
// this header; the program's implementation lives in the module
// kelvox-net.so (core/NetModule.h), the one tests and tools link is in
// net/uHTML.h.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Time limits of one request. The defaults are the program's; tests shorten
// them so that a server that never answers does not hold a test for 20 s.
struct FetchOptions {
    std::chrono::milliseconds ConnectTimeout{10000};
    std::chrono::milliseconds TotalTimeout{20000};
};

// One request. Headers may carry secrets (Authorization): they go to the
// server and nowhere else, never into a log or an error text.
struct FetchRequest {
    std::string Url;
    std::string Method = "GET";       // "GET" or "POST"
    std::vector<std::string> Headers; // "Name: value" lines
    std::string Body;                 // sent with POST
};

struct FetchResult {
    // The response body for an accepted status (see Ok); "Status:" followed
    // by the status code otherwise ("Status:" alone when no response came);
    // empty when the HTTP client could not be set up.
    std::string Text;
    // True only when a response with an accepted status arrived in full
    // within the time limits (only its first 64 KiB are kept in Text): 200
    // or 302 for a GET, any 2xx for a POST. The text alone cannot tell,
    // since a body may well read "Status:404".
    bool Ok = false;
    // The final status code after redirects, 0 when no response came.
    long Status = 0;
    // Why the request failed, in a few words for the event log ("HTTP 404",
    // "connection refused", "timed out"); empty when Ok.
    std::string Error;
    // The first 64 KiB of the final response's body as it came (NULs
    // included), whatever its status: a refused POST's body says why.
    std::string Body;
};

// One request at a time. Thread affinity: the thread that created it (the
// main thread in the program), which must run an event loop.
class UrlFetcher {
public:
    using Done = std::function<void(const FetchResult&)>;

    virtual ~UrlFetcher() = default;

    // Starts the request to request.Url ("http://" put in front where
    // NeedsHttpPrefix says so) and returns at once. done is called exactly
    // once, from the event loop and never from within Start, unless the
    // request is abandoned first: by Abort, by another Start, or by
    // destroying the fetcher.
    virtual void Start(const FetchRequest& request, Done done) = 0;
    // A GET of url.
    void Start(const std::string& url, Done done) {
        FetchRequest request;
        request.Url = url;
        Start(request, std::move(done));
    }
    // Abandons the request under way, if any, without calling its done.
    virtual void Abort() = 0;
};
