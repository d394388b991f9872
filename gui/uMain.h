// The main window: a view of the program's core (core/Core.h) showing
// the temperature, the event log and the tray icon with its menu. Its
// handlers keep their names and forward to the core, which owns the serial
// port, the timers and the settings. One instance, `fMain`, created at
// start-up and kept until exit; it is only shown and hidden. Everything here
// runs on the main thread.
#pragma once

#include "gui/ScreenFit.h"

#include <QIcon>
#include <QPointer>
#include <QWidget>
#include <array>
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
class TrayShell;
class TTrayIkona;
class TAlarmNotifier;
class TKelvoxCore;
class TfHistory;
class TInstanceServer;

class TfMain : public QWidget {
    Q_OBJECT
public:
    // The tray icon goes through `trayShell`, which outlives the window.
    TfMain(TKelvoxCore& core, TrayShell& trayShell, QWidget* parent = nullptr);
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
    // "Exit": ends the program; shown only while there is no tray icon,
    // whose menu is otherwise the way to end it.
    QPushButton* bExit = nullptr;

    QMenu* PopupMenu1 = nullptr;
    QAction* Obnovit1 = nullptr; // "Restore" (toggles)
    QAction* History1 = nullptr; // "History"
    QAction* N1 = nullptr;       // separator
    QAction* Ukonit1 = nullptr;  // "Close"

    // The core's timers and port, under the names the window has always
    // given them (not owned).
    QTimer* Timer1 = nullptr;         // upload period; interval = period x MinuteMs()
    QTimer* Timer2 = nullptr;         // 500 ms blink tick, running only while the icon blinks
    TAfComPort* AfComPort1 = nullptr; // the thermometer's serial port
    // The notification-area icon; shows TrayIcons[the link's blink phase] (set by Timer2)
    // and PopupMenu1 on a right press. Without a tray host it shows nothing.
    TTrayIkona* TrayIkona1 = nullptr;

    // Index 0 "NORMAL", 1 "BLIK0", 2 "BLIK1".
    std::array<QIcon, 3> TrayIcons;
    // The same with the alarm's mark, shown while an alarm is active.
    std::array<QIcon, 3> AlarmIcons;

    // The window keeps this many event log lines; the file keeps them all.
    static constexpr int MaxLogLines = 10000;

    TKelvoxCore& Core() { return Core_; }

    // True when FormClose could not save the settings or the event log; the
    // program then ends with a non-zero exit code.
    bool SaveFailedAtClose() const;

    // The close that a stop signal asks for: as the tray's "Close", but a
    // save that fails is reported on standard error and in the event log,
    // never in a box that nobody may be there to answer.
    void CloseBySignal();

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
    // Listens on socketPath for a second start of the program, which asks
    // for ShowFromOtherStart (gui/uMainInstance.h). Called once this
    // instance holds the application directory's lock. False, with *error
    // set, when the socket cannot be made; the second start then gets the
    // "already running" box as before.
    bool ServeOtherStarts(const QString& socketPath, QString* error = nullptr);
    // Shows the window, on top and active, wherever it was (hidden in the
    // tray or covered).
    void ShowFromOtherStart();
    // The upload: an automatic send when Sender is Timer1, a manual one when
    // it is a button; nothing once the close has begun. Defined, like
    // Timer2Timer, in uMainLink.cpp.
    void Timer1Timer(QObject* Sender);

    // Every 500 ms while the icon blinks: the tray icon's next picture (the
    // steady one ends the blinking).
    void Timer2Timer(QObject* Sender);

    // The tray icon's tooltip: the temperature ("-" without a live reading)
    // and the link state. Kept up to date by the link's StatusChanged.
    QString TrayHint() const;
    // Shows the picture of the link's blink phase, with the alarm's mark
    // while an alarm is active.
    void ShowTrayIcon();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int TrayFrame_ = 0; // the link's blink phase the icon shows
    TAlarmNotifier* Notifier_ = nullptr;
    // The construction, in order: the window, its title strip with the
    // temperature, the log box, the buttons, the tray icon with its menu;
    // the core's signals the window follows, the controls' handlers; then
    // the tray icon goes in and the panels are laid out.
    void BuildWindow();
    void BuildTitleStrip();
    void BuildLogBox();
    void BuildButtons();
    void BuildTrayIcon();
    void ConnectCore();
    void ConnectHandlers();
    void ApplyStart();
    void LayoutPanels();
    // "Hide" is only offered while the tray icon, the way back, is shown.
    // Without the icon the window also takes a taskbar entry (it is no tool
    // window then) and shows bExit, so it can be found and ended.
    void TrayShownChange();
    // The stored place, height and "Always on top" (after the settings were
    // read), and back into the model before they are written.
    void ApplySettings();
    void StoreGeometry();
    void ApplyAlwaysOnTop();
    TKelvoxCore& Core_;
    TrayShell& TrayShell_;
    // A drag of the title strip by the right or middle button, which the
    // window system's move cannot end (it waits for the left button).
    Qt::MouseButton FDragButton = Qt::NoButton;
    QPoint FDragOffset;  // pointer minus window position at the press
    TScreenPlace Place_; // the stored place and where it put the window
    bool InFormClose_ = false;
    bool QuietClose_ = false; // the close a signal asked for
    QPointer<TfHistory> HistoryWindow_;
    TInstanceServer* InstanceServer_ = nullptr; // child, made by ServeOtherStarts
    bool HistoryFilled_ = false;
};

extern TfMain* fMain;

// False where the window system never tells a client where its window is
// (Wayland compositors: the position read back is always 0,0); the stored
// place is then kept rather than overwritten. `platformName` is
// QGuiApplication::platformName().
bool WindowPositionKnown(const QString& platformName);
