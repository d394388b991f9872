#include "settings/uSettings.h"

#include "monitor/Monitor.h"
#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"
#include "platform/IniFile.h"
#include "platform/MessageBox.h"
#include "platform/PortNames.h"
#include "serial/AfComPort.h"
#include "serial/AfPortControls.h"
#include "widgets/uIntEdit.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <limits>
#include <stdexcept>

TfSettings* fSettings = nullptr;

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

const QString kMain = QStringLiteral("Main");
const QString kData = QStringLiteral("Data");

QFont pixelFont(int pixels, bool bold = false) {
    QFont f;
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QLabel* makeLabel(const QString& name, const QString& text, QWidget* parent, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QFrame* makeSeparator(const QString& name, QWidget* parent, int y) {
    auto* line = new QFrame(parent);
    line->setObjectName(name);
    line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line->setGeometry(6, y, 311, 5);
    return line;
}

// A check state as text: any number (non-zero is checked) or True/False in
// any letter case.
bool textToBool(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QStringLiteral("false"), Qt::CaseInsensitive) == 0)
        return false;
    int whole = 0;
    if (platform::ParseIniInteger(t, whole))
        return whole != 0;
    const std::string bytes = t.toStdString();
    long double number = 0;
    platform::FormatSettings pointFormat; // '.' as decimal separator
    if (platform::FormatSettings::Current().TextToFloat(bytes, number) ||
        pointFormat.TextToFloat(bytes, number))
        return number != 0;
    throw std::runtime_error(
        QStringLiteral("'%1' is not a valid boolean value").arg(text).toStdString());
}

bool readBool(const platform::IniFile& ini, const QString& key) {
    return textToBool(ini.ReadString(kData, key, QStringLiteral("0")));
}

// Sets a flag for as long as it lives.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : Flag_(flag) { Flag_ = true; }
    ~FlagScope() { Flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& Flag_;
};

constexpr std::uint32_t kLampOpen = 0x008000;   // green
constexpr std::uint32_t kLampClosed = 0x0000FF; // red
// Height of the row that "Reconnect automatically" adds under the port row;
// everything below it moves down by as much.
constexpr int kReconnectRow = 24;

QString boolText(bool checked) {
    return checked ? QStringLiteral("-1") : QStringLiteral("0");
}

// Interval of the upload timer for a period in minutes, without overflowing
// the timer's int of milliseconds.
int periodMs(int minutes) {
    const long long ms = static_cast<long long>(minutes) * platform::MinuteMs();
    return static_cast<int>(std::clamp<long long>(ms, 0, std::numeric_limits<int>::max()));
}

} // namespace

TStateShape::TStateShape(QWidget* parent) : QWidget(parent) {}

void TStateShape::SetBrushColor(std::uint32_t bgr) {
    if (bgr == FBrushColor)
        return;
    FBrushColor = bgr;
    update();
}

void TStateShape::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(
        QColor(FBrushColor & 0xFF, (FBrushColor >> 8) & 0xFF, (FBrushColor >> 16) & 0xFF));
    // A circle as large as the shape's smaller side, centred.
    const int d = std::min(width(), height()) - 1;
    painter.drawEllipse(QRectF((width() - d) / 2.0, (height() - d) / 2.0, d, d));
}

TfSettings::TfSettings(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("fSettings"));
    setWindowTitle(QStringLiteral("Options"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFont(pixelFont(11));
    setFixedSize(333, 352 + kReconnectRow);
    setModal(true);

    Panel5 = new QFrame(this);
    Panel5->setObjectName(QStringLiteral("Panel5"));
    Panel5->setGeometry(0, 0, 333, 281 + kReconnectRow);
    Panel3 = new QFrame(Panel5);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel3->setGeometry(6, 6, 323, 267 + kReconnectRow);

    Label1 =
        makeLabel(QStringLiteral("Label1"), QStringLiteral("Target URL address"), Panel3, 6, 12);
    Panel4 = makeSeparator(QStringLiteral("Panel4"), Panel3, 28);
    edTarget = new QLineEdit(Panel3);
    edTarget->setObjectName(QStringLiteral("edTarget"));
    edTarget->setGeometry(10, 40, 233, 21);
    edTarget->setText(QStringLiteral("http://localhost/teplota.php?teplota=25,6"));
    bSend = new QPushButton(QStringLiteral("Send"), Panel3);
    bSend->setObjectName(QStringLiteral("bSend"));
    bSend->setGeometry(247, 40, 64, 21);
    bSend->setAutoDefault(false);

    Label3 = makeLabel(QStringLiteral("Label3"),
                       QStringLiteral("Period of automatic sending to server"), Panel3, 6, 76);
    Panel6 = makeSeparator(QStringLiteral("Panel6"), Panel3, 92);
    Label6 = makeLabel(QStringLiteral("Label6"), QStringLiteral("Period"), Panel3, 10, 107);
    IntEdit1 = new TIntEdit(Panel3);
    IntEdit1->setObjectName(QStringLiteral("IntEdit1"));
    IntEdit1->setGeometry(58, 103, 57, 21);
    IntEdit1->SetShowName(QStringLiteral("Value"));
    IntEdit1->SetColored(false);
    IntEdit1->SetMinValue(0);
    IntEdit1->SetMaxValue(100);
    Label4 = makeLabel(QStringLiteral("Label4"),
                       QStringLiteral("minutes    (0 = Timer is disabled)"), Panel3, 122, 107);

    Label5 =
        makeLabel(QStringLiteral("Label5"), QStringLiteral("Source serial port"), Panel3, 6, 140);
    Panel7 = makeSeparator(QStringLiteral("Panel7"), Panel3, 156);
    Label2 = makeLabel(QStringLiteral("Label2"), QStringLiteral("COM port"), Panel3, 10, 172);
    AfPortComboBox1 = new TAfPortComboBox(Panel3);
    AfPortComboBox1->setObjectName(QStringLiteral("AfPortComboBox1"));
    AfPortComboBox1->setGeometry(62, 168, 73, 22);
    // Each of these two rebuilds the list (probing every number); the link
    // comes last and selects the port's number, as when a stored reference to
    // another window's component is resolved after the stored values.
    AfPortComboBox1->SetOptions({pcCheckExist, pcHighlightOpen});
    AfPortComboBox1->SetMaxComPorts(255);
    if (Monitor)
        AfPortComboBox1->SetComPort(Monitor->ComPort);
    shState = new TStateShape(Panel3);
    shState->setObjectName(QStringLiteral("shState"));
    shState->setGeometry(147, 171, 21, 15);
    bConn = new QPushButton(QStringLiteral("Connect"), Panel3);
    bConn->setObjectName(QStringLiteral("bConn"));
    bConn->setGeometry(158, 168, 61, 21);
    bConn->setAutoDefault(false);
    CheckBox1 = new QCheckBox(QStringLiteral("Automatic"), Panel3);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setGeometry(240, 170, 71, 17);
    CheckBox1->setLayoutDirection(Qt::RightToLeft); // text left of the box
    CheckBox1->setToolTip(QStringLiteral("Automatically connect to port after start"));
    chbAutoReconnect = new QCheckBox(QStringLiteral("Reconnect automatically"), Panel3);
    chbAutoReconnect->setObjectName(QStringLiteral("chbAutoReconnect"));
    chbAutoReconnect->setGeometry(10, 197, 301, 19);
    chbAutoReconnect->setToolTip(
        QStringLiteral("Reopen the port every 5 seconds after it was lost"));

    Label7 = makeLabel(QStringLiteral("Label7"), QStringLiteral("Other options"), Panel3, 6,
                       208 + kReconnectRow);
    Panel8 = makeSeparator(QStringLiteral("Panel8"), Panel3, 224 + kReconnectRow);
    chbAlwaysOnTop = new QCheckBox(QStringLiteral("Always on top"), Panel3);
    chbAlwaysOnTop->setObjectName(QStringLiteral("chbAlwaysOnTop"));
    chbAlwaysOnTop->setGeometry(12, 240 + kReconnectRow, 97, 17);
    chbGeneTempLOG = new QCheckBox(QStringLiteral("Generate temperature LOG"), Panel3);
    chbGeneTempLOG->setObjectName(QStringLiteral("chbGeneTempLOG"));
    chbGeneTempLOG->setGeometry(160, 240 + kReconnectRow, 153, 17);

    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(0, 281 + kReconnectRow, 333, 34);
    Label8 = new QLabel(QStringLiteral(KELVOX_HOMEPAGE).trimmed(), Panel2);
    Label8->setObjectName(QStringLiteral("Label8"));
    Label8->setGeometry(4, 4, 325, 22);
    Label8->setAlignment(Qt::AlignCenter);
    Label8->setCursor(Qt::PointingHandCursor);
    Label8->setFont(pixelFont(19, true));
    {
        QPalette p = Label8->palette();
        constexpr std::uint32_t kLinkColor = 0x3B8F00;
        p.setColor(QPalette::WindowText,
                   QColor(kLinkColor & 0xFF, (kLinkColor >> 8) & 0xFF, (kLinkColor >> 16) & 0xFF));
        Label8->setPalette(p);
    }
    Label8->setVisible(!Label8->text().isEmpty());
    Label8->installEventFilter(this);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 315 + kReconnectRow, 333, 37);
    Button1 = new QPushButton(QStringLiteral("Close"), Panel1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(8, 6, 75, 25);
    Button1->setAutoDefault(false);
    bClose = new QPushButton(QStringLiteral("Save and close"), Panel1);
    bClose->setObjectName(QStringLiteral("bClose"));
    bClose->setGeometry(242, 6, 82, 25);
    bClose->setDefault(true);

    connect(bSend, &QPushButton::clicked, this, [this] { bSendClick(bSend); });
    connect(bConn, &QPushButton::clicked, this, [this] {
        // The user's own press: it ends any reopening, and its outcome is
        // final (a failed open is not retried behind the user's back).
        const FlagScope pressing(FUserConnPress);
        bConnClick(bConn);
    });
    IntEdit1->OnChange = [this](QObject* sender) { IntEdit1Change(sender); };
    IntEdit1->OnExit = [this](QObject* sender) { IntEdit1Exit(sender); };
    // Follows every change of the check state, so the window style always
    // matches the box.
    connect(chbAlwaysOnTop, &QCheckBox::toggled, this,
            [this] { chbAlwaysOnTopClick(chbAlwaysOnTop); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
    connect(bClose, &QPushButton::clicked, this, [this] { bCloseClick(bClose); });

    if (Monitor) {
        Monitor->ShowOptions = [this] { exec(); };
        Monitor->SaveSettings = [this] { bCloseClick(bClose); };
        Monitor->ToggleLink = [this] { bConnClick(bConn); };
        Monitor->LinkWarningShowing = [this] { return FConnWarningShowing; };
        Monitor->TargetUrl = [this] { return edTarget->text(); };
        Monitor->TemperatureLogOn = [this] { return chbGeneTempLOG->isChecked(); };
        Monitor->AutoReconnectOn = [this] { return chbAutoReconnect->isChecked(); };
        connect(Monitor, &TMonitor::LinkChanged, this,
                [this](bool open) { shState->SetBrushColor(open ? kLampOpen : kLampClosed); });
        connect(Monitor->ReconnectTimer, &QTimer::timeout, this,
                [this] { ReconnectTimerTimer(Monitor->ReconnectTimer); });
    }
}

TfSettings::~TfSettings() {
    if (!Monitor)
        return;
    Monitor->ShowOptions = nullptr;
    Monitor->SaveSettings = nullptr;
    Monitor->ToggleLink = nullptr;
    Monitor->LinkWarningShowing = nullptr;
    Monitor->TargetUrl = nullptr;
    Monitor->TemperatureLogOn = nullptr;
    Monitor->AutoReconnectOn = nullptr;
    Monitor->StopReconnect();
}

bool TfSettings::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label8 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Label8Click(Label8);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TfSettings::showEvent(QShowEvent* event) {
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect screen = s->geometry();
        move(screen.x() + (screen.width() - width()) / 2,
             screen.y() + (screen.height() - height()) / 2);
    }
    QDialog::showEvent(event);
}

void TfSettings::bSendClick(QObject* /*Sender*/) {
    if (Monitor && Monitor->Send)
        Monitor->Send(bSend);
}

void TfSettings::bConnClick(QObject* /*Sender*/) {
    if (!Monitor || !Monitor->ComPort)
        return;
    const bool user = FUserConnPress;
    if (user)
        Monitor->StopReconnect();
    // Reconnecting by itself, the program goes by the port's number alone:
    // nobody is there to answer a question.
    const bool unattended = !user && chbAutoReconnect->isChecked();
    if (AfPortComboBox1->ItemIndex() == -1 && !unattended) {
        // Re-entered from the warning's own modal loop (the watchdog or a
        // line error): the user is being told already.
        if (FConnWarningShowing)
            return;
        const FlagScope showing(FConnWarningShowing);
        platform::MessageRequest warning;
        warning.Parent = this;
        warning.Text = QStringLiteral("At first choose COM port");
        warning.Caption = QString();
        warning.Icon = platform::MsgIcon::Warning;
        platform::ShowMessage(warning);
        // The silence that went on while the box was open is not counted:
        // the watchdog waits another 30 s before it asks again.
        Monitor->SilenceCount = 0;
        return;
    }
    TAfComPort* port = Monitor->ComPort;
    if (port->Active()) {
        port->Close();
        bConn->setText(QStringLiteral("Connect"));
        return;
    }
    if (!OpenPort(/*retry=*/false) && !user)
        Monitor->PortLost(/*failureLogged=*/true);
}

bool TfSettings::OpenPort(bool retry) {
    try {
        Monitor->ComPort->Open(); // OnPortOpen logs the opened line inside
        bConn->setText(QStringLiteral("Disconnect"));
        Monitor->BlinkPhase = 0;
        return true;
    } catch (...) {
        // A round of retries logs its first failure only.
        if (!retry || !Monitor->ReconnectFailureLogged) {
            Monitor->Log(QStringLiteral("ERR  Port can't be opened!"));
            if (const QString hint = OpenFailureHint(std::current_exception()); !hint.isEmpty())
                Monitor->Log(QStringLiteral("ERR  ") + hint);
        }
        Monitor->BlinkPhase = 1;
        return false;
    }
}

void TfSettings::ReconnectTimerTimer(QObject* /*Sender*/) {
    if (!Monitor)
        return;
    if (!chbAutoReconnect->isChecked() || Monitor->ComPort->Active()) {
        Monitor->StopReconnect();
        return;
    }
    // The device may have come (or gone) since the list was made: probe
    // afresh, and show the port's number chosen when it is there.
    if (!AfPortComboBox1->DroppedDown()) {
        AfPortComboBox1->FillPortList();
        const int number = Monitor->ComPort->ComNumber();
        for (int i = 0; i < AfPortComboBox1->count(); ++i)
            if (AfPortNumberOfData(AfPortComboBox1->PortNumberOf(i)) == number)
                AfPortComboBox1->SetItemIndex(i);
    }
    if (!OpenPort(/*retry=*/true))
        Monitor->ReconnectFailureLogged = true;
}

void TfSettings::IntEdit1Change(QObject* /*Sender*/) {
    if (!Monitor || !Monitor->Timer1)
        return;
    QTimer* timer = Monitor->Timer1;
    const int value = IntEdit1->Value();
    timer->setInterval(periodMs(value));
    if (value != 0)
        timer->start(); // (re)starts the countdown
    else
        timer->stop();
}

void TfSettings::IntEdit1Exit(QObject* /*Sender*/) {
    if (!Monitor || !Monitor->Timer1)
        return;
    const QTimer* timer = Monitor->Timer1;
    const int value = IntEdit1->Value();
    const bool inLine =
        value == 0 ? !timer->isActive() : timer->isActive() && timer->interval() == periodMs(value);
    if (!inLine)
        IntEdit1Change(IntEdit1);
}

void TfSettings::chbAlwaysOnTopClick(QObject* /*Sender*/) {
    if (!Monitor || !Monitor->MainWindow)
        return;
    QWidget* main = Monitor->MainWindow;
    const bool onTop = chbAlwaysOnTop->isChecked();
    if (main->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop)
        return;
    // Changing window flags hides a shown window; put it back as it was.
    const bool visible = main->isVisible();
    main->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (visible)
        main->show();
}

void TfSettings::Button1Click(QObject* /*Sender*/) {
    close();
}

void TfSettings::bCloseClick(QObject* /*Sender*/) {
    platform::IniFile ini(platform::IniPath());
    const QWidget* main = Monitor ? Monitor->MainWindow : nullptr;
    if (main) {
        ini.WriteInteger(kMain, QStringLiteral("Top"), main->y());
        ini.WriteInteger(kMain, QStringLiteral("Left"), main->x());
        ini.WriteInteger(kMain, QStringLiteral("Height"), main->height());
    }
    ini.WriteString(kData, QStringLiteral("TargetURL"), edTarget->text());
    if (Monitor && Monitor->ComPort)
        ini.WriteInteger(kData, QStringLiteral("COM"), Monitor->ComPort->ComNumber());
    ini.WriteInteger(kData, QStringLiteral("Period"), IntEdit1->Value());
    ini.WriteString(kData, QStringLiteral("AutoConnect"), boolText(CheckBox1->isChecked()));
    ini.WriteString(kData, QStringLiteral("AlwaysOnTop"), boolText(chbAlwaysOnTop->isChecked()));
    ini.WriteString(kData, QStringLiteral("GeneTemp"), boolText(chbGeneTempLOG->isChecked()));
    ini.WriteString(kData, QStringLiteral("AutoReconnect"),
                    boolText(chbAutoReconnect->isChecked()));
    close();
}

void TfSettings::Label8Click(QObject* /*Sender*/) {
    const QString address = Label8->text().trimmed();
    if (address.isEmpty())
        return;
    const QString withScheme =
        address.contains(QStringLiteral("://")) ? address : QStringLiteral("http://") + address;
    QDesktopServices::openUrl(QUrl(withScheme));
}

void LoadSettings() {
    if (!Monitor || !Monitor->MainWindow || !Monitor->ComPort || !Monitor->Timer1 || !fSettings)
        throw std::logic_error("LoadSettings needs the main window and fSettings");
    QWidget* main = Monitor->MainWindow;
    const platform::IniFile ini(platform::IniPath());

    // Mapped ports first: the port number read below may be one of them. The
    // chooser was filled before the table existed; it lists them now.
    std::map<int, std::string> mapped = platform::ReadMappedPorts(ini);
    const bool anyMapped = !mapped.empty();
    platform::SetMappedPorts(std::move(mapped));
    if (anyMapped) {
        fSettings->AfPortComboBox1->FillPortList();
        fSettings->AfPortComboBox1->SyncItemIndex();
    }

    QRect screen(0, 0, 0, 0);
    if (const QScreen* s = QGuiApplication::primaryScreen())
        screen = s->geometry();
    // Integer halves, rounded toward zero, of the current window size.
    const int top =
        ini.ReadInteger(kMain, QStringLiteral("Top"), screen.height() / 2 - main->height() / 2);
    main->move(main->x(), top);
    const int left =
        ini.ReadInteger(kMain, QStringLiteral("Left"), screen.width() / 2 - main->width() / 2);
    main->move(left, main->y());
    // Below the collapsed height the title strip with the log toggle would
    // be cut off and the window could not be expanded again.
    const int height = ini.ReadInteger(kMain, QStringLiteral("Height"), 310);
    main->resize(main->width(), std::max(height, 31));

    fSettings->edTarget->setText(ini.ReadString(kData, QStringLiteral("TargetURL"), QString()));
    // A 16-bit value. The port is closed here, so the number is only stored;
    // the chooser keeps the selection it made when it was linked.
    Monitor->ComPort->SetComNumber(
        static_cast<std::uint16_t>(ini.ReadInteger(kData, QStringLiteral("COM"), 1)));

    fSettings->IntEdit1->SetValue(ini.ReadInteger(kData, QStringLiteral("Period"), 1));
    Monitor->Timer1->setInterval(periodMs(fSettings->IntEdit1->Value()));
    fSettings->IntEdit1Change(fSettings->IntEdit1);

    // Before the automatic connect: with it on, a port that is not there yet
    // is a failed open that is retried, not a question to the user.
    fSettings->chbAutoReconnect->setChecked(readBool(ini, QStringLiteral("AutoReconnect")));
    fSettings->CheckBox1->setChecked(readBool(ini, QStringLiteral("AutoConnect")));
    if (fSettings->CheckBox1->isChecked())
        fSettings->bConnClick(fSettings->bConn);

    fSettings->chbAlwaysOnTop->setChecked(readBool(ini, QStringLiteral("AlwaysOnTop")));
    if (fSettings->chbAlwaysOnTop->isChecked())
        fSettings->chbAlwaysOnTopClick(fSettings->chbAlwaysOnTop);

    fSettings->chbGeneTempLOG->setChecked(readBool(ini, QStringLiteral("GeneTemp")));
}
