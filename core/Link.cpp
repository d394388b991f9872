#include "core/Link.h"

#include "core/EventLog.h"
#include "core/Settings.h"
#include "platform/CommDevice.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"
#include "serial/AfComPort.h"
#include "serial/AfComPortCore.h"

#include <cerrno>

namespace {

// What the user can do about a failed open (for a refused permission: the
// device path and the dialout group), or an empty text.
QString OpenFailureHint(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const EAfComPortCoreError& e) {
        return QString::fromStdString(e.Hint());
    } catch (...) {
    }
    return {};
}

// Why an open failed, as the link's word: the device is not there, or it
// is there and refuses this program.
LinkState OpenFailureState(const std::exception_ptr& error, int comNumber) {
    if (platform::ProbeComPort(comNumber) == platform::PortProbe::Absent)
        return LinkState::Missing;
    try {
        std::rethrow_exception(error);
    } catch (const EAfComPortCoreError& e) {
        const int err = e.SystemError();
        if (err == ENOENT || err == ENXIO || err == ENODEV)
            return LinkState::Missing;
    } catch (...) {
    }
    return LinkState::Denied;
}

} // namespace

TLink::TLink(TSettingsModel& settings, TEventLog& log, std::function<QDateTime()> clock,
             QObject* parent)
    : QObject(parent), Settings_(settings), Log_(log), Clock_(std::move(clock)) {
    Tick_.setObjectName(QStringLiteral("Timer2"));
    Tick_.setInterval(BlinkMs);
    // A deadline rather than a count of ticks; precise, since a coarse timer
    // may fire 5 % (here 1.5 s) early or late.
    // The silence watchdog: one deadline, armed while the port is open and
    // moved by each converted reading. A child of the link, by that name.
    Silence_.setObjectName(QStringLiteral("SilenceDeadline"));
    Silence_.setParent(this); // a member: it leaves the children before the link goes
    Silence_.setSingleShot(true);
    Silence_.setTimerType(Qt::PreciseTimer);
    Reconnect_.setObjectName(QStringLiteral("ReconnectTimer"));
    Reconnect_.setInterval(ReconnectMs);

    Port_ = new TAfComPort(this);
    Port_->setObjectName(QStringLiteral("AfComPort1"));
    Port_->SetBaudRate(br9600);
    Port_->SetComNumber(1);
    Port_->OnDataRecived = [this](QObject*, std::int32_t) { DataReceived(); };
    Port_->OnLineError = [this](QObject*, std::uint32_t errors) { LineError(errors); };
    Port_->OnPortOpen = [this](QObject*) { PortOpened(); };
    Port_->OnPortClose = [this](QObject*) { PortClosed(); };
    Port_->Loaded();

    connect(&Tick_, &QTimer::timeout, this, &TLink::OnTick);
    connect(&Silence_, &QTimer::timeout, this, &TLink::OnSilence);
    connect(&Reconnect_, &QTimer::timeout, this, &TLink::Retry);
    connect(&Settings_, &TSettingsModel::Changed, this, [this](Setting id) {
        // An open port changes its number only through a reload, which
        // decides whether the device changed.
        if (id == Setting::COM && !Port_->Active())
            SetComNumber(Settings_.Integer(Setting::COM));
        else if (id == Setting::AutoReconnect && !Settings_.Check(Setting::AutoReconnect))
            StopReconnect();
    });
}

TLink::~TLink() {
    // The port goes first and quietly: its handlers use this object.
    delete Port_;
    Port_ = nullptr;
}

bool TLink::Open() const {
    return Port_->Active();
}

int TLink::ComNumber() const {
    return Port_->ComNumber();
}

void TLink::SetComNumber(int number) {
    if (Port_->ComNumber() != number)
        Port_->SetComNumber(static_cast<std::uint16_t>(number));
}

void TLink::LookAtPort() {
    const int number = Port_->ComNumber();
    // Held by this very program it reads in use, which is present too.
    PortChosen_ = number > 0 && platform::ProbeComPort(number) != platform::PortProbe::Absent;
}

void TLink::Toggle(Caller who) {
    const bool user = who == Caller::User;
    if (user)
        StopReconnect();
    // Reconnecting by itself, the program goes by the port's number alone:
    // nobody is there to answer a question.
    const bool unattended = !user && Settings_.Check(Setting::AutoReconnect);
    if (!unattended && !PortChosen_) {
        // Re-entered from the message's own modal loop (the watchdog or a
        // line error): the user is being told already.
        if (WarningShowing_)
            return;
        WarningShowing_ = true;
        platform::MessageRequest warning;
        warning.Text = QStringLiteral("At first choose COM port");
        warning.Icon = platform::MsgIcon::Warning;
        if (WarningPresenter_)
            WarningPresenter_(warning);
        else
            platform::ShowMessage(warning);
        WarningShowing_ = false;
        // The silence that went on while the box was open is not counted:
        // the watchdog waits another 30 s before it asks again.
        if (Port_->Active())
            ArmSilence();
        return;
    }
    if (Port_->Active()) {
        Port_->Close();
        return;
    }
    if (!OpenPort(/*retry=*/false) && !user)
        PortLost(/*failureLogged=*/true);
}

bool TLink::OpenPort(bool retry) {
    try {
        Port_->Open(); // PortOpened logs the opened line inside
        BlinkPhase_ = 0;
        return true;
    } catch (...) {
        // A round of retries logs its first failure only.
        if (!retry || !ReconnectFailureLogged_) {
            Log_.Add(QStringLiteral("ERR  Port can't be opened!"));
            if (const QString hint = OpenFailureHint(std::current_exception()); !hint.isEmpty())
                Log_.Add(QStringLiteral("ERR  ") + hint);
        }
        Blink();
        SetState(OpenFailureState(std::current_exception(), Port_->ComNumber()));
        return false;
    }
}

void TLink::Reopen() {
    if (!Port_->Active() && !OpenPort(/*retry=*/false))
        PortLost(/*failureLogged=*/true);
}

void TLink::PortLost(bool failureLogged) {
    if (!Settings_.Check(Setting::AutoReconnect))
        return;
    if (Reconnect_.isActive()) {
        ReconnectFailureLogged_ = ReconnectFailureLogged_ || failureLogged;
        return;
    }
    ReconnectFailureLogged_ = failureLogged;
    Reconnect_.start();
    emit StatusChanged();
}

void TLink::StopReconnect() {
    const bool wasRetrying = Reconnect_.isActive();
    Reconnect_.stop();
    ReconnectFailureLogged_ = false;
    if (wasRetrying)
        emit StatusChanged();
}

void TLink::Retry() {
    if (!Settings_.Check(Setting::AutoReconnect) || Port_->Active()) {
        StopReconnect();
        return;
    }
    LookAtPort();
    emit RetryStarting();
    if (!OpenPort(/*retry=*/true))
        ReconnectFailureLogged_ = true;
}

bool TLink::ReadingPending() const {
    return TReadingParser::ReadingInProgress(ReceivedText_);
}

void TLink::Feed(const std::string& text) {
    ReceivedText_ += text;
    const platform::FormatSettings& fs = platform::FormatSettings::Current();
    QDateTime when; // one clock reading for all readings of this arrival
    const TParseResult result = Parser_.Parse(ReceivedText_, fs, [&](long double raw) {
        if (!when.isValid())
            when = Clock_();
        // The one place where a reading enters the program: calibrated here,
        // every consumer gets the same value.
        const long double value = Gain_ * raw + Offset_;
        RawTemperature_ = raw;
        Temperature_ = value;
        LastReading_ = when;
        SetState(LinkState::Connected);
        SetLive(true);
        emit Reading(value, when);
    });
    if (result.LastFailed) {
        Temperature_ = RawTemperature_ = NoReading;
        SetLive(false);
        SetState(LinkState::Unreadable);
        emit ReadingLost();
    }
    if (result.Converted > 0) {
        if (Port_->Active())
            ArmSilence();
        Display_ = fs.FormatTemperature(Temperature_) + QStringLiteral("\u00B0C");
        emit DisplayChanged(Display_);
    }
    if (result.Converted > 0 || result.LastFailed)
        emit StatusChanged();
}

void TLink::DataReceived() {
    Feed(Port_->ReadString());
}

// A new link starts clean: no text of the last one, no reading yet, and the
// silence counted from now (not from the last reading of the last link).
void TLink::PortOpened() {
    ReceivedText_.clear();
    Parser_.Reset();
    Display_ = QStringLiteral("-");
    emit DisplayChanged(Display_);
    if (const platform::CommDevice* device = Port_->Core().PortHandle())
        if (const std::string notice = device->OpenNotice(); !notice.empty())
            Log_.Add(QStringLiteral("OK  Serial port COM%1: %2.")
                         .arg(Port_->ComNumber())
                         .arg(QString::fromLocal8Bit(notice.c_str())));
    Log_.Add(QStringLiteral("OK  Serial port COM%1 opened.").arg(Port_->ComNumber()));
    Temperature_ = RawTemperature_ = NoReading;
    ArmSilence();
    BlinkPhase_ = 0;
    StopReconnect();
    // A thermometer that fell silent stays so until it sends again.
    SetState(State_ == LinkState::Silent ? LinkState::Silent : LinkState::Connected);
    emit LinkChanged(true);
}

void TLink::PortClosed() {
    Log_.Add(QStringLiteral("OK  Serial port closed!"));
    Silence_.stop();
    Display_ = QStringLiteral("-");
    emit DisplayChanged(Display_);
    Temperature_ = RawTemperature_ = NoReading;
    SetLive(false);
    SetState(CloseReason_);
    CloseReason_ = LinkState::Closed;
    emit LinkChanged(false);
}

void TLink::SetLive(bool live) {
    if (live == Live_)
        return;
    Live_ = live;
    emit LiveChanged(live);
}

void TLink::SetState(LinkState state) {
    if (state == State_)
        return;
    State_ = state;
    emit StateChanged(state);
}

// A line error (a hang-up of the device included) closes the port through
// the connect toggle. While the toggle's "choose a port" message is on
// screen the toggle does nothing, so the port stays open and the icon
// blinks, as it would after that message.
void TLink::LineError(std::uint32_t errors) {
    Log_.Add(QStringLiteral("ERR  Error on serial port!"));
    CloseReason_ = (errors & win::CE_IOE) ? LinkState::Missing : LinkState::Unreadable;
    Toggle(Caller::Program);
    CloseReason_ = LinkState::Closed;
    Blink();
    if (!Port_->Active())
        PortLost(false);
}

void TLink::SetIconShown(bool shown) {
    IconShown_ = shown;
    // A blinking icon, or one left showing a blink frame, needs the tick.
    if (shown && (BlinkPhase_ != 0 || ShownFrame_ != 0) && !Tick_.isActive())
        Tick_.start();
    else if (!shown)
        Tick_.stop();
}

void TLink::Blink() {
    BlinkPhase_ = 1;
    if (IconShown_ && !Tick_.isActive())
        Tick_.start();
}

void TLink::ArmSilence() {
    SilenceGraced_ = false;
    Silence_.start(SilenceLimitMs_);
}

void TLink::OnTick() {
    ShownFrame_ = BlinkPhase_;
    emit IconFrame(BlinkPhase_);
    if (BlinkPhase_ == 0) {
        Tick_.stop(); // steady again: nothing to tick for
        return;
    }
    ++BlinkPhase_;
    if (BlinkPhase_ == 3)
        BlinkPhase_ = 1;
}

void TLink::OnSilence() {
    // The toggle's message runs a modal loop; the toggle arms the deadline
    // afresh once it is closed, so no silence is reported while it shows.
    if (WarningShowing_ || !Port_->Active())
        return;
    if (ReadingPending() && !SilenceGraced_) {
        SilenceGraced_ = true;
        Silence_.start(PendingGraceMs);
        return;
    }
    Log_.Add(QStringLiteral("ERR  Measure error(No data for 30 sec)"));
    SetLive(false);
    SetState(LinkState::Silent);
    CloseReason_ = LinkState::Silent;
    Toggle(Caller::Program);
    CloseReason_ = LinkState::Closed;
    Blink();
    if (Port_->Active())
        ArmSilence(); // nothing could close it: asked again after the next silence
    else
        PortLost(false);
}
