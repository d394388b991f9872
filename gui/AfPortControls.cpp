#include "gui/AfPortControls.h"

#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "platform/PortNames.h"
#include "serial/AfComPort.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QFontInfo>
#include <QListView>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyle>
#include <algorithm>
#include <exception>

namespace {
// Holds drawing of the box and its list off while the items are replaced, so
// that a rebuild is drawn once, and turns it back on whatever happens.
class UpdateGuard {
public:
    explicit UpdateGuard(QComboBox* combo) : FCombo(combo) {
        FBoxWas = combo->updatesEnabled();
        FViewWas = combo->view()->updatesEnabled();
        combo->setUpdatesEnabled(false);
        combo->view()->setUpdatesEnabled(false);
    }
    ~UpdateGuard() {
        FCombo->view()->setUpdatesEnabled(FViewWas);
        FCombo->setUpdatesEnabled(FBoxWas);
    }
    UpdateGuard(const UpdateGuard&) = delete;
    UpdateGuard& operator=(const UpdateGuard&) = delete;

private:
    QComboBox* FCombo;
    bool FBoxWas = true;
    bool FViewWas = true;
};
} // namespace

// ---- TAfPortItemDelegate --------------------------------------------------------

TAfPortItemDelegate::TAfPortItemDelegate(TAfPortComboBox* Combo)
    : QStyledItemDelegate(Combo), FCombo(Combo) {}

QColor TAfPortItemDelegate::TextColor(const QStyleOptionViewItem& option,
                                      const QModelIndex& index) const {
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const bool focused = option.state.testFlag(QStyle::State_HasFocus);
    const QPalette& palette = option.palette;
    if (selected)
        return palette.color(QPalette::HighlightedText);
    QColor colour = palette.color(QPalette::Text);
    // Only plain items of the open list are recoloured: never the selected
    // (highlighted) or focused item, never the closed box.
    if (!focused && FCombo->Options().Contains(pcHighlightOpen) && FCombo->DroppedDown()) {
        const std::uint32_t data = index.data(Qt::UserRole).toUInt();
        switch (AfPortStateOfData(data)) {
        case psInUse:
            colour = palette.color(QPalette::Disabled, QPalette::Text);
            break;
        case psFree:
            colour = palette.color(QPalette::Active, QPalette::ButtonText);
            break;
        case psAbsent:
            break;
        }
    }
    return colour;
}

void TAfPortItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    painter->save();
    painter->fillRect(option.rect,
                      option.palette.brush(selected ? QPalette::Highlight : QPalette::Base));
    painter->setClipRect(option.rect);
    painter->setFont(FCombo->font());
    painter->setPen(TextColor(option, index));
    const QRect textRect = option.rect.adjusted(1, 1, 0, 0);
    painter->drawText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
    if (option.state.testFlag(QStyle::State_HasFocus)) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        focus.backgroundColor =
            option.palette.color(selected ? QPalette::Highlight : QPalette::Base);
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : FCombo->style();
        style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
    }
}

QSize TAfPortItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(FCombo->ItemHeight());
    return size;
}

// ---- TAfPortComboBox --------------------------------------------------------------

TAfPortComboBox::TAfPortComboBox(QWidget* Parent) : QComboBox(Parent) {
    // A drop-down list: not editable, items drawn by the delegate at a fixed
    // height. The list itself is built when the window comes into being.
    setEditable(false);
    // The box grows with its longest entry; the owner decides how much room
    // it gets.
    setSizeAdjustPolicy(QComboBox::AdjustToContents);
    FDelegate = new TAfPortItemDelegate(this);
    setItemDelegate(FDelegate);
    if (auto* list = qobject_cast<QListView*>(view()))
        list->setUniformItemSizes(true); // fixed height: no need to measure every row
    connect(this, &QComboBox::activated, this, &TAfPortComboBox::UserPicked);
}

TAfPortComboBox::~TAfPortComboBox() = default;

std::uint32_t TAfPortComboBox::ProbeComPort(int ComNumber) {
    TAfPortState state = psAbsent;
    switch (platform::ProbeComPort(ComNumber)) {
    case platform::PortProbe::Free:
        state = psFree;
        break;
    case platform::PortProbe::InUse:
        state = psInUse;
        break;
    case platform::PortProbe::Absent:
        state = psAbsent;
        break;
    }
    return AfPackPortData(ComNumber, state);
}

void TAfPortComboBox::FillPortList() {
    // The first rebuild is also the moment the list comes into being; a later
    // first show then has nothing more to do.
    FWindowCreated = true;
    UpdateGuard updates(this);
    clear(); // nothing selected: listeners see -1 once
    {
        // Adding to an empty box selects the first item; that passing
        // selection is nobody's business.
        const QSignalBlocker quiet(this);
        const bool checkExist = FOptions.Contains(pcCheckExist);
        const bool onlyFree = checkExist && FOptions.Contains(pcDisableOpen);
        for (int n = 1; n <= FMaxComPorts; ++n) {
            // Every number is probed, whatever the options.
            const std::uint32_t data = ProbeComPort(n);
            const TAfPortState state = AfPortStateOfData(data);
            bool add = true;
            if (onlyFree)
                add = state == psFree;
            else if (checkExist)
                add = state == psInUse || state == psFree;
            if (add)
                addItem(ItemText(n, state), QVariant::fromValue<uint>(data));
        }
        setCurrentIndex(-1);
    }
    // The open list is as wide as its longest entry, whatever the box's width.
    int widest = 0;
    for (int i = 0; i < count(); ++i)
        widest = std::max(widest, fontMetrics().horizontalAdvance(itemText(i)));
    view()->setMinimumWidth(widest + 2 * view()->frameWidth() + 8);
}

QString TAfPortComboBox::ItemText(int ComNumber, TAfPortState State) const {
    QString text = QStringLiteral("COM %1").arg(ComNumber);
    if (State == psAbsent)
        return text;
    const std::string about =
        platform::DescribePortDevice(platform::ComPortPath(ComNumber), FSysfsRoot.toStdString());
    if (!about.empty())
        text += QStringLiteral("  ") + QString::fromStdString(about);
    return text;
}

void TAfPortComboBox::SetSysfsRoot(const QString& Value) {
    if (Value == FSysfsRoot)
        return;
    FSysfsRoot = Value;
    if (FWindowCreated)
        FillPortList();
}

void TAfPortComboBox::SyncItemIndex() {
    for (int i = 0; i < count(); ++i) {
        if (AfPortNumberOfData(PortNumberOf(i)) == FSelectedComNumber) {
            setCurrentIndex(i);
            return;
        }
    }
    if (count() > 0) {
        setCurrentIndex(0);
        FSelectedComNumber = std::uint16_t(AfPortNumberOfData(PortNumberOf(0)));
    } else {
        FSelectedComNumber = 0;
    }
}

std::uint32_t TAfPortComboBox::PortNumberOf(int Index) const {
    if (Index < 0 || Index >= count())
        return 0;
    return itemData(Index, Qt::UserRole).toUInt();
}

bool TAfPortComboBox::DroppedDown() const {
    return view() && view()->isVisible();
}

void TAfPortComboBox::SetOptions(TAfPortCtlOptions Value) {
    if (Value == FOptions)
        return;
    FOptions = Value;
    FillPortList();
}

void TAfPortComboBox::SetMaxComPorts(std::int16_t Value) {
    if (Value == FMaxComPorts)
        return;
    FMaxComPorts = Value;
    FillPortList();
}

void TAfPortComboBox::SetComPort(TAfComPort* Value) {
    if (Value == FComPort)
        return;
    FComPort = Value;
    if (!Value)
        return;
    const int number = Value->ComNumber();
    if (number != FSelectedComNumber) {
        FSelectedComNumber = std::uint16_t(number);
        SyncItemIndex();
    }
    // An earlier link's notice stays connected; it only acts for the
    // component linked at the time.
    connect(Value, &QObject::destroyed, this, &TAfPortComboBox::ComPortDestroyed,
            Qt::UniqueConnection);
}

void TAfPortComboBox::ComPortDestroyed(QObject* Port) {
    if (FComPort && Port == static_cast<QObject*>(FComPort))
        SetComPort(nullptr);
}

void TAfPortComboBox::UserPicked(int /*Index*/) {
    // Nothing may leave a Qt signal as an exception: what escapes the pick
    // goes to the application's handler, as any failure of a GUI handler.
    try {
        Change();
    } catch (...) {
        platform::HandleApplicationException(std::current_exception());
    }
}

void TAfPortComboBox::Change() {
    FSelectedComNumber = std::uint16_t(AfPortNumberOfData(PortNumberOf(currentIndex())));
    if (OnChange) {
        TNotifyEvent handler = OnChange; // the handler may reassign the event
        handler(this);
    }
    if (!FComPort || FSelectedComNumber == 0)
        return;
    std::exception_ptr failure;
    try {
        FComPort->SetComNumber(FSelectedComNumber);
        // The port's own handlers run inside SetComNumber and may have freed
        // it; the destruction notice has then unlinked it.
        if (FComPort && !FComPort->Active())
            FComPort->Open();
    } catch (...) {
        failure = std::current_exception();
    }
    // Probed anew, with the chosen port now in use, before any failure is
    // reported.
    FillPortList();
    SyncItemIndex();
    if (failure)
        std::rethrow_exception(failure);
}

void TAfPortComboBox::CreateWnd() {
    FWindowCreated = true;
    FillPortList();
}

void TAfPortComboBox::showEvent(QShowEvent* event) {
    QComboBox::showEvent(event);
    // The list comes into being with the window: the first show builds it
    // unless a property change has done so already. Later shows keep the
    // list and the selection.
    if (!FWindowCreated)
        CreateWnd();
}

void TAfPortComboBox::changeEvent(QEvent* event) {
    QComboBox::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        FItemHeight = QFontInfo(font()).pixelSize() + 5;
        // A new font means a new window, and a new window a fresh list.
        if (FWindowCreated)
            FillPortList();
    }
}

bool TAfPortComboBox::event(QEvent* event) {
    const bool result = QComboBox::event(event);
    // A native window of our own: its first one is the window's creation
    // unless the list already exists; any later one is a re-creation, which
    // probes the list anew. Losing the window (id 0) does nothing.
    if (event->type() == QEvent::WinIdChange && internalWinId() != 0) {
        if (FHadNativeWindow || !FWindowCreated)
            CreateWnd();
        FHadNativeWindow = true;
    }
    return result;
}
