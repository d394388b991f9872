// The serial link as the main window sees it: received text handed to the
// parser, the port's open, close and line-error events turned into event log
// lines and status colours, and the 500 ms tick that animates the tray icon
// and closes a port whose thermometer has gone quiet.
//
// Main thread only. The port's events are delivered by its event thread as a
// blocking hand-off, so these handlers run while that thread waits; closing
// the port from inside one of them is prompt (the component refuses the
// waiting hand-off instead of letting it run into its time limit).
#include "app/uMain.h"
#include "serial/AfComPort.h"
#include "settings/uSettings.h"
#include "widgets/uTrayIcon.h"

#include <QPushButton>

namespace {

constexpr std::uint32_t kLampOpen = 0x008000;   // green
constexpr std::uint32_t kLampClosed = 0x0000FF; // red
// More than this many 500 ms ticks without a good reading: the device is
// taken to be silent (30.5 s at the earliest).
constexpr int kSilentTicks = 60;

} // namespace

bool TfMain::ReadingPending() const {
    const std::size_t cr = ReceivedText.rfind('\r');
    if (cr == std::string::npos)
        return !ReceivedText.empty();
    return cr + 1 < ReceivedText.size();
}

void TfMain::AfComPort1DataRecived(QObject* /*Sender*/, std::int32_t /*Count*/) {
    ReceivedText += AfComPort1->ReadString();
    ParseReceived();
}

void TfMain::AfComPort1PortOpen(QObject* /*Sender*/) {
    AddLog(QStringLiteral("OK  Serial port COM%1 opened.").arg(AfComPort1->ComNumber()));
    if (fSettings)
        fSettings->shState->SetBrushColor(kLampOpen);
    BlinkPhase = 0;
}

void TfMain::AfComPort1PortClose(QObject* /*Sender*/) {
    AddLog(QStringLiteral("OK  Serial port closed!"));
    if (fSettings)
        fSettings->shState->SetBrushColor(kLampClosed);
}

// A line error (a hang-up of the device included) closes the port through
// the connect toggle. While the toggle's "choose a port" warning is already
// on screen the toggle does nothing (see TfSettings::bConnClick), so the port
// stays open and the icon blinks, as it would after that warning.
void TfMain::AfComPort1LineError(QObject* /*Sender*/, std::uint32_t /*Errors*/) {
    AddLog(QStringLiteral("ERR  Error on serial port!"));
    if (fSettings)
        fSettings->bConnClick(fSettings->bConn);
    BlinkPhase = 1;
}

void TfMain::Timer2Timer(QObject* /*Sender*/) {
    if (BlinkPhase < 0 || BlinkPhase > 2)
        BlinkPhase = 1; // never index past the three pictures
    if (BlinkPhase != 0) {
        TrayIkona1->SetIcon(TrayIcons[static_cast<std::size_t>(BlinkPhase)]);
        ++BlinkPhase;
        if (BlinkPhase == 3)
            BlinkPhase = 1;
    } else {
        TrayIkona1->SetIcon(TrayIcons[0]);
    }

    ++SilenceCount;
    if (SilenceCount <= kSilentTicks || ReadingPending() || !AfComPort1->Active())
        return;
    // The toggle's warning box runs a modal loop that keeps this timer
    // ticking. The tick that opened it resets the count once the box is
    // closed; until then no tick may log again or ask for a second box.
    if (fSettings && fSettings->ConnWarningShowing())
        return;
    AddLog(QStringLiteral("ERR  Measure error(No data for 30 sec)"));
    if (fSettings)
        fSettings->bConnClick(fSettings->bConn);
    BlinkPhase = 1;
    SilenceCount = 0;
}
