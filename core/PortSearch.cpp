#include "core/PortSearch.h"

#include "core/ReadingParser.h"
#include "platform/AppPaths.h"
#include "platform/CommDevice.h"
#include "platform/DcbTermios.h"
#include "platform/Event.h"
#include "platform/IniFile.h"
#include "platform/PortNames.h"
#include "platform/SysRetry.h"
#include "platform/SystemError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using platform::RetryOnEintr;

// One port being listened to: its descriptor, the text after its last CR,
// and what came so far.
struct Listener {
    HeardPort* Port = nullptr;
    int Fd = -1;
    termios Saved{}; // the line settings the port had, put back at close
    std::string Pending;
    TReadingParser Parser;
    bool GotBytes = false;
    bool Done = false;
};

constexpr int kReadingsNeeded = 2;
// Bytes taken from one port per turn of the loop: a flooding device gets no
// more turns than the others, and the clock is looked at between turns.
constexpr std::size_t kChunk = 4096;

// Device node numbers of the paths seen so far: two COM numbers that lead to
// the same device (a [Ports] name and its default number) are one port.
bool SameDeviceSeen(const std::string& path, std::vector<dev_t>& seen) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    if (std::find(seen.begin(), seen.end(), st.st_rdev) != seen.end())
        return true;
    seen.push_back(st.st_rdev);
    return false;
}

PortHeard HeardOfOpenError(const platform::PortOpenResult& opened) {
    switch (platform::SystemErrorClassOf(opened.SystemError)) {
    case platform::SystemErrorClass::Busy:
        return PortHeard::InUse;
    case platform::SystemErrorClass::Denied:
        return PortHeard::NoPermission;
    default:
        return PortHeard::CannotOpen;
    }
}

// The program's line settings, raw, on an open port. Never anything that
// makes the port send: no input flow control (XOFF), no echo.
bool ApplyLine(int fd, const win::DCB& line) {
    termios t{};
    if (RetryOnEintr([&] { return ::tcgetattr(fd, &t); }) != 0)
        return false;
    speed_t code = 0;
    if (!platform::detail::StandardRateCode(line.BaudRate, code)) {
        errno = EINVAL;
        return false;
    }
    if (!platform::detail::TermiosFromDcb(line, t)) {
        errno = EINVAL;
        return false;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(IXOFF);
    return RetryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &t); }) == 0;
}

// The port as the search found it: its line settings back, then closed.
void ClosePort(int fd, const termios& saved) {
    RetryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &saved); });
    platform::ClosePortDescriptor(fd, /*flushOutput=*/false);
}

void CloseListener(Listener& l) {
    if (l.Fd >= 0)
        ClosePort(l.Fd, l.Saved);
    l.Fd = -1;
    l.Done = true;
}

// Takes what one port has to give this turn.
void Listen(Listener& l, short revents, const platform::FormatSettings& formats) {
    if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
        char buffer[kChunk];
        const ssize_t n = RetryOnEintr([&] { return ::read(l.Fd, buffer, sizeof buffer); });
        if (n > 0) {
            l.GotBytes = true;
            l.Pending.append(buffer, static_cast<std::size_t>(n));
            const TParseResult parsed = l.Parser.Parse(l.Pending, formats);
            if (parsed.Converted > 0) {
                l.Port->Readings += parsed.Converted;
                l.Port->LastReading = parsed.LastValue;
            }
            if (l.Port->Readings >= kReadingsNeeded) {
                l.Port->Heard = PortHeard::Thermometer;
                CloseListener(l);
            }
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // End of file, EIO or a poll error: the device is gone (a pulled USB
        // adapter, a pseudo-terminal whose other side closed).
        l.Port->Heard = PortHeard::HungUp;
        CloseListener(l);
    }
}

// What a port that was listened to until the end heard.
PortHeard Verdict(const Listener& l) {
    if (l.Port->Heard == PortHeard::HungUp || l.Port->Heard == PortHeard::Thermometer)
        return l.Port->Heard;
    if (l.Port->Readings == 1)
        return PortHeard::OneReading;
    return l.GotBytes ? PortHeard::NotReadings : PortHeard::NoData;
}

QString Seconds(int ms) {
    return ms % 1000 == 0 ? QString::number(ms / 1000) : QString::number(ms / 1000.0, 'f', 1);
}

} // namespace

std::vector<HeardPort> PortSearchResult::Thermometers() const {
    std::vector<HeardPort> found;
    std::copy_if(Ports.begin(), Ports.end(), std::back_inserter(found),
                 [](const HeardPort& p) { return p.Heard == PortHeard::Thermometer; });
    return found;
}

PortSearchResult SearchPorts(const PortSearchOptions& options, const platform::Event* stop) {
    PortSearchResult result;
    result.ListenMs = options.ListenMs;
    platform::PortOpenContext context = options.Open;
    context.ReadOnly = true;

    // Every port that exists, each device once, opened at once; the
    // descriptors of those to listen to, by their place in the list.
    std::vector<dev_t> seen;
    std::vector<std::pair<std::size_t, int>> opened;
    std::vector<termios> saved;
    // A port another program has open (a serial console, a program that
    // takes no lock) is not touched at all: opening it could change its
    // line and take its data.
    const std::vector<dev_t> elsewhere = platform::DevicesOpenElsewhere();
    for (int n = 1; n <= options.MaxComPorts; ++n) {
        const std::string path = platform::ComPortPath(n);
        if (path.empty() || ::access(path.c_str(), F_OK) != 0 || SameDeviceSeen(path, seen))
            continue;
        struct stat st {};
        const bool inUse =
            ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            std::find(elsewhere.begin(), elsewhere.end(), st.st_rdev) != elsewhere.end();
        platform::PortOpenResult open;
        // This program's own open port is never opened a second time.
        if (inUse || n == options.OwnPort)
            open.SystemError = EBUSY;
        else
            open = platform::OpenPortDescriptor(path, context);
        if (open.Error == platform::CommOpenError::NotFound)
            continue; // no device behind the node: not listed, as in the port list
        HeardPort port;
        port.ComNumber = n;
        port.Path = path;
        port.Description = platform::DescribePortDevice(path, options.SysfsRoot);
        port.StableName = StableNameOf(path, options.StableDir);
        termios before{};
        if (open.Fd < 0) {
            port.Heard = n == options.OwnPort ? PortHeard::OwnPort
                         : inUse              ? PortHeard::InUse
                                              : HeardOfOpenError(open);
            port.SystemError = open.SystemError;
        } else if (RetryOnEintr([&] { return ::tcgetattr(open.Fd, &before); }) != 0) {
            port.Heard = PortHeard::Refused;
            port.SystemError = errno;
            platform::ClosePortDescriptor(open.Fd, /*flushOutput=*/false);
        } else if (!ApplyLine(open.Fd, options.Line)) {
            port.Heard = PortHeard::Refused;
            port.SystemError = errno;
            ClosePort(open.Fd, before);
        } else {
            opened.emplace_back(result.Ports.size(), open.Fd);
            saved.push_back(before);
        }
        result.Ports.push_back(std::move(port));
    }

    // The list is complete: its elements stay where they are from here on.
    std::vector<Listener> listeners(opened.size());
    for (std::size_t i = 0; i < opened.size(); ++i) {
        listeners[i].Port = &result.Ports[opened[i].first];
        listeners[i].Fd = opened[i].second;
        listeners[i].Saved = saved[i];
    }
    result.Listened = static_cast<int>(listeners.size());

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.ListenMs);
    std::vector<pollfd> fds;
    std::vector<Listener*> polled;
    bool stopped = false;
    for (;;) {
        fds.clear();
        polled.clear();
        for (Listener& l : listeners)
            if (!l.Done) {
                fds.push_back({l.Fd, POLLIN, 0});
                polled.push_back(&l);
            }
        if (polled.empty())
            break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        if (stop)
            fds.push_back({stop->Fd(), POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (stop && fds.back().revents != 0) {
            stopped = true;
            break;
        }
        for (std::size_t i = 0; i < polled.size(); ++i)
            Listen(*polled[i], fds[i].revents, options.Formats);
    }
    for (Listener& l : listeners) {
        if (l.Done)
            continue;
        l.Port->Heard = stopped ? PortHeard::Stopped : Verdict(l);
        CloseListener(l);
    }
    return result;
}

QString HeardText(const HeardPort& port, const platform::FormatSettings& formats) {
    const QString cause =
        port.SystemError != 0
            ? QString::fromStdString(platform::SystemErrorOf(port.SystemError).Text)
            : QString();
    switch (port.Heard) {
    case PortHeard::Thermometer:
        return QStringLiteral("thermometer, %1 readings (%2)")
            .arg(port.Readings)
            .arg(formats.FormatTemperature(port.LastReading));
    case PortHeard::OneReading:
        return QStringLiteral("one reading (%1), too few to be sure")
            .arg(formats.FormatTemperature(port.LastReading));
    case PortHeard::NotReadings:
        return QStringLiteral("data that is not a reading");
    case PortHeard::NoData:
        return QStringLiteral("no data");
    case PortHeard::HungUp:
        return QStringLiteral("hung up");
    case PortHeard::InUse:
        return QStringLiteral("in use");
    case PortHeard::OwnPort:
        return QStringLiteral("this program's port (open)");
    case PortHeard::NoPermission:
        return QStringLiteral("permission denied (%1)")
            .arg(QString::fromStdString(platform::PermissionAdvice(port.Path))
                     .section(QStringLiteral(" (sudo"), 0, 0));
    case PortHeard::CannotOpen:
        return QStringLiteral("cannot be opened: %1").arg(cause);
    case PortHeard::Refused:
        return QStringLiteral("refused the line settings: %1").arg(cause);
    case PortHeard::Stopped:
        return QStringLiteral("search stopped");
    }
    return {};
}

QString HeardLine(const HeardPort& port, const platform::FormatSettings& formats) {
    QString line =
        QStringLiteral("COM%1  %2").arg(port.ComNumber).arg(QFile::decodeName(port.Path.c_str()));
    if (!port.Description.empty())
        line += QStringLiteral("  ") + QString::fromStdString(port.Description);
    return line + QStringLiteral("  ") + HeardText(port, formats);
}

QString TriedText(const PortSearchResult& result) {
    const int ports = result.Listened;
    if (ports == 0)
        return result.Ports.empty() ? QStringLiteral("no serial port found")
                                    : QStringLiteral("no serial port could be opened");
    QString text = QStringLiteral("listened on %1 port%2 for %3 s: ")
                       .arg(ports)
                       .arg(ports == 1 ? QString() : QStringLiteral("s"))
                       .arg(Seconds(result.ListenMs));
    const bool anyReading = std::any_of(result.Ports.begin(), result.Ports.end(),
                                        [](const HeardPort& p) { return p.Readings > 0; });
    return text + (anyReading ? QStringLiteral("no port sent two readings")
                              : QStringLiteral("no readings"));
}

QString UsualCauses() {
    return QStringLiteral(
        "The usual causes: no permission to open the port (join the dialout group and log in "
        "again), another program holds the port, or the thermometer is not connected.");
}

std::string StableNameOf(const std::string& path, const std::string& stableDir) {
    std::error_code ec;
    const fs::path device = fs::canonical(path, ec);
    if (ec || stableDir.empty())
        return {};
    const fs::path dir = fs::path(stableDir).lexically_normal();
    if (fs::path(path).lexically_normal().parent_path() == dir)
        return path;
    std::vector<fs::path> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec))
        if (fs::canonical(entry.path(), ec) == device && !ec)
            names.push_back(entry.path());
    if (names.empty())
        return {};
    return std::min_element(names.begin(), names.end())->string();
}

bool OffersStableName(const HeardPort& port) {
    return !port.StableName.empty() && port.StableName != port.Path;
}

void SavePortFound(const platform::AppPaths& paths, const HeardPort& port, bool asPort) {
    platform::IniFile ini(paths.IniPath());
    ini.BeginUpdate();
    if (asPort)
        ini.WriteInteger(QStringLiteral("Data"), QStringLiteral("COM"), port.ComNumber);
    if (OffersStableName(port))
        ini.WriteString(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(port.ComNumber),
                        QFile::decodeName(port.StableName.c_str()));
    ini.Commit();
    platform::SetMappedPorts(platform::ReadMappedPorts(ini));
}

// How the program running on `dir` takes a saved port: the services'
// directories (kelvox.service, kelvox@NAME.service) by a reload; a program
// with a window, which a hang-up would end, at its next start or through
// its options.
QString HowItIsTaken(const QString& dir) {
    const QString clean = QDir::cleanPath(dir);
    const QString services = QStringLiteral("/var/lib/kelvox");
    if (clean == services)
        return QStringLiteral("The service takes it with: systemctl reload kelvox");
    if (QFileInfo(clean).path() == services)
        return QStringLiteral("The service takes it with: systemctl reload kelvox@%1")
            .arg(QFileInfo(clean).fileName());
    return QStringLiteral("A Kelvox with a window takes it at its next start (or pick the port "
                          "in its options now); one running headless on this directory takes "
                          "it on SIGHUP (kill -HUP).");
}

int RunFindCommand(bool save, const platform::AppPaths& paths) {
    const QString iniPath = paths.IniPath();
    platform::IniFile ini(iniPath);
    // The names the settings give to ports are searched by those names.
    platform::SetMappedPorts(platform::ReadMappedPorts(ini));
    PortSearchOptions options;
    options.Formats = platform::FormatSettings::Current();
    const PortSearchResult result = SearchPorts(options);
    const platform::FormatSettings& formats = options.Formats;
    for (const HeardPort& port : result.Ports)
        std::printf("%s\n", HeardLine(port, formats).toLocal8Bit().constData());
    const std::vector<HeardPort> found = result.Thermometers();
    if (found.empty()) {
        std::printf("No thermometer found: %s.\n%s\n", TriedText(result).toLocal8Bit().constData(),
                    UsualCauses().toLocal8Bit().constData());
        std::fflush(stdout);
        return 1;
    }
    if (found.size() > 1) {
        std::printf("%zu thermometers found%s.\n", found.size(),
                    save ? ", nothing saved: connect only the one to use" : "");
        std::fflush(stdout);
        return 2;
    }
    const HeardPort& port = found.front();
    std::printf("Thermometer on COM%d.\n", port.ComNumber);
    if (!save) {
        std::fflush(stdout);
        return 0;
    }
    const QByteArray file = QFile::encodeName(QFileInfo(iniPath).fileName());
    try {
        SavePortFound(paths, port, /*asPort=*/true);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "kelvox: not saved: %s\n", e.what());
        return 3;
    }
    std::printf("Saved to %s: [Data] COM=%d", file.constData(), port.ComNumber);
    if (OffersStableName(port))
        std::printf(", [Ports] COM%d=%s", port.ComNumber, port.StableName.c_str());
    std::printf(". %s\n", HowItIsTaken(paths.Dir).toLocal8Bit().constData());
    std::fflush(stdout);
    return 0;
}

TPortSearch::TPortSearch(QObject* parent)
    : QObject(parent),
      Stop_(std::make_unique<platform::Event>(platform::Event::ResetMode::Manual)) {}

TPortSearch::~TPortSearch() {
    Stop();
}

bool TPortSearch::Start(const PortSearchOptions& options) {
    if (Running_)
        return false;
    if (Worker_.joinable())
        Worker_.join();
    Stop_->Reset();
    Running_ = true;
    Worker_ = std::thread([this, options] {
        pthread_setname_np(pthread_self(), "kelvox-find");
        auto result = std::make_shared<PortSearchResult>(SearchPorts(options, Stop_.get()));
        // Delivered on the owner's thread; dropped with the object if it
        // is destroyed first (the destructor joins this thread before).
        QMetaObject::invokeMethod(
            this, [this, result] { Finish(result); }, Qt::QueuedConnection);
    });
    return true;
}

void TPortSearch::Stop() {
    Stop_->Set();
    if (Worker_.joinable())
        Worker_.join();
    Running_ = false;
}

void TPortSearch::Finish(std::shared_ptr<PortSearchResult> result) {
    if (!Running_)
        return; // stopped: nobody waits for this result any more
    Running_ = false;
    if (Worker_.joinable())
        Worker_.join();
    if (OnFinished) {
        auto handler = OnFinished;
        handler(*result);
    }
}
