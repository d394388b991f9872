// One HTTP GET of a URL, the program's only network access, with Qt's
// asynchronous client: plain HTTP needs no TLS library, and the TLS back
// end is loaded only when an https:// URL is first asked for.
#pragma once

#include "core/UrlFetcher.h"

#include <memory>
#include <string>

// The fetcher the network module hands out (and tests build directly).
std::unique_ptr<UrlFetcher> NewUrlFetcher(const FetchOptions& Options = {});

// True when "http://" must be put in front of Url: its lower-case copy
// neither contains "http://" anywhere nor begins with "https://".
bool NeedsHttpPrefix(const std::string& Url);

// Url as it is requested: with "http://" in front when NeedsHttpPrefix.
std::string UrlWithScheme(const std::string& Url);

// Url with the bytes that may not stand in a URL (space, control bytes, DEL
// and every non-ASCII byte) percent-encoded; everything else, '%' included,
// is left as it is, so an already encoded URL goes out unchanged.
std::string EncodeUrlForWire(const std::string& Url);
