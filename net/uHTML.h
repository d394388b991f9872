// One HTTP GET of a URL, the program's only network access.
//
// FetchUrl blocks the calling thread (the main thread, in the program) until
// the response has been read or a time-out has struck; it keeps no state
// between calls and may be called from any thread.
#pragma once

#include <chrono>
#include <string>

// Time limits of one request. The defaults are the program's; tests shorten
// them so that a server that never answers does not hold a test for 20 s.
struct FetchOptions {
    std::chrono::milliseconds ConnectTimeout{10000};
    std::chrono::milliseconds TotalTimeout{20000};
};

struct FetchResult {
    // The response body for status 200 or 302; "Status:" followed by the
    // status code otherwise ("Status:" alone when no response came); empty
    // when the HTTP client could not be set up.
    std::string Text;
    // True only when a response with status 200 or 302 arrived in full
    // within the time limits (only its first 64 KiB are kept in Text).
    // The text alone cannot tell, since a body may well read "Status:404".
    bool Ok = false;
    // The final status code after redirects, 0 when no response came.
    long Status = 0;
    // Why the request failed, in a few words for the event log ("HTTP 404",
    // "connection refused", "timed out"); empty when Ok.
    std::string Error;
};

// Requests Url (with "http://" put in front where UrlWithScheme says so) and
// returns the body or a status text. Network failures never raise.
FetchResult FetchUrl(const std::string& Url, const FetchOptions& Options = {});

// True when "http://" must be put in front of Url: its lower-case copy
// neither contains "http://" anywhere nor begins with "https://".
bool NeedsHttpPrefix(const std::string& Url);

// Url as it is requested: with "http://" in front when NeedsHttpPrefix.
std::string UrlWithScheme(const std::string& Url);

// Url with the bytes that may not stand in a URL (space, control bytes, DEL
// and every non-ASCII byte) percent-encoded; everything else, '%' included,
// is left as it is, so an already encoded URL goes out unchanged.
std::string EncodeUrlForWire(const std::string& Url);
