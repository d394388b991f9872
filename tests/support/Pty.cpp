#include "support/Pty.h"

#include "platform/Event.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

void SetRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::tcsetattr(fd, TCSANOW, &t);
    }
}

} // namespace

TestPty::TestPty(bool keepSlaveOpen) {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) < 0)
        throw std::system_error(errno, std::generic_category(), "openpty");
    slavePath_ = name;
    SetRaw(master_);
    SetRaw(slave_);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (!keepSlaveOpen)
        CloseSlave();
}

TestPty::~TestPty() {
    CloseSlave();
    CloseMaster();
}

bool TestPty::Write(std::string_view bytes, int timeoutMs) {
    const long long start = platform::MonotonicMs();
    while (!bytes.empty()) {
        if (master_ < 0)
            return false;
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        const int left = platform::RemainingMs(start, timeoutMs);
        if (left == 0)
            return false;
        pollfd p{master_, POLLOUT, 0};
        platform::PollRetry(&p, 1, left < 20 ? left : 20);
    }
    return true;
}

std::string TestPty::Read(std::size_t count, int timeoutMs) {
    std::string out;
    const long long start = platform::MonotonicMs();
    char buffer[4096];
    while (out.size() < count && master_ >= 0) {
        const std::size_t want = std::min(sizeof buffer, count - out.size());
        const ssize_t n = ::read(master_, buffer, want);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break; // EIO: no slave open at the moment
        const int left = platform::RemainingMs(start, timeoutMs);
        if (left == 0)
            break;
        pollfd p{master_, POLLIN, 0};
        platform::PollRetry(&p, 1, left < 20 ? left : 20);
    }
    return out;
}

std::string TestPty::ReadAvailable() {
    std::string out;
    char buffer[4096];
    while (master_ >= 0) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::size_t TestPty::MasterQueued() const {
    int n = 0;
    if (master_ < 0 || ::ioctl(master_, FIONREAD, &n) < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

std::size_t TestPty::SlaveQueued() const {
    // The input queue belongs to the tty, so any slave descriptor sees it.
    int n = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &n) < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

void TestPty::CloseMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void TestPty::CloseSlave() {
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

PortDir::PortDir() {
    if (const char* old = std::getenv("KELVOX_PORT_DIR")) {
        hadPrevious_ = true;
        previous_ = old;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvox-ports-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
    ::setenv("KELVOX_PORT_DIR", path_.c_str(), 1);
}

PortDir::~PortDir() {
    if (hadPrevious_)
        ::setenv("KELVOX_PORT_DIR", previous_.c_str(), 1);
    else
        ::unsetenv("KELVOX_PORT_DIR");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void PortDir::Link(int comNumber, const std::string& target) {
    Unlink(comNumber);
    const std::string link = path_ + "/COM" + std::to_string(comNumber);
    if (::symlink(target.c_str(), link.c_str()) < 0)
        throw std::system_error(errno, std::generic_category(), "symlink " + link);
}

void PortDir::Unlink(int comNumber) {
    const std::string link = path_ + "/COM" + std::to_string(comNumber);
    ::unlink(link.c_str());
}

DeviceHolder::DeviceHolder(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, path.c_str(), O_RDWR | O_NOCTTY, 0);
    char sleep[] = "sleep", seconds[] = "600";
    char* argv[] = {sleep, seconds, nullptr};
    const int rc = posix_spawnp(&pid_, "sleep", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::system_error(rc, std::generic_category(), "spawn sleep");
    const std::string fd0 = "/proc/" + std::to_string(pid_) + "/fd/0";
    for (int i = 0; i < 5000; ++i) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd0, ec) == path)
            return;
        ::usleep(1000);
    }
    throw std::runtime_error("the holder did not open " + path);
}

DeviceHolder::~DeviceHolder() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}
