// The entry of the network module (kelvox-net.so): the URL fetch and libcurl,
// loaded by the program at its first send (net/NetModule.h).
#include "net/NetModule.h"

extern "C" __attribute__((visibility("default"))) void kelvox_fetch_url(const std::string* url,
                                                                        FetchResult* result) {
    *result = FetchUrl(*url);
}
