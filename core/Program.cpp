#include "core/Program.h"

#include "core/Core.h"
#include "platform/AppPaths.h"
#include "platform/FileStore.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"
#include "platform/OutputEcho.h"
#include "platform/PortMap.h"
#include "platform/Process.h"
#include "platform/SignalPipe.h"
#include "platform/SystemdNotify.h"
#include "platform/UrlRedact.h"

#include <QCoreApplication>
#include <QFile>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

namespace {

// The first line a service's journal shows: where the files are, which port
// and which server. A password in the URL stays out of the log.
QString headlessStartLine(TKelvoxCore& core) {
    const int com = core.Link().ComNumber();
    const std::string device = platform::ComPortPath(com);
    const QString url = platform::RedactUrlCredentials(core.Settings().Text(Setting::TargetURL));
    QString line =
        QStringLiteral("kelvox %1 headless: application directory %2, port COM%3 (%4), "
                       "target URL %5")
            .arg(QStringLiteral(KELVOX_VERSION), core.Paths().Dir, QString::number(com),
                 device.empty() ? QStringLiteral("no such port") : QString::fromStdString(device),
                 url.isEmpty() ? QStringLiteral("(none)") : url);
    // The broker as host and port only: a user or password never shows.
    const MqttSettings mqtt = core.MqttSettingsNow();
    if (!mqtt.Broker.trimmed().isEmpty()) {
        QString error;
        const std::optional<MqttBroker> broker = ParseMqttBroker(mqtt.Broker, &error);
        const std::optional<QString> topic = MqttBaseTopic(mqtt.Topic, &error);
        if (broker && topic)
            line += QStringLiteral(", MQTT %1://%2:%3 topic %4")
                        .arg(broker->Tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
                             broker->Host, QString::number(broker->Port), *topic);
        else
            line += QStringLiteral(", MQTT off (%1)").arg(error);
    }
    // The address only: the token is never shown.
    const QString series = core.Settings().Text(Setting::TimeSeriesURL).trimmed();
    if (!series.isEmpty())
        line += QStringLiteral(", time series %1").arg(platform::RedactUrlCredentials(series));
    return line;
}

// The service's one-line status: temperature, port and the last send.
platform::ServiceStatus serviceStatus(TKelvoxCore& core, const QDateTime& lastSend,
                                      const QString& lastFailure) {
    platform::ServiceStatus status;
    TLink& link = core.Link();
    status.Temperature = link.Live() ? link.Display() : QString();
    status.Port = QStringLiteral("COM%1").arg(link.ComNumber());
    status.PortState = LinkStateWord(link.State());
    status.Reconnecting = !link.Open() && link.ReconnectTimer()->isActive();
    status.Alarm = AlarmSummary(core.Alarm().Current());
    if (lastSend.isValid()) {
        status.LastSend = lastFailure.isEmpty() ? platform::ServiceSendResult::Ok
                                                : platform::ServiceSendResult::Failed;
        status.LastSendTime = platform::FormatSettings::Current().FormatLongTime(lastSend);
        status.LastSendError = lastFailure;
    }
    const TimeSeriesStatus series = core.TimeSeries().Status();
    if (series.State != TimeSeriesState::Off)
        status.TimeSeries = TimeSeriesStatusText(series, core.Now());
    return status;
}

// Only one instance may work on an application directory: a second one
// would write the same logs and settings. Empty when this instance holds
// it; else the exit code of this start: 0 when the running instance showed
// its window at the windows' request, 1 when another instance has it or
// the lock cannot be taken (the user has been told).
std::optional<int> lockApplicationDirectory(const QString& dir, ProgramViews* views) {
    QString error;
    switch (platform::LockApplicationDirectory(dir, &error)) {
    case platform::InstanceLock::Held:
        return std::nullopt;
    case platform::InstanceLock::Busy:
        // A second start from the menu means "show me the program".
        if (views && views->AskRunningInstanceToShow(dir))
            return 0;
        if (!views) {
            std::fprintf(stderr, "%skelvox: Kelvox is already running (application directory %s)\n",
                         platform::ErrorPrefix().toLatin1().constData(),
                         QFile::encodeName(dir).constData());
        } else {
            platform::MessageRequest box;
            box.Text = QStringLiteral("Kelvox is already running");
            box.Caption = platform::ApplicationTitle();
            box.Icon = platform::MsgIcon::Warning;
            platform::ShowMessage(box);
        }
        return 1;
    case platform::InstanceLock::Failed:
        // Without the lock a second instance could run beside this one and
        // both would upload and write the same files: the start ends here.
        std::fprintf(stderr, "%skelvox: cannot lock the application directory: %s\n",
                     platform::ErrorPrefix().toLatin1().constData(),
                     error.toLocal8Bit().constData());
        return 1;
    }
    return 1;
}

} // namespace

void EchoEventLog(TEventLog& log) {
    QObject::connect(&log, &TEventLog::LineAdded, &log,
                     [](const QString& line, const QString& text) {
                         platform::EchoToStdout(platform::JournalPrefix(text) + line);
                     });
}

namespace {

// One run of the program, step by step: the directory is taken, the core
// built around the views, the service manager and the signals connected,
// then the core started and the event loop served. Main thread.
class ProgramRun {
public:
    ProgramRun(QCoreApplication& app, ProgramViews* views, platform::AppPaths paths)
        : App_(app), Views_(views), Paths_(std::move(paths)) {
        // Until the directory is this run's, the one event loop that can run
        // is the box saying that another instance has it: a stop ends that
        // box and the start (also one that came while the running instance
        // was asked to show itself: it waits in the pipe for the box's loop).
        Relay_.OnSignal = [views](int signo) {
            if (signo == SIGINT || signo == SIGTERM || (signo == SIGHUP && views))
                QCoreApplication::exit(1);
        };
    }

    // Empty when this run holds the application directory; else the exit
    // code of this start.
    std::optional<int> TakeDirectory();
    void BuildCore();
    // systemd's notify protocol, when systemd started the program with it.
    void ConnectServiceManager();
    void ConnectSignals();
    // Starts the core and serves the event loop until the close; the exit
    // code.
    int StartAndServe();
    // The windows go, then the core; what the echo holds is written.
    void Teardown();

private:
    QCoreApplication& App_;
    ProgramViews* Views_;
    platform::AppPaths Paths_;
    platform::SignalRelay Relay_;
    std::unique_ptr<TKelvoxCore> Core_;
    std::optional<platform::SystemdNotify> Notify_;
    // The first problem of the last reload, until one succeeds.
    QString ReloadFailure_;
    // Sends the service's status line (nothing without the notify socket).
    std::function<void()> UpdateStatus_ = [] {};
};

std::optional<int> ProgramRun::TakeDirectory() {
    if (const std::optional<int> refused = lockApplicationDirectory(Paths_.Dir, Views_))
        return refused;
    // Left behind by a save that was killed half-way; this instance owns the
    // directory now, so no other save can be using it.
    platform::RemoveStaleTemporary(Paths_.IniPath());
    return std::nullopt;
}

void ProgramRun::BuildCore() {
    CoreDeps deps;
    deps.Paths = Paths_;
    deps.MinuteMs = platform::MinuteMs();
    deps.Headless = !Views_;
    Core_ = std::make_unique<TKelvoxCore>(std::move(deps));
    QObject::connect(Core_.get(), &TKelvoxCore::Closed, &App_, &QCoreApplication::quit);
    if (Views_) {
        Views_->Build(*Core_);
        return;
    }
    EchoEventLog(Core_->Log());
    // The start-up line leads the journal, even before the lines of an
    // automatic connect made while the settings load.
    TKelvoxCore* c = Core_.get();
    platform::SetEchoHeader([c] { return platform::JournalPrefix({}) + headlessStartLine(*c); });
}

void ProgramRun::ConnectServiceManager() {
    platform::SystemdNotify& notify = Notify_.emplace();
    QObject::connect(Core_.get(), &TKelvoxCore::CloseStarted, &notify,
                     &platform::SystemdNotify::Stopping);
    QObject::connect(&notify, &platform::SystemdNotify::Dropped, &Core_->Log(), &TEventLog::Add);
    if (!notify.Active())
        return;
    auto lastSend = std::make_shared<std::pair<QDateTime, QString>>();
    UpdateStatus_ = [this, lastSend] {
        const QString status =
            platform::ServiceStatusText(serviceStatus(*Core_, lastSend->first, lastSend->second));
        Notify_->SetStatus(
            ReloadFailure_.isEmpty()
                ? status
                : QStringLiteral("reload failed: %1; %2").arg(ReloadFailure_, status));
    };
    QObject::connect(&Core_->Upload(), &TUploader::Sent, &notify,
                     [this, lastSend](const QDateTime& when, const QString& failure) {
                         *lastSend = {when, failure};
                         UpdateStatus_();
                     });
    const auto update = [this] { UpdateStatus_(); };
    QObject::connect(&Core_->Link(), &TLink::StatusChanged, &notify, update);
    QObject::connect(&Core_->Link(), &TLink::LinkChanged, &notify, update);
    QObject::connect(&Core_->Link(), &TLink::StateChanged, &notify, update);
    QObject::connect(&Core_->Alarm(), &TAlarm::StateChanged, &notify, update);
    QObject::connect(&Core_->TimeSeries(), &TTimeSeries::StatusChanged, &notify, update);
}

void ProgramRun::ConnectSignals() {
    Relay_.OnSignal = [this](int signo) {
        if (signo == SIGUSR1) {
            Core_->Upload().Send(/*manual=*/true);
        } else if (signo == SIGHUP && !Views_) {
            // Headless, a hang-up is the service manager's "reload".
            Notify_->Reloading();
            ReloadFailure_ = Core_->Reload();
            Notify_->Ready();
            UpdateStatus_();
        } else if (Views_) {
            Views_->CloseBySignal();
        } else {
            Core_->Close(/*quiet=*/true);
        }
    };
}

int ProgramRun::StartAndServe() {
    try {
        Core_->Start();
    } catch (...) {
        platform::HandleApplicationException(std::current_exception());
        return 1;
    }
    if (Views_)
        Views_->Show();
    else
        platform::EchoHeaderNow();
    // The settings are read and the first open was tried.
    Notify_->Ready();
    const int rc = App_.exec();
    // A service manager must see that something was not saved.
    return rc == 0 && Core_->SaveFailedAtClose() ? 1 : rc;
}

void ProgramRun::Teardown() {
    if (Views_)
        Views_->Teardown();
    Core_.reset();
    platform::FlushEcho();
}

} // namespace

int RunProgram(QCoreApplication& app, ProgramViews* views, const platform::AppPaths& paths) {
    ProgramRun run(app, views, paths);
    if (const std::optional<int> refused = run.TakeDirectory())
        return *refused;
    run.BuildCore();
    run.ConnectServiceManager();
    run.ConnectSignals();
    const int rc = run.StartAndServe();
    run.Teardown();
    return rc;
}
