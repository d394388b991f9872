// The entry of the network module (kelvox-net.so): the URL fetch and Qt's
// network library, loaded by the program at its first send
// (core/NetModule.h).
#include "core/NetModule.h"
#include "net/uHTML.h"

extern "C" __attribute__((visibility("default"))) UrlFetcher* kelvox_new_fetcher() {
    return NewUrlFetcher().release();
}
