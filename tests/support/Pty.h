// Pseudo-terminal pairs and a port directory for tests that use real ttys.
//
// TestPty opens a pair with openpty, both sides raw, the master side
// non-blocking. The code under test opens the slave by path (usually through
// PortDir's COM<n> link); the test plays the device on the master side.
// PortDir makes a temporary directory, points KELVOX_PORT_DIR at it for its
// lifetime and links COM<n> entries in it.
//
// Not thread-safe; use from the test's thread.
#pragma once

#include <string>
#include <string_view>

class TestPty {
public:
    // keepSlaveOpen: hold a descriptor of the slave side for the pair's
    // lifetime, so that the master never sees the slave as closed between
    // opens by the code under test. Throws std::system_error on failure.
    explicit TestPty(bool keepSlaveOpen = true);
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

    // Writes all bytes to the master side, waiting for room up to timeoutMs
    // in total. False when not everything could be written in time.
    bool Write(std::string_view bytes, int timeoutMs = 5000);
    // Reads from the master side until `count` bytes have come or timeoutMs
    // has passed; returns what came.
    std::string Read(std::size_t count, int timeoutMs = 5000);
    // Reads what is there now, without waiting.
    std::string ReadAvailable();
    // Bytes waiting on the master side (written by the slave side).
    std::size_t MasterQueued() const;
    // Bytes written by the master side and not yet read on the slave side
    // (0 unless the pair keeps its own slave descriptor).
    std::size_t SlaveQueued() const;

    // Closes the master side: the slave side hangs up.
    void CloseMaster();
    // Drops the test's own slave descriptor (if it kept one).
    void CloseSlave();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Another program holding `path` open (a "sleep" with the device as its
// standard input) until destroyed; the constructor returns once it has.
class DeviceHolder {
public:
    explicit DeviceHolder(const std::string& path);
    ~DeviceHolder();
    DeviceHolder(const DeviceHolder&) = delete;
    DeviceHolder& operator=(const DeviceHolder&) = delete;

private:
    int pid_ = -1;
};

class PortDir {
public:
    // Creates the directory and sets KELVOX_PORT_DIR (the previous value is
    // restored by the destructor, which also removes the directory).
    PortDir();
    ~PortDir();
    PortDir(const PortDir&) = delete;
    PortDir& operator=(const PortDir&) = delete;

    const std::string& Path() const { return path_; }
    // Links COM<n> to `target` (replacing an existing link).
    void Link(int comNumber, const std::string& target);
    void Unlink(int comNumber);

private:
    std::string path_;
    bool hadPrevious_ = false;
    std::string previous_;
};
