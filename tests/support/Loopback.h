// Loopback networking helpers for tests that talk to local servers.
#pragma once

// A TCP port on 127.0.0.1 that nobody listens on: bound once to let the
// system pick it, then released, so a connection to it is refused.
int ClosedPort();
