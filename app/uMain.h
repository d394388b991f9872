// The main window: temperature display, event log, tray menu, the serial
// port and the timers; the state it shares with the options dialog lives in
// `Monitor` (monitor/Monitor.h), which it creates. One instance, `fMain`, created at start-up and
// kept until exit; it is only shown and hidden. Everything here runs on the main thread.
#pragma once

#include "monitor/ReadingParser.h"

#include <QIcon>
#include <QPointer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <string>

class QAction;
class QCloseEvent;
class QFrame;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class TAfComPort;
class TTrayIkona;
class TemperatureHistory;
class TfHistory;

class TfMain : public QWidget {
    Q_OBJECT
public:
    explicit TfMain(QWidget* parent = nullptr);
    ~TfMain() override;

    // Controls (named with setObjectName so tests can find them).
    QFrame* Panel2 = nullptr;        // title area
    QFrame* Panel4 = nullptr;        // title strip, the drag handle
    QLabel* Label3 = nullptr;        // "Temperature"
    QLabel* Label1 = nullptr;        // the temperature text
    QPushButton* Button2 = nullptr;  // log toggle
    QPushButton* bHistory = nullptr; // opens the history chart
    QFrame* Panel1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr; // the event log
    QFrame* Panel3 = nullptr;
    QPushButton* Button1 = nullptr; // "Options"
    QPushButton* bClose = nullptr;  // "Hide"

    QMenu* PopupMenu1 = nullptr;
    QAction* Obnovit1 = nullptr; // "Restore" (toggles)
    QAction* History1 = nullptr; // "History"
    QAction* N1 = nullptr;       // separator
    QAction* Ukonit1 = nullptr;  // "Close"

    QTimer* Timer1 = nullptr; // upload period; interval = period x MinuteMs()
    QTimer* Timer2 = nullptr; // 500 ms tick of the link watchdog and icon blinking

    // The thermometer's serial port (9600 Bd, COM1 until the settings say
    // otherwise). Its events arrive on the main thread. Owned by this window;
    // destroyed with it, which closes an open port without OnPortClose.
    TAfComPort* AfComPort1 = nullptr;
    // The notification-area icon; shows TrayIcons[BlinkPhase] (set by Timer2)
    // and PopupMenu1 on a right press. Without a tray host it shows nothing.
    TTrayIkona* TrayIkona1 = nullptr;

    // Index 0 "NORMAL", 1 "BLIK0", 2 "BLIK1".
    std::array<QIcon, 3> TrayIcons;

    // The converted readings of the last 7 days, one point per minute, for
    // the history chart. Owned by this window.
    TemperatureHistory* History = nullptr;

    // Received bytes not yet consumed by ParseReceived(): the text after the
    // last CR. Appended to by the data handler (and tests), then
    // ParseReceived() is called; emptied when the port opens.
    std::string ReceivedText;

    // Appends "<long time> >  <text>" to Memo1; when headless also writes the
    // line to standard output (flushed at once).
    void AddLog(const QString& text);

    // Judges every complete (CR-ended) line in ReceivedText. The current
    // temperature follows the last one: its value, or the no-reading value
    // when it failed. Label1 shows the last reading converted, and each
    // converted reading restarts the silence count.
    void ParseReceived();

    // True while ReceivedText holds the start of a reading (a sign) still
    // waiting for its CR.
    bool ReadingPending() const;

    // Appends the lines of Memo1 not saved yet to today's event log file, so
    // the file keeps the lines of every run of the day, oldest first (CR LF
    // line ends). All of them are appended or none; the file is created
    // even when there is nothing to add. Throws
    // std::runtime_error when the file cannot be written.
    void SaveEventLog();

    // True when FormClose could not save the settings or the event log; the
    // program then ends with a non-zero exit code.
    bool SaveFailedAtClose() const { return SaveFailedAtClose_; }

    // Handlers.
    void FormCreate(QObject* Sender);
    void FormShow(QObject* Sender);
    void FormClose(QObject* Sender);
    void FormDestroy(QObject* Sender);
    void pTitleMouseDown(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift,
                         int X, int Y);
    void Button2Click(QObject* Sender);
    void bCloseClick(QObject* Sender);
    void Button1Click(QObject* Sender);
    void Obnovit1Click(QObject* Sender);
    void TrayIkona1DblClick(QObject* Sender);
    void Ukonit1Click(QObject* Sender);
    // Opens the history window, or brings the open one to the front. The
    // first time, the days before the start are read from the temperature
    // logs.
    void History1Click(QObject* Sender);
    // The open history window, or null.
    TfHistory* HistoryWindow() const;
    // The upload: an automatic send when Sender is Timer1, a manual one when
    // it is a button; nothing once the close has begun. Defined in
    // uMainUpload.cpp.
    void Timer1Timer(QObject* Sender);

    // Serial link handlers (uMainLink.cpp). The port's handlers run on the
    // main thread inside the delivery of a serial event.
    void AfComPort1DataRecived(QObject* Sender, std::int32_t Count);
    void AfComPort1PortOpen(QObject* Sender);
    void AfComPort1PortClose(QObject* Sender);
    void AfComPort1LineError(QObject* Sender, std::uint32_t Errors);
    // Every 500 ms: the tray icon's picture (steady or blinking) and the
    // silence watchdog, which closes a port that has delivered no reading for
    // more than 30 seconds.
    void Timer2Timer(QObject* Sender);

    // The tray icon's tooltip: the temperature ("-" without a live reading)
    // and the link state. Kept up to date by Timer2's tick.
    QString TrayHint() const;

signals:
    // Emitted at the end of FormClose, after settings and event log were
    // saved: the program's cue to leave its event loop.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void LayoutPanels();
    // "Hide" is only offered while the tray icon, the way back, is shown.
    void TrayShownChange();
    // A drag of the title strip by the right or middle button, which the
    // window system's move cannot end (it waits for the left button).
    Qt::MouseButton FDragButton = Qt::NoButton;
    QPoint FDragOffset; // pointer minus window position at the press
    bool InFormClose_ = false;
    TReadingParser Parser_;
    QPointer<TfHistory> HistoryWindow_;
    bool HistoryFilled_ = false;
    bool SaveFailedAtClose_ = false;
    bool CloseStarted_ = false;        // FormClose ran: no further sends
    qsizetype EventLogLinesSaved_ = 0; // lines of Memo1 already in the file
};

extern TfMain* fMain;
