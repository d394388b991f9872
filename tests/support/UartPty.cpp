#include "support/UartPty.h"

#include <cerrno>

namespace {
platform::PortOpenContext ContextFor(UartLike& uart, const QTemporaryDir& lockDir) {
    platform::PortOpenContext context;
    context.Uart = &uart;
    context.LockDir = lockDir.path().toStdString();
    return context;
}
} // namespace

int UartLike::ModemLines(int /*fd*/, int& bits) {
    ++modemQueries_;
    if (const int err = failWith_.load()) {
        errno = err;
        return -1;
    }
    bits = bits_.load();
    return 0;
}

int UartLike::Counters(int /*fd*/, platform::UartCounters& counters) {
    ++counterQueries_;
    if (const int err = failWith_.load()) {
        errno = err;
        return -1;
    }
    std::lock_guard lock(mutex_);
    counters = counters_;
    return 0;
}

int UartLike::SerialType(int /*fd*/, int& type) {
    if (const int err = failWith_.load()) {
        errno = err;
        return -1;
    }
    type = type_.load();
    return 0;
}

void UartLike::SetModemLines(int bits) {
    bits_.store(bits);
}

void UartLike::Bump(int platform::UartCounters::*field) {
    std::lock_guard lock(mutex_);
    ++(counters_.*field);
}

UartPty::UartPty(int comNumber) : Backend(ContextFor(Uart, LockDir)) {
    Dir.Link(comNumber, Pty.SlavePath());
    platform::SetCommBackend(&Backend);
}

UartPty::~UartPty() {
    platform::SetCommBackend(nullptr);
}
