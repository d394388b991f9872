// A pseudo-terminal that answers as a UART does: the modem lines, the line
// error counters and the serial type are the test's to set, while the bytes
// go through a real pty and the real termios back end. COM<n> is linked to
// the pty's slave, and the back end (with a lock directory of its own) is
// installed for the object's lifetime.
//
// The UartLike members may be called from any thread.
#pragma once

#include "platform/TermiosCommDevice.h"
#include "platform/Uart.h"
#include "support/Pty.h"

#include <QTemporaryDir>
#include <atomic>
#include <mutex>

class UartLike : public platform::UartAccess {
public:
    int ModemLines(int fd, int& bits) override;
    int Counters(int fd, platform::UartCounters& counters) override;
    int SerialType(int fd, int& type) override;

    // TIOCM_* bits the lines show from now on.
    void SetModemLines(int bits);
    // The receiver counts a line condition (before it hands on the byte
    // it spoiled, as a UART driver does).
    void CountFrame() { Bump(&platform::UartCounters::Frame); }
    void CountBreak() { Bump(&platform::UartCounters::Break); }
    void CountBufferOverrun() { Bump(&platform::UartCounters::BufferOverrun); }
    // PORT_UNKNOWN (0): a serial node with no UART behind it.
    void SetSerialType(int type) { type_.store(type); }
    // Every ioctl fails with this errno from now on (0: they answer again).
    void FailWith(int err) { failWith_.store(err); }

    int ModemQueries() const { return modemQueries_.load(); }
    int CounterQueries() const { return counterQueries_.load(); }

private:
    void Bump(int platform::UartCounters::*field);
    mutable std::mutex mutex_;
    platform::UartCounters counters_;
    std::atomic<int> bits_{0};
    std::atomic<int> type_{4}; // PORT_16550A
    std::atomic<int> failWith_{0};
    std::atomic<int> modemQueries_{0};
    std::atomic<int> counterQueries_{0};
};

class UartPty {
public:
    explicit UartPty(int comNumber = 1);
    ~UartPty();
    UartPty(const UartPty&) = delete;
    UartPty& operator=(const UartPty&) = delete;

    TestPty Pty;
    PortDir Dir;
    UartLike Uart;
    QTemporaryDir LockDir; // for UUCP lock files
    platform::TermiosCommBackend Backend;
};
