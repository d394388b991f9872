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
#include "monitor/Monitor.h"
#include "serial/AfComPort.h"
#include "widgets/uTrayIcon.h"

#include <QLabel>

namespace {

// More than this many 500 ms ticks without a converted reading: the device
// is taken to be silent (30.5 s at the earliest).
constexpr int kSilentTicks = 60;
// A reading that is arriving right then gets this many more ticks to reach
// its CR; a line that never ends cannot hold the watchdog off any longer.
constexpr int kPendingGraceTicks = 2;

} // namespace

bool TfMain::ReadingPending() const {
    return TReadingParser::ReadingInProgress(ReceivedText);
}

void TfMain::AfComPort1DataRecived(QObject* /*Sender*/, std::int32_t /*Count*/) {
    ReceivedText += AfComPort1->ReadString();
    ParseReceived();
}

// A new link starts clean: no text of the last one, no reading yet, and the
// silence counted from now (not from the last reading of the last link).
void TfMain::AfComPort1PortOpen(QObject* /*Sender*/) {
    ReceivedText.clear();
    Parser_.Reset();
    Label1->setText(QStringLiteral("-"));
    AddLog(QStringLiteral("OK  Serial port COM%1 opened.").arg(AfComPort1->ComNumber()));
    Monitor->LinkOpened();
}

void TfMain::AfComPort1PortClose(QObject* /*Sender*/) {
    AddLog(QStringLiteral("OK  Serial port closed!"));
    Label1->setText(QStringLiteral("-"));
    Monitor->LinkClosed();
}

// A line error (a hang-up of the device included) closes the port through
// the connect toggle. While the toggle's "choose a port" warning is already
// on screen the toggle does nothing, so the port stays open and the icon
// blinks, as it would after that warning.
void TfMain::AfComPort1LineError(QObject* /*Sender*/, std::uint32_t /*Errors*/) {
    AddLog(QStringLiteral("ERR  Error on serial port!"));
    if (Monitor->ToggleLink)
        Monitor->ToggleLink();
    Monitor->BlinkPhase = 1;
    if (!AfComPort1->Active())
        Monitor->PortLost(false);
}

void TfMain::Timer2Timer(QObject* /*Sender*/) {
    int& phase = Monitor->BlinkPhase;
    if (phase < 0 || phase > 2)
        phase = 1; // never index past the three pictures
    if (phase != 0) {
        TrayIkona1->SetIcon(TrayIcons[static_cast<std::size_t>(phase)]);
        ++phase;
        if (phase == 3)
            phase = 1;
    } else {
        TrayIkona1->SetIcon(TrayIcons[0]);
    }

    int& silence = Monitor->SilenceCount;
    ++silence;
    if (silence <= kSilentTicks || !AfComPort1->Active())
        return;
    if (ReadingPending() && silence <= kSilentTicks + kPendingGraceTicks)
        return;
    // The toggle's warning box runs a modal loop that keeps this timer
    // ticking. The tick that opened it resets the count once the box is
    // closed; until then no tick may log again or ask for a second box.
    if (Monitor->LinkWarningShowing && Monitor->LinkWarningShowing())
        return;
    AddLog(QStringLiteral("ERR  Measure error(No data for 30 sec)"));
    if (Monitor->ToggleLink)
        Monitor->ToggleLink();
    Monitor->BlinkPhase = 1;
    Monitor->SilenceCount = 0;
    if (!AfComPort1->Active())
        Monitor->PortLost(false);
}
