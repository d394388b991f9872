// The URL fetch as the program uses it: libcurl and the libraries it brings
// (TLS, Kerberos, LDAP, ...) live in the module kelvox-net.so, loaded at the
// first send, so that a program that has not sent yet (or never sends) does
// not carry them. Tests and tools link net/uHTML directly.
#pragma once

#include "net/uHTML.h"

#include <string>

// FetchUrl through the module. When the module cannot be loaded, the result
// fails with a text that says so. Main thread (the first call loads it).
FetchResult FetchThroughModule(const std::string& url);

// The module's one export: FetchUrl with default options.
using NetFetchFunction = void (*)(const std::string* url, FetchResult* result);
inline constexpr const char* NetFetchSymbol = "kelvox_fetch_url";
