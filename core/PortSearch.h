// Finding the thermometer among the serial ports by listening only.
//
// A search takes every port that exists, as the port list probes them, and
// opens the free ones read-only the way a port is opened (UUCP locks, flock
// and the tty's exclusive flag respected: a port another program holds, this
// program's own open port included, is only reported as in use). It applies
// the program's line settings, writes nothing, and listens to all of them at
// once in one poll loop, so a search lasts its time limit however many ports
// there are. A port where at least two lines convert as readings do is a
// thermometer. Each port is closed, with the line settings it had put back,
// as soon as it is decided, and every other one at the time limit, however
// much a device keeps sending.
//
// Opening a port raises its DTR and RTS lines, which resets some devices:
// the search runs only when the user asks for it.
#pragma once

#include "platform/AppPaths.h"
#include "platform/CommDevice.h"
#include "platform/FormatSettings.h"
#include "platform/PortMap.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class Event;
class IniFile;
} // namespace platform

// What a search heard on one port.
enum class PortHeard {
    Thermometer,  // at least two readings
    OneReading,   // one reading only: too few to be sure
    NotReadings,  // data, but no line converted
    NoData,       // silence for the whole time
    HungUp,       // the device went away while listened to
    InUse,        // another program holds it
    OwnPort,      // the port this very program holds open
    NoPermission, // the user may not open it
    CannotOpen,   // any other failure to open it
    Refused,      // it refused the line settings
    Stopped,      // the search was stopped before the time limit
};

struct HeardPort {
    int ComNumber = 0;
    std::string Path;        // the device path COM n resolves to
    std::string Description; // "ttyUSB0 (FT232R USB UART)"
    // A name of the same device that survives replugging (a link in
    // /dev/serial/by-id), when there is one.
    std::string StableName;
    PortHeard Heard = PortHeard::NoData;
    int Readings = 0;
    long double LastReading = 0;
    int SystemError = 0; // why it could not be opened or set up
};

struct PortSearchOptions {
    int MaxComPorts = 255; // COM 1 up to this number, as the port list
    int ListenMs = 3000;
    win::DCB Line = platform::DefaultDcb(); // 9600 8N1
    platform::FormatSettings Formats;       // the decimal separator of readings
    platform::PortOpenContext Open;         // always opened read-only
    std::string SysfsRoot = "/sys";
    std::string StableDir = "/dev/serial/by-id";
    // The port this program holds open (0: none): listed as its own, not as
    // held by another program, and not listened to.
    int OwnPort = 0;
};

struct PortSearchResult {
    std::vector<HeardPort> Ports; // every port that exists, by COM number
    int ListenMs = 0;
    int Listened = 0; // ports that were opened and listened to
    std::vector<HeardPort> Thermometers() const;
};

// Runs a search to its end: at most options.ListenMs after the ports are
// opened, sooner when every port is decided or `stop` (may be null) is set.
// Blocks; any thread.
PortSearchResult SearchPorts(const PortSearchOptions& options,
                             const platform::Event* stop = nullptr);

// What was heard, for a person: "thermometer, 2 readings (21.4)", "in use",
// "permission denied (join the dialout group)", "no data", ...
QString HeardText(const HeardPort& port, const platform::FormatSettings& formats);
// One port in one line: "COM3  /dev/pts/4  pts/4  thermometer, 2 readings (21.4)".
QString HeardLine(const HeardPort& port, const platform::FormatSettings& formats);
// What a search that found nothing tried: "listened on 3 ports for 3 s: no
// readings", or "no serial port could be opened".
QString TriedText(const PortSearchResult& result);
// The usual reasons why a thermometer is not found.
QString UsualCauses();

// The first entry of `stableDir` (sorted by name) that leads to the same
// device as `path`, as a path in that directory; `path` itself when it is
// one already; empty when there is none.
std::string StableNameOf(const std::string& path, const std::string& stableDir);
// True when the port has a stable name other than the path it was found by.
bool OffersStableName(const HeardPort& port);

// Writes the port found into the settings file of `paths` in one
// replacement that keeps everything else: "[Ports] COM<n>=<stable name>"
// when it offers one, and with `asPort` also "[Data] COM=<n>". Then takes
// the file's [Ports] table as the mapped ports. Throws std::runtime_error
// when the file cannot be written (nothing changes then). Main thread.
// Within a running program TKelvoxCore::RememberStableName is the way.
void SavePortFound(const platform::AppPaths& paths, const HeardPort& port, bool asPort);

// kelvox --find [--save]: searches, prints one line per port on standard
// output, and with `save` writes the one thermometer found (COM and, for a
// stable name, the [Ports] entry) to the settings file in one replacement
// that keeps everything else. Exit code: 0 one thermometer, 1 none, 2 several,
// 3 when it could not be saved. Main thread, QCoreApplication running.
// The settings file is the one of the application directory `paths`.
int RunFindCommand(bool save, const platform::AppPaths& paths);

// A search on a worker thread of its own, for the windows: the window stays
// live, and OnFinished runs on the owner's thread with the result.
// Destroying it (or Stop) ends the listening at once and closes the ports.
// Owner's thread only.
class TPortSearch : public QObject {
    Q_OBJECT
public:
    explicit TPortSearch(QObject* parent = nullptr);
    ~TPortSearch() override;

    // False when a search is running already.
    bool Start(const PortSearchOptions& options);
    bool Running() const { return Running_; }
    void Stop();

    std::function<void(const PortSearchResult&)> OnFinished;

private:
    void Finish(std::shared_ptr<PortSearchResult> result);

    std::unique_ptr<platform::Event> Stop_;
    std::thread Worker_;
    bool Running_ = false;
};
