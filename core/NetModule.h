// The URL fetch as the program uses it: Qt's network library and what it
// brings live in the module kelvox-net.so, loaded at the first send, so that
// a program that has not sent yet (or never sends) does not carry them.
// Tests and tools link net/uHTML directly.
#pragma once

#include "core/UrlFetcher.h"

#include <memory>

// A fetcher that loads the module at its first Start and hands the requests
// to the module's fetcher. When the module cannot be loaded, each request
// fails with a text that says so. Main thread.
std::unique_ptr<UrlFetcher> NewModuleFetcher();

// The module's one export: a new fetcher with the program's time limits,
// owned by the caller.
using NetNewFetcherFunction = UrlFetcher* (*)();
inline constexpr const char* NetNewFetcherSymbol = "kelvox_new_fetcher";
