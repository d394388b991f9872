#include "gui/uSettings.h"

#include "core/Core.h"
#include "gui/AfPortControls.h"
#include "gui/AlarmDialog.h"
#include "gui/MessageParent.h"
#include "gui/MqttDialog.h"
#include "gui/ScreenFit.h"
#include "gui/TimeSeriesDialog.h"
#include "gui/uIntEdit.h"
#include "platform/AppPaths.h"
#include "platform/Autostart.h"
#include "platform/MessageBox.h"
#include "platform/PortNames.h"
#include "serial/AfComPort.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <limits>
#include <stdexcept>

TfSettings* fSettings = nullptr;

namespace {

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
constexpr int kButtonPadding = 6; // free room each side of a bottom button's caption
constexpr int kFindWidth = 61;    // the designed width of Find, right of the port list
const QString kFindCaption = QStringLiteral("Find");
const QString kSearchingCaption = QStringLiteral("Searching...");

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
constexpr int kDesignedPanelHeight = 267 + kLinkRows + 24 + 24; // + the time-series row

} // namespace

TfSettings::TfSettings(TKelvoxCore& core, QWidget* parent) : QDialog(parent), Core_(core) {
    BuildWindow();
    BuildUploadControls();
    BuildPortControls();
    BuildOtherControls();
    BuildBottomBands();
    ArrangeRows();
    ConnectHandlers();
    ConnectSettings();
    ConnectLink();
}

void TfSettings::BuildWindow() {
    setObjectName(QStringLiteral("fSettings"));
    setWindowTitle(QStringLiteral("Options"));
    UseDialogFrame(this);
    setFont(designFont(11));
    setModal(true);
}

void TfSettings::BuildUploadControls() {
    // The top band scrolls when the dialog would be taller than the screen
    // (a small screen at a large scale), so that the buttons stay whole.
    Scroll5 = new QScrollArea(this);
    Scroll5->setObjectName(QStringLiteral("Scroll5"));
    Scroll5->setFrameShape(QFrame::NoFrame);
    Scroll5->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Panel5 = new QFrame;
    Scroll5->setWidget(Panel5);
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
    // An empty target says what belongs there: the reading is appended.
    edTarget->setPlaceholderText(QStringLiteral("http://example.org/teplota.php?teplota="));
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
    // The range the settings check keeps the file's value in.
    IntEdit1->SetMinValue(DefOf(Setting::Period).Min);
    IntEdit1->SetMaxValue(DefOf(Setting::Period).Max);
    Label4 = makeLabel(QStringLiteral("Label4"),
                       QStringLiteral("minutes    (0 = Timer is disabled)"), Panel3, 122, 107);
}

void TfSettings::BuildPortControls() {
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
    AfPortComboBox1->SetComPort(Core_.Link().Port());
    bFind = new QPushButton(kFindCaption, Panel3);
    bFind->setObjectName(QStringLiteral("bFind"));
    bFind->setGeometry(kDesignedPanelWidth - kRowLimitMargin - kFindWidth, 168, kFindWidth, 22);
    bFind->setAutoDefault(false);
    bFind->setToolTip(QStringLiteral("Listen on the free ports for the thermometer"));
    FSearch = new TPortSearch(this);
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
}

void TfSettings::BuildOtherControls() {
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
    bMqtt = new QPushButton(QStringLiteral("MQTT..."), Panel3);
    bMqtt->setObjectName(QStringLiteral("bMqtt"));
    bMqtt->setGeometry(247, 262 + kLinkRows, 64, 19);
    bMqtt->setAutoDefault(false);
    bTimeSeries = new QPushButton(QStringLiteral("Time series..."), Panel3);
    bTimeSeries->setObjectName(QStringLiteral("bTimeSeries"));
    bTimeSeries->setGeometry(211, 286 + kLinkRows, 100, 19);
    bTimeSeries->setAutoDefault(false);
}

void TfSettings::BuildBottomBands() {
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
    bAlarm = new QPushButton(QStringLiteral("Alarm..."), Panel1);
    bAlarm->setObjectName(QStringLiteral("bAlarm"));
    bAlarm->setGeometry(129, 6, 75, 25);
    bAlarm->setAutoDefault(false);
    bClose = new QPushButton(QStringLiteral("Save and close"), Panel1);
    bClose->setObjectName(QStringLiteral("bClose"));
    bClose->setGeometry(242, 6, 82, 25);
    bClose->setDefault(true);
}

void TfSettings::ArrangeRows() {
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
    AddRow({label(Label2), as(AfPortComboBox1, kRowLimitMargin + kGap + kFindWidth), as(bFind)});
    AddRow({as(shState), as(bConn), as(CheckBox1)});
    AddRow({as(chbAutoReconnect)});
    AddRow({label(Label7)});
    AddRow({as(Panel8, 6)});
    AddRow({as(chbAlwaysOnTop), as(chbGeneTempLOG)});
    AddRow({as(chbAutostart), as(bMqtt)});
    AddRow({as(bTimeSeries)});
    Panel3->installEventFilter(this);
    FitCaptions();
}

void TfSettings::ConnectHandlers() {
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
    connect(bMqtt, &QPushButton::clicked, this, [this] { bMqttClick(bMqtt); });
    connect(bTimeSeries, &QPushButton::clicked, this, [this] { bTimeSeriesClick(bTimeSeries); });
    connect(bAlarm, &QPushButton::clicked, this, [this] { bAlarmClick(bAlarm); });
    connect(bFind, &QPushButton::clicked, this, [this] { bFindClick(bFind); });
    FSearch->OnFinished = [this](const PortSearchResult& result) { FindFinished(result); };
}

void TfSettings::ConnectSettings() {
    // The controls edit the live settings at once.
    connect(edTarget, &QLineEdit::textChanged, this,
            [this](const QString& text) { Core_.Settings().SetText(Setting::TargetURL, text); });
    connect(CheckBox1, &QCheckBox::toggled, this,
            [this](bool on) { Core_.Settings().SetCheck(Setting::AutoConnect, on); });
    connect(chbAutoReconnect, &QCheckBox::toggled, this,
            [this](bool on) { Core_.Settings().SetCheck(Setting::AutoReconnect, on); });
    connect(chbGeneTempLOG, &QCheckBox::toggled, this,
            [this](bool on) { Core_.Settings().SetCheck(Setting::GeneTemp, on); });
    // ... and show what others change (the settings file at start).
    connect(&Core_.Settings(), &TSettingsModel::Changed, this, &TfSettings::ShowSetting);
    for (const Setting id : {Setting::TargetURL, Setting::Period, Setting::AutoConnect,
                             Setting::AutoReconnect, Setting::AlwaysOnTop, Setting::GeneTemp})
        ShowSetting(id);
}

void TfSettings::ConnectLink() {
    TLink& link = Core_.Link();
    link.SetWarningPresenter(
        [this](const platform::MessageRequest& r) { return ShowMessageOver(this, r); });
    // The lamp and the toggle's caption follow the port itself, whichever
    // way it was opened or closed (the toggle, a pick in the chooser, a
    // retry, the watchdog, a hang-up), so the caption always names what a
    // press will do.
    connect(&link, &TLink::LinkChanged, this, [this](bool open) {
        shState->SetBrushColor(open ? kLampOpen : kLampClosed);
        bConn->setText(open ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    });
    // Whether a port is chosen is the chooser's selection (also at start,
    // where the link looked at the stored number on its own).
    auto pushChosen = [this] { Core_.Link().SetPortChosen(AfPortComboBox1->ItemIndex() != -1); };
    connect(AfPortComboBox1, &QComboBox::currentIndexChanged, this, pushChosen);
    // The settings may have named another port than the one linked at
    // construction: the chooser shows the one a connect will open.
    connect(&Core_, &TKelvoxCore::Loaded, this, [this, pushChosen] {
        if (!AfPortComboBox1->DroppedDown())
            ShowLinkPort();
        pushChosen();
    });
    // After a pick the chooser rebuilds its list and, when the picked port
    // could not be opened, selects some other port; the port keeps the
    // picked number, so the chooser is put back on it.
    connect(AfPortComboBox1, &QComboBox::activated, this, [this] { ShowLinkPort(); });
    ShowLinkPort();
    pushChosen();
    connect(&link, &TLink::RetryStarting, this, [this] {
        if (!AfPortComboBox1->DroppedDown())
            RefillPortList();
    });
    connect(&Core_, &TKelvoxCore::PortsChanged, this, &TfSettings::RefillPortList);
}

void TfSettings::ShowSetting(Setting id) {
    const TSettingsModel& settings = Core_.Settings();
    switch (id) {
    case Setting::TargetURL:
        if (edTarget->text() != settings.Text(id))
            edTarget->setText(settings.Text(id));
        break;
    case Setting::Period:
        if (IntEdit1->Value() != settings.Integer(id))
            IntEdit1->SetValue(settings.Integer(id));
        break;
    case Setting::AutoConnect:
        CheckBox1->setChecked(settings.Check(id));
        break;
    case Setting::AutoReconnect:
        chbAutoReconnect->setChecked(settings.Check(id));
        break;
    case Setting::AlwaysOnTop:
        chbAlwaysOnTop->setChecked(settings.Check(id));
        break;
    case Setting::GeneTemp:
        chbGeneTempLOG->setChecked(settings.Check(id));
        break;
    default:
        break;
    }
}

void TfSettings::RefillPortList() {
    AfPortComboBox1->FillPortList();
    ShowLinkPort();
}

void TfSettings::ShowLinkPort() {
    const int number = Core_.Link().ComNumber();
    for (int i = 0; i < AfPortComboBox1->count(); ++i) {
        if (AfPortNumberOfData(AfPortComboBox1->PortNumberOf(i)) == number) {
            AfPortComboBox1->SetItemIndex(i);
            return;
        }
    }
    // With no port at all there is nothing to choose, and the toggle says
    // so; otherwise the absent port is listed as such and selected.
    if (AfPortComboBox1->count() == 0 || number <= 0)
        return;
    AfPortComboBox1->addItem(AfPortComboBox1->ItemText(number, psAbsent) +
                                 QStringLiteral(" (not present)"),
                             QVariant::fromValue<uint>(AfPackPortData(number, psAbsent)));
    AfPortComboBox1->SetItemIndex(AfPortComboBox1->count() - 1);
}

std::vector<QRect> TfSettings::PlaceRow(const std::vector<Placed>& row, int panelWidth, int dy,
                                        int& grown) const {
    const int limit = panelWidth - kRowLimitMargin;
    std::vector<QRect> rects;
    int designedBottom = 0, bottom = 0;
    for (const Placed& p : row) {
        QStringList captions;
        if (auto* button = qobject_cast<QPushButton*>(p.Control))
            captions << button->text();
        if (p.Control == bConn)
            captions = {QStringLiteral("Connect"), QStringLiteral("Disconnect")};
        if (p.Control == bFind)
            captions = {kFindCaption, kSearchingCaption};
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
}

int TfSettings::FitRows() {
    // The port list stretches up to Find, as wide as its captions need.
    const int findWidth =
        std::max(kFindWidth,
                 captionNeed(bFind, bFind->geometry(), {kFindCaption, kSearchingCaption}).width());
    for (auto& row : FRows)
        for (Placed& p : row)
            if (p.Control == AfPortComboBox1)
                p.StretchMargin = kRowLimitMargin + kGap + findWidth;
    // The width the rows need: the designed one unless a row sticks out.
    int panelWidth = kDesignedPanelWidth;
    for (const auto& row : FRows) {
        int grown = 0;
        const std::vector<QRect> rects = PlaceRow(row, kDesignedPanelWidth, 0, grown);
        const int margin =
            row.back().StretchMargin > 0 ? row.back().StretchMargin : kRowLimitMargin;
        panelWidth = std::max(panelWidth, rects.back().right() + 1 + margin);
    }
    int dy = 0;
    for (const auto& row : FRows) {
        int grown = 0;
        const std::vector<QRect> rects = PlaceRow(row, panelWidth, dy, grown);
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i].Control->setGeometry(rects[i]);
        dy += grown;
    }
    Panel3->setGeometry(6, 6, panelWidth, kDesignedPanelHeight + dy);
    return panelWidth;
}

void TfSettings::FitBands(int panelWidth) {
    // Without a home page the link's band is left out: it would stand as an
    // empty strip above the buttons.
    const bool withLink = !Label8->isHidden();
    const QSize linkNeed = withLink ? Label8->sizeHint() : QSize();
    // The bottom buttons' captions get room to breathe on either side; the
    // designed width left "Save and close" about a pixel of it.
    const QSize breathe(2 * kButtonPadding, 0);
    const QSize closeNeed = (captionNeed(Button1, QRect(0, 0, 75, 25), {Button1->text()}) + breathe)
                                .expandedTo(QSize(75, 25));
    const QSize saveNeed = (captionNeed(bClose, QRect(0, 0, 82, 25), {bClose->text()}) + breathe)
                               .expandedTo(QSize(82, 25));
    const QSize alarmNeed = (captionNeed(bAlarm, QRect(0, 0, 75, 25), {bAlarm->text()}) + breathe)
                                .expandedTo(QSize(75, 25));
    int width =
        std::max({panelWidth + 10, linkNeed.width() + 8,
                  8 + closeNeed.width() + kGap + alarmNeed.width() + kGap + saveNeed.width() + 9});
    const int topHeight = Panel3->geometry().bottom() + 1 + 8;
    Panel5->setGeometry(0, 0, width, topHeight);
    const int linkHeight = withLink ? std::max(22, linkNeed.height()) : 0;
    const int buttonHeight = std::max({closeNeed.height(), alarmNeed.height(), saveNeed.height()});
    // What the screen leaves the top band; it scrolls when that is less.
    const int below = (withLink ? linkHeight + 12 : 0) + buttonHeight + 12;
    const int shown = MaxHeight_ > 0 ? std::clamp(MaxHeight_ - below, 60, topHeight) : topHeight;
    const int bar = shown < topHeight ? Scroll5->verticalScrollBar()->sizeHint().width() : 0;
    Scroll5->setGeometry(0, 0, width + bar, shown);
    const int top = shown;
    width += bar;
    Panel2->setGeometry(0, top, width, withLink ? linkHeight + 12 : 0);
    Panel2->setVisible(withLink);
    Label8->setGeometry(4, 4, width - 8, linkHeight);
    Panel1->setGeometry(0, withLink ? Panel2->geometry().bottom() + 1 : top, width,
                        buttonHeight + 12);
    Button1->setGeometry(8, 6, closeNeed.width(), buttonHeight);
    bClose->setGeometry(width - 9 - saveNeed.width(), 6, saveNeed.width(), buttonHeight);
    // Between the two, centred.
    bAlarm->setGeometry((8 + closeNeed.width() + bClose->x() - alarmNeed.width()) / 2, 6,
                        alarmNeed.width(), buttonHeight);
    setFixedSize(width, Panel1->geometry().bottom() + 1);
}

void TfSettings::FitCaptions() {
    if (FFitting)
        return;
    const FlagScope fitting(FFitting);
    FitBands(FitRows());
}

TfSettings::~TfSettings() {
    Core_.Link().StopReconnect();
    Core_.Link().SetWarningPresenter(nullptr);
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
    if (const QScreen* s = QGuiApplication::primaryScreen())
        MaxHeight_ = s->availableGeometry().height() - (OuterSize(this).height() - height());
    FitCaptions();
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        // Centred in the room panels leave; a dialog taller than that (a
        // small screen at a large scale) shows its top rather than its middle.
        const QRect screen = s->availableGeometry();
        const QSize outer = OuterSize(this);
        TScreenPlace::Fit(this, {screen.x() + (screen.width() - outer.width()) / 2,
                                 screen.y() + (screen.height() - outer.height()) / 2});
    }
    QDialog::showEvent(event);
}

void TfSettings::bSendClick(QObject* /*Sender*/) {
    Core_.Upload().Send(/*manual=*/true);
}

void TfSettings::bConnClick(QObject* /*Sender*/) {
    Core_.Link().Toggle(FUserConnPress ? TLink::Caller::User : TLink::Caller::Program);
}

void TfSettings::IntEdit1Change(QObject* /*Sender*/) {
    TSettingsModel& settings = Core_.Settings();
    if (settings.Integer(Setting::Period) != IntEdit1->Value())
        settings.SetInteger(Setting::Period, IntEdit1->Value());
    else
        Core_.Upload().ApplyPeriod(/*restart=*/true);
}

void TfSettings::IntEdit1Exit(QObject* /*Sender*/) {
    // Typing 5 over 5 is no change, but typing 5 over 1 is only seen by
    // OnChange while Value is still 1.
    if (Core_.Settings().Integer(Setting::Period) != IntEdit1->Value())
        Core_.Settings().SetInteger(Setting::Period, IntEdit1->Value());
    else
        Core_.Upload().ApplyPeriod(/*restart=*/false);
}

void TfSettings::chbAlwaysOnTopClick(QObject* /*Sender*/) {
    Core_.Settings().SetCheck(Setting::AlwaysOnTop, chbAlwaysOnTop->isChecked());
}

void TfSettings::Button1Click(QObject* /*Sender*/) {
    close();
}

void TfSettings::bCloseClick(QObject* /*Sender*/) {
    Core_.SaveSettings();
    close();
}

void TfSettings::chbAutostartClick(QObject* /*Sender*/) {
    try {
        platform::SetAutostart(chbAutostart->isChecked(), QCoreApplication::applicationFilePath());
    } catch (const std::exception& e) {
        platform::MessageRequest error;
        error.Text = QString::fromStdString(e.what());
        error.Icon = platform::MsgIcon::Error;
        ShowMessageOver(this, error);
    }
    // The box shows what is on disk, whatever happened.
    const QSignalBlocker quiet(chbAutostart);
    chbAutostart->setChecked(platform::AutostartEnabled());
}

void TfSettings::bMqttClick(QObject* /*Sender*/) {
    TMqttDialog dialog(this);
    dialog.SetSettings(Core_.MqttSettingsNow());
    dialog.Follow(Core_.Mqtt());
    dialog.OnApply = [this](const MqttSettings& settings) { Core_.SetMqttSettings(settings); };
    dialog.bApply->setVisible(true);
    // Over the options dialog that opened it, as the window system may not
    // place it so by itself.
    dialog.adjustSize();
    const QSize outer = OuterSize(&dialog);
    const QPoint centre = frameGeometry().center();
    dialog.move(centre.x() - outer.width() / 2, centre.y() - outer.height() / 2);
    FitWhenShown(&dialog);
    // Taken at once, like the other options; "Save and close" writes them.
    if (dialog.exec() == QDialog::Accepted)
        Core_.SetMqttSettings(dialog.Settings());
}

void TfSettings::bAlarmClick(QObject* /*Sender*/) {
    TAlarmDialog dialog(Core_, this);
    UseDialogFrame(&dialog);
    FitWhenShown(&dialog);
    dialog.exec();
}

void TfSettings::bTimeSeriesClick(QObject* /*Sender*/) {
    TTimeSeriesDialog dialog(this);
    FitWhenShown(&dialog);
    dialog.SetSettings(Core_.TimeSeriesSettingsNow());
    dialog.Follow(Core_.TimeSeries(), [this] { return Core_.Now(); });
    dialog.OnApply = [this](const TimeSeriesSettings& settings) {
        Core_.SetTimeSeriesSettings(settings);
    };
    dialog.bApply->setVisible(true);
    // Taken at once, like the other options; "Save and close" writes them.
    if (dialog.exec() == QDialog::Accepted)
        Core_.SetTimeSeriesSettings(dialog.Settings());
}

void TfSettings::Label8Click(QObject* /*Sender*/) {
    const QString address = Label8->text().trimmed();
    if (address.isEmpty())
        return;
    const QString withScheme =
        address.contains(QStringLiteral("://")) ? address : QStringLiteral("http://") + address;
    QDesktopServices::openUrl(QUrl(withScheme));
}

void TfSettings::bFindClick(QObject* /*Sender*/) {
    PortSearchOptions options = FindOptions;
    options.Formats = platform::FormatSettings::Current();
    if (Core_.Link().Open())
        options.OwnPort = Core_.Link().ComNumber();
    if (!FSearch->Start(options))
        return;
    bFind->setText(kSearchingCaption);
    bFind->setEnabled(false);
}

void TfSettings::FindFinished(const PortSearchResult& result) {
    bFind->setText(kFindCaption);
    bFind->setEnabled(true);
    RefillPortList();
    const platform::FormatSettings& formats = platform::FormatSettings::Current();
    const std::vector<HeardPort> found = result.Thermometers();
    platform::MessageRequest box;
    box.Caption = QStringLiteral("Find");
    if (found.empty()) {
        QStringList lines;
        for (const HeardPort& port : result.Ports)
            lines << HeardLine(port, formats);
        box.Text = QStringLiteral("No thermometer found: %1.\n\n%2%3")
                       .arg(TriedText(result), lines.join(u'\n'),
                            (lines.isEmpty() ? QString() : QStringLiteral("\n\n")) + UsualCauses());
        box.Icon = platform::MsgIcon::Warning;
        ShowMessageOver(this, box);
        return;
    }
    // Picked as the user would pick it: the port takes the number and opens.
    const HeardPort& port = found.front();
    // An open port is never closed behind the user's back: a live
    // thermometer would give way to another one.
    if (Core_.Link().Open() && Core_.Link().ComNumber() != port.ComNumber) {
        box.Text = QStringLiteral("A thermometer was found on COM%1. Close COM%2, which is open "
                                  "now, and connect to COM%1?")
                       .arg(port.ComNumber)
                       .arg(Core_.Link().ComNumber());
        box.Icon = platform::MsgIcon::Question;
        box.Buttons = platform::MsgButtons::YesNo;
        if (ShowMessageOver(this, box) != platform::MsgResult::Yes)
            return;
        box.Buttons = platform::MsgButtons::Ok;
    }
    for (int i = 0; i < AfPortComboBox1->count(); ++i)
        if (AfPortNumberOfData(AfPortComboBox1->PortNumberOf(i)) == port.ComNumber) {
            AfPortComboBox1->SetItemIndex(i);
            emit AfPortComboBox1->activated(i);
            break;
        }
    if (found.size() > 1) {
        QStringList numbers;
        for (const HeardPort& p : found)
            numbers << QStringLiteral("COM%1").arg(p.ComNumber);
        box.Text = QStringLiteral("Thermometers on %1; COM%2 is chosen.")
                       .arg(numbers.join(QStringLiteral(", ")))
                       .arg(port.ComNumber);
        box.Icon = platform::MsgIcon::Information;
        ShowMessageOver(this, box);
    }
    if (!OffersStableName(port))
        return;
    box.Text = QStringLiteral("COM%1 is a USB device. Remember it by the name that stays the same "
                              "when it is plugged into another socket?\n\n[Ports] COM%1=%2")
                   .arg(port.ComNumber)
                   .arg(QFile::decodeName(port.StableName.c_str()));
    box.Icon = platform::MsgIcon::Question;
    box.Buttons = platform::MsgButtons::YesNo;
    if (ShowMessageOver(this, box) != platform::MsgResult::Yes)
        return;
    // The port list follows the core's PortsChanged.
    Core_.RememberStableName(port);
}
