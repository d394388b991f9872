#include "gui/uMain.h"

#include "gui/AlarmView.h"

#include "core/TemperatureHistory.h"
#include "core/TemperatureLogReader.h"
#include "gui/uHistory.h"
#include "gui/uMainInstance.h"

#include "core/Core.h"
#include "gui/uSettings.h"
#include "gui/uTrayIcon.h"
#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/FormatSettings.h"
#include "serial/AfComPort.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>

TfMain* fMain = nullptr;

namespace {

// Heights of the two bottom panels; the title area takes what is left above
// them, but never less than its own height (a collapsed window shows only
// the title strip and the panels below it fall outside).
constexpr int kTitleAreaHeight = 34;
constexpr int kLogPanelHeight = 236;
constexpr int kButtonPanelHeight = 36;
constexpr int kExpandedHeight = 310;
constexpr int kCollapsedHeight = 31;
constexpr int kCollapsedLimit = 50;

const QChar kArrowUp(0x21D1);   // log shown: the toggle collapses
const QChar kArrowDown(0x21D3); // log hidden: the toggle expands

QFont pixelFont(int pixels, bool bold = false) {
    QFont f;
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

} // namespace

// The icons are compiled into the static library; its resource registration
// must be pulled in explicitly or the linker drops it. The macro may not
// stand inside a namespace.
static void initResources() {
    Q_INIT_RESOURCE(kelvox);
}

TfMain::TfMain(TKelvoxCore& core, TrayShell& trayShell, QWidget* parent)
    : QWidget(parent), Core_(core), TrayShell_(trayShell) {
    BuildWindow();
    BuildTitleStrip();
    BuildLogBox();
    BuildButtons();
    BuildTrayIcon();
    ConnectCore();
    ConnectHandlers();
    ApplyStart();
}

void TfMain::BuildWindow() {
    setObjectName(QStringLiteral("fMain"));
    // A borderless tool window: no frame to drag (the title strip does it)
    // and no taskbar button (the tray icon is the way back to it).
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint);
    setWindowTitle(QStringLiteral("Kelvox"));
    setFont(pixelFont(11));
    setAutoFillBackground(true);
    resize(266, 306);
    move(470, 89);
}

void TfMain::BuildTitleStrip() {
    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel4 = new QFrame(Panel2);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Panel4->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel4->setGeometry(5, 3, 259, 25);
    Label3 = new QLabel(QStringLiteral("Temperature"), Panel4);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setFont(pixelFont(18));
    Label3->move(18, 2);
    Label3->adjustSize();
    Label1 = new QLabel(QStringLiteral("-"), Panel4);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(pixelFont(18));
    Label1->setAlignment(Qt::AlignCenter);
    Button2 = new QPushButton(QString(kArrowUp), Panel4);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setFont(pixelFont(13));
    Button2->setGeometry(238, 2, 17, 21);
    Button2->setToolTip(QStringLiteral("Show/Hide LOG"));
    Button2->setFocusPolicy(Qt::NoFocus);
    bHistory = new QPushButton(Panel4);
    bHistory->setObjectName(QStringLiteral("bHistory"));
    bHistory->setIcon(HistoryIcon());
    bHistory->setGeometry(Button2->x() - 19, 2, 17, 21);
    bHistory->setToolTip(QStringLiteral("History"));
    bHistory->setFocusPolicy(Qt::NoFocus);
    // The temperature takes the room between its caption and the buttons.
    const int label1Left = Label3->x() + Label3->width() + 4;
    Label1->setGeometry(label1Left, 2, bHistory->x() - 2 - label1Left, 21);
}

void TfMain::BuildLogBox() {
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    GroupBox1 = new QGroupBox(QStringLiteral("Log"), Panel1);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(4, 4, 261, 225);
    Memo1 = new QPlainTextEdit(GroupBox1);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(6, 15, 246, 200);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Long lines wrap at the box edge, as the read-only log box has no
    // horizontal scroll bar; saving still writes one line per entry.
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A long run keeps its lines in the file, not in the window.
    Memo1->setMaximumBlockCount(MaxLogLines);
}

void TfMain::BuildButtons() {
    Panel3 = new QFrame(this);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Button1 = new QPushButton(QStringLiteral("Options"), Panel3);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(8, 6, 75, 25);
    bClose = new QPushButton(QStringLiteral("Hide"), Panel3);
    bClose->setObjectName(QStringLiteral("bClose"));
    bClose->setGeometry(184, 6, 75, 25);
    // Between the two, where a greyed "Hide" leaves the eye looking.
    bExit = new QPushButton(QStringLiteral("Exit"), Panel3);
    bExit->setObjectName(QStringLiteral("bExit"));
    bExit->setGeometry(96, 6, 75, 25);
    bExit->setToolTip(QStringLiteral("End Kelvox (settings and log are saved)"));
    bExit->hide();
}

void TfMain::BuildTrayIcon() {
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Obnovit1 = PopupMenu1->addAction(QStringLiteral("Restore"));
    Obnovit1->setObjectName(QStringLiteral("Obnovit1"));
    PopupMenu1->setDefaultAction(Obnovit1);
    History1 = PopupMenu1->addAction(QStringLiteral("History"));
    History1->setObjectName(QStringLiteral("History1"));
    N1 = PopupMenu1->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    Ukonit1 = PopupMenu1->addAction(QStringLiteral("Close"));
    Ukonit1->setObjectName(QStringLiteral("Ukonit1"));

    initResources();
    TrayIkona1 = new TTrayIkona(TrayShell_, this);
    TrayIkona1->setObjectName(QStringLiteral("TrayIkona1"));
    TrayIkona1->SetIcon(QIcon(QStringLiteral(":/icons/NORMAL.png")));
    TrayIkona1->SetHideTask(true);
    TrayIkona1->SetIconVisible(true);
    TrayIkona1->SetPopupMenu(PopupMenu1);
    TrayIkona1->OnDblClick = [this](QObject* Sender) { TrayIkona1DblClick(Sender); };
    TrayIkona1->OnShownChange = [this](QObject*) { TrayShownChange(); };
}

void TfMain::ConnectCore() {
    TLink& link = Core_.Link();
    Timer1 = Core_.Upload().Timer();
    Timer2 = link.Tick();
    AfComPort1 = link.Port();
    connect(&Core_.Log(), &TEventLog::LineAdded, this,
            [this](const QString& line) { Memo1->appendPlainText(line); });
    connect(&link, &TLink::DisplayChanged, this,
            [this](const QString& text) { Label1->setText(text); });
    connect(&link, &TLink::IconFrame, this, [this](int index) {
        TrayFrame_ = std::clamp(index, 0, 2);
        ShowTrayIcon();
    });
    connect(&Core_.Alarm(), &TAlarm::StateChanged, this, [this] {
        ShowTrayIcon();
        TrayIkona1->SetHint(TrayHint());
    });
    // One notification per episode on the desktop's notification service.
    Notifier_ = new TAlarmNotifier(QDBusConnection::sessionBus(), this);
    connect(&Core_.Alarm(), &TAlarm::Changed, Notifier_, &TAlarmNotifier::Show);
    connect(Notifier_, &TAlarmNotifier::LogLine, &Core_.Log(), &TEventLog::Add);
    connect(&link, &TLink::StatusChanged, this, [this] { TrayIkona1->SetHint(TrayHint()); });
    connect(&link, &TLink::LinkChanged, this, [this] { TrayIkona1->SetHint(TrayHint()); });
    connect(&link, &TLink::StateChanged, this, [this] { TrayIkona1->SetHint(TrayHint()); });
    connect(&Core_.TimeSeries(), &TTimeSeries::StatusChanged, this,
            [this] { TrayIkona1->SetHint(TrayHint()); });
    connect(&Core_, &TKelvoxCore::Loaded, this, [this] { ApplySettings(); });
    connect(&Core_, &TKelvoxCore::AboutToSave, this, [this] { StoreGeometry(); });
    connect(&Core_.Settings(), &TSettingsModel::Changed, this, [this](Setting id) {
        if (id == Setting::AlwaysOnTop)
            ApplyAlwaysOnTop();
    });
}

void TfMain::ConnectHandlers() {
    for (QObject* strip : {static_cast<QObject*>(Panel4), static_cast<QObject*>(Label3),
                           static_cast<QObject*>(Label1)})
        strip->installEventFilter(this);
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(Button2); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
    connect(bClose, &QPushButton::clicked, this, [this] { bCloseClick(bClose); });
    connect(Obnovit1, &QAction::triggered, this, [this] { Obnovit1Click(Obnovit1); });
    connect(Ukonit1, &QAction::triggered, this, [this] { Ukonit1Click(Ukonit1); });
    connect(History1, &QAction::triggered, this, [this] { History1Click(History1); });
    connect(bHistory, &QPushButton::clicked, this, [this] { History1Click(bHistory); });
    connect(bExit, &QPushButton::clicked, this, [this] { Ukonit1Click(bExit); });
}

void TfMain::ApplyStart() {
    // The after-loading step of the component, once its properties are in.
    TrayIkona1->Loaded();

    LayoutPanels();
    TrayShownChange();
    TrayIkona1->SetHint(TrayHint());
    FormCreate(this);
}

TfMain::~TfMain() {
    FormDestroy(this);
    // A top-level window of its own, not a child: it goes first, while the
    // history it shows still exists.
    delete HistoryWindow_.data();
    // The icon leaves the tray; the core's signals no longer reach the
    // controls once this object is gone.
    delete TrayIkona1;
    TrayIkona1 = nullptr;
    if (fMain == this)
        fMain = nullptr;
}

void TfMain::LayoutPanels() {
    const int w = width();
    const int bottom = kLogPanelHeight + kButtonPanelHeight;
    const int titleHeight = std::max(height() - bottom, kTitleAreaHeight);
    Panel2->setGeometry(0, 0, w, titleHeight);
    Panel1->setGeometry(0, titleHeight, w, kLogPanelHeight);
    Panel3->setGeometry(0, titleHeight + kLogPanelHeight, w, kButtonPanelHeight);
}

void TfMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayoutPanels();
}

void TfMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormShow(this);
}

void TfMain::closeEvent(QCloseEvent* event) {
    event->accept();
    if (!InFormClose_)
        FormClose(this);
}

bool TfMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched != Panel4 && watched != Label3 && watched != Label1)
        return QWidget::eventFilter(watched, event);
    // The pressed widget keeps the pointer until the release, so the moves
    // and the release of a drag come here too.
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* me = static_cast<QMouseEvent*>(event);
        if (FDragButton != Qt::NoButton)
            return true; // a second button during a drag changes nothing
        FDragOffset = me->globalPosition().toPoint() - pos();
        const QPoint p = me->position().toPoint();
        pTitleMouseDown(watched, me->button(), me->modifiers(), p.x(), p.y());
        return true;
    }
    case QEvent::MouseMove:
        if (FDragButton == Qt::NoButton)
            break;
        move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - FDragOffset);
        return true;
    case QEvent::MouseButtonRelease:
        if (FDragButton == Qt::NoButton)
            break;
        if (static_cast<QMouseEvent*>(event)->button() == FDragButton)
            FDragButton = Qt::NoButton;
        return true;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void TfMain::FormCreate(QObject* /*Sender*/) {
    TrayIcons[0] = QIcon(QStringLiteral(":/icons/NORMAL.png"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/NORMAL.png")));
    TrayIcons[1] = QIcon(QStringLiteral(":/icons/BLIK0.png"));
    TrayIcons[2] = QIcon(QStringLiteral(":/icons/BLIK1.png"));
    for (std::size_t i = 0; i < TrayIcons.size(); ++i)
        AlarmIcons[i] = AlarmIcon(TrayIcons[i]);
    ShowTrayIcon();
}

void TfMain::ShowTrayIcon() {
    const bool alarm = Core_.Alarm().State() != AlarmKind::Ok;
    const QIcon& icon = (alarm ? AlarmIcons : TrayIcons)[static_cast<std::size_t>(TrayFrame_)];
    if (!icon.isNull()) // the pictures are made by FormCreate
        TrayIkona1->SetIcon(icon);
}

void TfMain::FormShow(QObject* /*Sender*/) {
    // Nothing to hide here: while the tray icon is shown this form is a tool
    // window and never gets a taskbar button in the first place.
}

void TfMain::FormDestroy(QObject* /*Sender*/) {
    for (QIcon& icon : TrayIcons)
        icon = QIcon();
}

void TfMain::pTitleMouseDown(QObject* /*Sender*/, Qt::MouseButton Button,
                             Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/) {
    // Any button drags the borderless window. The window system moves it
    // for the left button (there is none to ask on the offscreen platform);
    // its move ends only at a left release, so the window follows the
    // pointer itself for the others until their own release.
    if (Button != Qt::LeftButton) {
        FDragButton = Button;
        return;
    }
    if (QWindow* w = windowHandle())
        w->startSystemMove();
}

void TfMain::TrayShownChange() {
    const bool shown = TrayIkona1->Shown();
    bClose->setEnabled(shown);
    bClose->setToolTip(shown ? QString()
                             : QStringLiteral("No notification area yet: hidden, the window "
                                              "could not be brought back"));
    // Without an icon the borderless window is otherwise lost once another
    // window covers it: the taskbar and Alt+Tab must know it, and it must
    // offer its own way to end the program.
    bExit->setVisible(!shown);
    TrayIkona1->SetHideTask(shown);
    // The blink tick runs only where its pictures are seen.
    Core_.Link().SetIconShown(shown);
}

QString TfMain::TrayHint() const {
    const TLink& link = Core_.Link();
    const QString reading =
        link.Live() ? platform::FormatSettings::Current().FormatTemperature(link.Temperature()) +
                          QStringLiteral("\u00B0C")
                    : QStringLiteral("-");
    // The link's word, as MQTT and the service status line say it.
    QString hint = QStringLiteral("Kelvox %1\nCOM%2 %3")
                       .arg(reading)
                       .arg(AfComPort1->ComNumber())
                       .arg(LinkStateWord(link.State()));
    if (const QString alarm = AlarmSummary(Core_.Alarm().Current()); !alarm.isEmpty())
        hint += QStringLiteral("\nALARM: ") + alarm;
    if (const TimeSeriesStatus series = Core_.TimeSeries().Status();
        series.State != TimeSeriesState::Off)
        hint += QStringLiteral("\nTime series: ") + TimeSeriesStatusText(series, Core_.Now());
    return hint;
}

void TfMain::Button2Click(QObject* /*Sender*/) {
    if (height() <= kCollapsedLimit) {
        Button2->setText(QString(kArrowUp));
        resize(width(), kExpandedHeight);
    } else {
        Button2->setText(QString(kArrowDown));
        resize(width(), kCollapsedHeight);
    }
}

void TfMain::bCloseClick(QObject* /*Sender*/) {
    // Only hidden: the tray menu brings it back. (Minimising first would make
    // the next show() come back minimised.)
    hide();
}

void TfMain::Button1Click(QObject* /*Sender*/) {
    if (fSettings)
        fSettings->exec();
}

void TfMain::Obnovit1Click(QObject* /*Sender*/) {
    if (isVisible()) {
        hide();
    } else {
        show();
        raise();
        activateWindow();
    }
}

bool TfMain::ServeOtherStarts(const QString& socketPath, QString* error) {
    if (!InstanceServer_)
        InstanceServer_ = new TInstanceServer([this] { ShowFromOtherStart(); }, this);
    return InstanceServer_->Listen(socketPath, error);
}

void TfMain::ShowFromOtherStart() {
    show();
    raise();
    activateWindow();
}

void TfMain::TrayIkona1DblClick(QObject* /*Sender*/) {
    Obnovit1Click(Obnovit1);
}

void TfMain::Ukonit1Click(QObject* /*Sender*/) {
    close();
}

void TfMain::History1Click(QObject* /*Sender*/) {
    if (!HistoryWindow_) {
        if (!HistoryFilled_) {
            HistoryFilled_ = true;
            // Read on a worker thread: the window shows this run's points
            // at once and the days before when they arrive.
            Core_.History().LoadEarlier(
                {Core_.Paths().Dir, Core_.Now(), 7, platform::FormatSettings::Current()});
        }
        HistoryWindow_ = new TfHistory(
            &Core_.History(), [this] { return Core_.Now(); }, &Core_.Settings());
        HistoryWindow_->PlaceBeside(frameGeometry());
    }
    HistoryWindow_->show();
    HistoryWindow_->raise();
    HistoryWindow_->activateWindow();
}

void TfMain::FormClose(QObject* /*Sender*/) {
    InFormClose_ = true;
    // The history window puts its place into the settings when it closes,
    // so that the close saves it.
    if (HistoryWindow_)
        HistoryWindow_->close();
    Core_.Close(QuietClose_);
    InFormClose_ = false;
}

void TfMain::CloseBySignal() {
    QuietClose_ = true;
    close();
}

bool TfMain::SaveFailedAtClose() const {
    return Core_.SaveFailedAtClose();
}

void TfMain::ApplySettings() {
    const TSettingsModel& settings = Core_.Settings();
    QRect screen(0, 0, 0, 0);
    if (const QScreen* s = QGuiApplication::primaryScreen())
        screen = s->geometry();
    // Integer halves, rounded toward zero, of the current window size.
    const int top = settings.Has(Setting::MainTop) ? settings.Integer(Setting::MainTop)
                                                   : screen.height() / 2 - height() / 2;
    const int left = settings.Has(Setting::MainLeft) ? settings.Integer(Setting::MainLeft)
                                                     : screen.width() / 2 - width() / 2;
    // Below the collapsed height the title strip with the log toggle would
    // be cut off and the window could not be expanded again.
    resize(width(), std::max(settings.Integer(Setting::MainHeight), kCollapsedHeight));
    // A place from a larger or removed monitor, or another scale factor,
    // would hide the window and its buttons; the stored place is kept.
    Place_.Place(this, QPoint(left, top));
    ApplyAlwaysOnTop();
}

bool WindowPositionKnown(const QString& platformName) {
    return !platformName.startsWith(QStringLiteral("wayland"), Qt::CaseInsensitive);
}

void TfMain::StoreGeometry() {
    TSettingsModel& settings = Core_.Settings();
    if (WindowPositionKnown(QGuiApplication::platformName())) {
        const QPoint place = Place_.ToStore(this);
        settings.SetInteger(Setting::MainTop, place.y());
        settings.SetInteger(Setting::MainLeft, place.x());
    }
    settings.SetInteger(Setting::MainHeight, Place_.SizeToStore(this).height());
    // An open history window's place is saved with it ("Save and close").
    if (HistoryWindow_)
        HistoryWindow_->StoreGeometry();
}

void TfMain::ApplyAlwaysOnTop() {
    const bool onTop = Core_.Settings().Check(Setting::AlwaysOnTop);
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop)
        return;
    // Changing window flags hides a shown window; put it back as it was.
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (visible)
        show();
}
