#include "settings/uSettings.h"

#include "monitor/Monitor.h"
#include "platform/AppPaths.h"
#include "platform/Autostart.h"
#include "platform/FormatSettings.h"
#include "platform/IniFile.h"
#include "platform/MessageBox.h"
#include "platform/PortNames.h"
#include "serial/AfComPort.h"
#include "serial/AfPortControls.h"
#include "widgets/uIntEdit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
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

// The desktop's default family at a designed height in pixels, taken at
// 96 dpi: at a higher resolution the text grows as the desktop's does, and
// FitCaptions makes room for it.
QFont designFont(int pixels, bool bold = false) {
    QFont f;
    f.setPointSizeF(pixels * 72.0 / 96.0);
    f.setBold(bold);
    return f;
}

constexpr int kGap = 4;             // between controls pushed apart
constexpr int kRowLimitMargin = 12; // a row ends this far before its panel's right edge
constexpr int kDesignedLabelHeight = 13;

// Room a control needs for its captions in its current font.
QSize captionNeed(QWidget* control, const QRect& designed, const QStringList& captions) {
    const QFontMetrics fm = control->fontMetrics();
    QStyle* style = control->style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);
    const int boxHeight = fm.height() + 2 * frame + 2;
    if (qobject_cast<QPushButton*>(control)) {
        int text = 0;
        for (const QString& caption : captions)
            text = std::max(text, fm.horizontalAdvance(caption));
        const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, control);
        return {text + 2 * frame + margin, boxHeight};
    }
    if (qobject_cast<QLabel*>(control) || qobject_cast<QCheckBox*>(control) ||
        qobject_cast<QComboBox*>(control))
        return control->sizeHint();
    if (qobject_cast<QLineEdit*>(control))
        return {designed.width(), boxHeight};
    return designed.size(); // the lamp and the separators keep their size
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
// Height of the rows that the lamp with the connect toggle and "Reconnect
// automatically" add under the port row; everything below moves down by as
// much.
constexpr int kLinkRows = 28 + 24;
// The inner panel as designed, with those rows and "Start with the desktop
// session".
constexpr int kDesignedPanelWidth = 323;
constexpr int kDesignedPanelHeight = 267 + kLinkRows + 24;

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
    setFont(designFont(11));
    setModal(true);

    Panel5 = new QFrame(this);
    Panel5->setObjectName(QStringLiteral("Panel5"));
    Panel5->setGeometry(0, 0, 333, 14 + kDesignedPanelHeight);
    Panel3 = new QFrame(Panel5);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel3->setGeometry(6, 6, kDesignedPanelWidth, kDesignedPanelHeight);

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
    // The lamp, the toggle and "Automatic" stand in a row of their own below
    // the chooser, which takes the whole width for its device names.
    shState = new TStateShape(Panel3);
    shState->setObjectName(QStringLiteral("shState"));
    shState->setGeometry(147, 199, 21, 15);
    bConn = new QPushButton(QStringLiteral("Connect"), Panel3);
    bConn->setObjectName(QStringLiteral("bConn"));
    bConn->setGeometry(158, 196, 61, 21);
    bConn->setAutoDefault(false);
    CheckBox1 = new QCheckBox(QStringLiteral("Automatic"), Panel3);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setGeometry(240, 198, 71, 17);
    CheckBox1->setLayoutDirection(Qt::RightToLeft); // text left of the box
    CheckBox1->setToolTip(QStringLiteral("Automatically connect to port after start"));
    chbAutoReconnect = new QCheckBox(QStringLiteral("Reconnect automatically"), Panel3);
    chbAutoReconnect->setObjectName(QStringLiteral("chbAutoReconnect"));
    chbAutoReconnect->setGeometry(10, 222, 301, 19);
    chbAutoReconnect->setToolTip(
        QStringLiteral("Reopen the port every 5 seconds after it was lost"));

    Label7 = makeLabel(QStringLiteral("Label7"), QStringLiteral("Other options"), Panel3, 6,
                       208 + kLinkRows);
    Panel8 = makeSeparator(QStringLiteral("Panel8"), Panel3, 224 + kLinkRows);
    chbAlwaysOnTop = new QCheckBox(QStringLiteral("Always on top"), Panel3);
    chbAlwaysOnTop->setObjectName(QStringLiteral("chbAlwaysOnTop"));
    chbAlwaysOnTop->setGeometry(12, 240 + kLinkRows, 97, 17);
    chbGeneTempLOG = new QCheckBox(QStringLiteral("Generate temperature LOG"), Panel3);
    chbGeneTempLOG->setObjectName(QStringLiteral("chbGeneTempLOG"));
    chbGeneTempLOG->setGeometry(160, 240 + kLinkRows, 153, 17);
    chbAutostart = new QCheckBox(QStringLiteral("Start with the desktop session"), Panel3);
    chbAutostart->setObjectName(QStringLiteral("chbAutostart"));
    chbAutostart->setGeometry(12, 264 + kLinkRows, 170, 17);

    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(0, 14 + kDesignedPanelHeight, 333, 34);
    Label8 = new QLabel(QStringLiteral(KELVOX_HOMEPAGE).trimmed(), Panel2);
    Label8->setObjectName(QStringLiteral("Label8"));
    Label8->setGeometry(4, 4, 325, 22);
    Label8->setAlignment(Qt::AlignCenter);
    Label8->setCursor(Qt::PointingHandCursor);
    Label8->setFont(designFont(19, true));
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
    Panel1->setGeometry(0, 48 + kDesignedPanelHeight, 333, 37);
    Button1 = new QPushButton(QStringLiteral("Close"), Panel1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(8, 6, 75, 25);
    Button1->setAutoDefault(false);
    bClose = new QPushButton(QStringLiteral("Save and close"), Panel1);
    bClose->setObjectName(QStringLiteral("bClose"));
    bClose->setGeometry(242, 6, 82, 25);
    bClose->setDefault(true);

    // The rows of the inner panel, top to bottom, with their designed
    // places; labels as designed for the 11-pixel font.
    auto label = [](QLabel* l) {
        return Placed{l, QRect(l->pos(), QSize(l->width(), kDesignedLabelHeight))};
    };
    auto as = [](QWidget* w, int stretchMargin = 0) {
        return Placed{w, w->geometry(), stretchMargin};
    };
    AddRow({label(Label1)});
    AddRow({as(Panel4, 6)});
    AddRow({as(edTarget), as(bSend)});
    AddRow({label(Label3)});
    AddRow({as(Panel6, 6)});
    AddRow({label(Label6), as(IntEdit1), label(Label4)});
    AddRow({label(Label5)});
    AddRow({as(Panel7, 6)});
    AddRow({label(Label2), as(AfPortComboBox1, kRowLimitMargin)});
    AddRow({as(shState), as(bConn), as(CheckBox1)});
    AddRow({as(chbAutoReconnect)});
    AddRow({label(Label7)});
    AddRow({as(Panel8, 6)});
    AddRow({as(chbAlwaysOnTop), as(chbGeneTempLOG)});
    AddRow({as(chbAutostart)});
    Panel3->installEventFilter(this);
    FitCaptions();

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
    connect(chbAutostart, &QCheckBox::clicked, this, [this] { chbAutostartClick(chbAutostart); });

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

void TfSettings::FitCaptions() {
    if (FFitting)
        return;
    FFitting = true;
    // One row at a given width of the inner panel and vertical shift: the
    // rectangles, and how far the row's bottom passed its designed bottom.
    auto placeRow = [this](const std::vector<Placed>& row, int panelWidth, int dy, int& grown) {
        const int limit = panelWidth - kRowLimitMargin;
        std::vector<QRect> rects;
        int designedBottom = 0, bottom = 0;
        for (const Placed& p : row) {
            QStringList captions;
            if (auto* button = qobject_cast<QPushButton*>(p.Control))
                captions << button->text();
            if (p.Control == bConn)
                captions = {QStringLiteral("Connect"), QStringLiteral("Disconnect")};
            const QSize need = captionNeed(p.Control, p.Designed, captions);
            QRect r = p.Designed.translated(0, dy);
            r.setSize(r.size().expandedTo(need));
            if (!rects.empty())
                r.moveLeft(std::max(r.left(), rects.back().right() + 1 + kGap));
            if (p.StretchMargin > 0)
                r.setRight(std::max(r.right(), panelWidth - p.StretchMargin - 1));
            rects.push_back(r);
            designedBottom = std::max(designedBottom, p.Designed.bottom() + dy);
            bottom = std::max(bottom, r.bottom());
        }
        if (row.back().StretchMargin == 0) {
            // Pulled back from the right edge, each control only as far as
            // the room before it allows; what still sticks out widens the
            // panel.
            int bound = limit;
            for (auto r = rects.rbegin(); r != rects.rend(); ++r) {
                if (r->right() + 1 > bound)
                    r->moveRight(bound - 1);
                bound = r->left() - kGap;
            }
            const int back = kRowLimitMargin / 2 - rects.front().left();
            if (back > 0)
                for (QRect& r : rects)
                    r.translate(back, 0);
        }
        grown = std::max(0, bottom - designedBottom);
        return rects;
    };

    // The width the rows need: the designed one unless a row sticks out.
    int panelWidth = kDesignedPanelWidth;
    for (const auto& row : FRows) {
        int grown = 0;
        const std::vector<QRect> rects = placeRow(row, kDesignedPanelWidth, 0, grown);
        const int margin =
            row.back().StretchMargin > 0 ? row.back().StretchMargin : kRowLimitMargin;
        panelWidth = std::max(panelWidth, rects.back().right() + 1 + margin);
    }
    int dy = 0;
    for (const auto& row : FRows) {
        int grown = 0;
        const std::vector<QRect> rects = placeRow(row, panelWidth, dy, grown);
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i].Control->setGeometry(rects[i]);
        dy += grown;
    }
    Panel3->setGeometry(6, 6, panelWidth, kDesignedPanelHeight + dy);

    const QSize linkNeed = Label8->sizeHint();
    const QSize closeNeed =
        captionNeed(Button1, QRect(0, 0, 75, 25), {Button1->text()}).expandedTo(QSize(75, 25));
    const QSize saveNeed =
        captionNeed(bClose, QRect(0, 0, 82, 25), {bClose->text()}).expandedTo(QSize(82, 25));
    const int width = std::max({panelWidth + 10, linkNeed.width() + 8,
                                8 + closeNeed.width() + kGap + saveNeed.width() + 9});
    const int topHeight = Panel3->geometry().bottom() + 1 + 8;
    Panel5->setGeometry(0, 0, width, topHeight);
    const int linkHeight = std::max(22, linkNeed.height());
    Panel2->setGeometry(0, topHeight, width, linkHeight + 12);
    Label8->setGeometry(4, 4, width - 8, linkHeight);
    const int buttonHeight = std::max(closeNeed.height(), saveNeed.height());
    Panel1->setGeometry(0, Panel2->geometry().bottom() + 1, width, buttonHeight + 12);
    Button1->setGeometry(8, 6, closeNeed.width(), buttonHeight);
    bClose->setGeometry(width - 9 - saveNeed.width(), 6, saveNeed.width(), buttonHeight);
    setFixedSize(width, Panel1->geometry().bottom() + 1);
    FFitting = false;
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
    // A control asks for other room (the chooser's list was rebuilt).
    if (watched == Panel3 && event->type() == QEvent::LayoutRequest)
        FitCaptions();
    if (watched == Label8 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Label8Click(Label8);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TfSettings::showEvent(QShowEvent* event) {
    {
        const QSignalBlocker quiet(chbAutostart);
        chbAutostart->setChecked(platform::AutostartEnabled());
    }
    FitCaptions();
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

void TfSettings::chbAutostartClick(QObject* /*Sender*/) {
    try {
        platform::SetAutostart(chbAutostart->isChecked(), QCoreApplication::applicationFilePath());
    } catch (const std::exception& e) {
        platform::MessageRequest error;
        error.Parent = this;
        error.Text = QString::fromStdString(e.what());
        error.Icon = platform::MsgIcon::Error;
        platform::ShowMessage(error);
    }
    // The box shows what is on disk, whatever happened.
    const QSignalBlocker quiet(chbAutostart);
    chbAutostart->setChecked(platform::AutostartEnabled());
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
    if (!ini.ReadError().isEmpty()) {
        platform::MessageRequest warning;
        warning.Text =
            ini.ReadError() + QStringLiteral(" The program starts with default settings and leaves "
                                             "the file as it is.");
        warning.Caption = platform::ApplicationTitle();
        warning.Icon = platform::MsgIcon::Warning;
        platform::ShowMessage(warning);
    }

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
