// The port chooser: a drop-down list of COM port numbers that probes every
// number from 1 to MaxComPorts, lists them as Options say (each with the
// device behind it), greys ports in use while the list is dropped down, and
// applies a pick by the user at once to the linked serial port component
// (new number, opened if closed).
//
// Main (GUI) thread only. A rebuild probes every number synchronously; each
// free port is briefly opened and closed.
#pragma once

#include "platform/Types.h"

#include <QComboBox>
#include <QStyledItemDelegate>
#include <cstdint>
#include <initializer_list>

class TAfComPort;
class TAfPortComboBox;

enum TAfPortCtlOption : std::uint8_t {
    pcCheckExist,   // list only ports that exist
    pcDisableOpen,  // with pcCheckExist: list only free ports; alone no effect
    pcHighlightOpen // grey the ports in use in the dropped-down list
};

// A set of TAfPortCtlOption in one byte: bit i stands for the option of
// ordinal i. Bits without an option are never set.
class TAfPortCtlOptions {
public:
    static constexpr std::uint8_t ValidBits = 0x07;

    constexpr TAfPortCtlOptions() = default;
    constexpr TAfPortCtlOptions(std::initializer_list<TAfPortCtlOption> options) {
        for (TAfPortCtlOption o : options)
            Include(o);
    }
    static constexpr TAfPortCtlOptions FromBits(std::uint8_t bits) {
        TAfPortCtlOptions s;
        s.FBits = bits & ValidBits;
        return s;
    }
    constexpr std::uint8_t Bits() const { return FBits; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool Contains(TAfPortCtlOption o) const { return (FBits & BitOf(o)) != 0; }
    constexpr TAfPortCtlOptions& Include(TAfPortCtlOption o) {
        FBits |= BitOf(o);
        return *this;
    }
    constexpr TAfPortCtlOptions& Exclude(TAfPortCtlOption o) {
        FBits &= static_cast<std::uint8_t>(~BitOf(o));
        return *this;
    }
    friend constexpr bool operator==(TAfPortCtlOptions, TAfPortCtlOptions) = default;

private:
    static constexpr std::uint8_t BitOf(TAfPortCtlOption o) {
        return o <= pcHighlightOpen ? static_cast<std::uint8_t>(1u << o) : 0;
    }
    std::uint8_t FBits = 0;
};
static_assert(sizeof(TAfPortCtlOptions) == 1);

// The probe result kept in bits 16-31 of an item's data value.
enum TAfPortState : std::uint16_t { psInUse = 0, psFree = 1, psAbsent = 2 };

// Item data: port number in bits 0-15, state in bits 16-31.
constexpr std::uint32_t AfPackPortData(int ComNumber, TAfPortState State) {
    return (std::uint32_t(State) << 16) | (std::uint32_t(ComNumber) & 0xFFFFu);
}
constexpr int AfPortNumberOfData(std::uint32_t Data) {
    return int(Data & 0xFFFFu);
}
constexpr TAfPortState AfPortStateOfData(std::uint32_t Data) {
    return TAfPortState(Data >> 16);
}

// Draws the chooser's items: the background, then the text at one pixel in
// from the top-left corner, in grey for ports in use or in the button-text
// colour for free ones when the chooser asks for it (see TextColor).
class TAfPortItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TAfPortItemDelegate(TAfPortComboBox* Combo);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The text colour of an item: the selection's text colour for a selected
    // item, else the palette's text colour; with pcHighlightOpen, an item
    // that is neither selected nor focused, and the list dropped down, ports
    // in use take the disabled (grey) text colour and free ones the button
    // text colour. Absent ports keep the default.
    QColor TextColor(const QStyleOptionViewItem& option, const QModelIndex& index) const;

private:
    TAfPortComboBox* FCombo;
};

class TAfPortComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TAfPortComboBox(QWidget* Parent = nullptr);
    ~TAfPortComboBox() override;

    // The linked component, not owned. Linking selects the component's
    // number when it differs from SelectedComNumber. A destroyed component
    // unlinks itself; the list and the selection stay.
    TAfComPort* ComPort() const { return FComPort; }
    void SetComPort(TAfComPort* Value);

    // Changing either rebuilds the list (which leaves nothing selected).
    TAfPortCtlOptions Options() const { return FOptions; }
    void SetOptions(TAfPortCtlOptions Value);
    std::int16_t MaxComPorts() const { return FMaxComPorts; }
    void SetMaxComPorts(std::int16_t Value);

    // The port number the chooser stands for; 0 = none.
    std::uint16_t SelectedComNumber() const { return FSelectedComNumber; }

    // The selected item's index, -1 for none. Setting it is no pick.
    int ItemIndex() const { return currentIndex(); }
    void SetItemIndex(int Value) { setCurrentIndex(Value); }

    // Item height in pixels: 16 until the font changes, then the font's pixel
    // height plus 5.
    int ItemHeight() const { return FItemHeight; }

    // Fired when the user picks an item (mouse or arrow keys), before the
    // pick is applied to the linked port. Setting the index from code does
    // not fire it.
    TNotifyEvent OnChange;

    // Where sysfs is mounted ("/sys"); item texts describe the device behind
    // each listed number from there. Changing it rebuilds a built list.
    QString SysfsRoot() const { return FSysfsRoot; }
    void SetSysfsRoot(const QString& Value);
    // "COM 33  ttyUSB0 (FT232R USB UART)": the number, then for a port that
    // exists the device behind it and what it is, as far as sysfs tells.
    QString ItemText(int ComNumber, TAfPortState State) const;

    // Probes COM n and packs the result as an item's data value.
    static std::uint32_t ProbeComPort(int ComNumber);
    // Probes 1..MaxComPorts and lists them as Options say; afterwards
    // nothing is selected.
    void FillPortList();
    // Selects the item of SelectedComNumber, else item 0 (taking its
    // number), else stands for port 0.
    void SyncItemIndex();
    // 0 for -1, else the item's data value.
    std::uint32_t PortNumberOf(int Index) const;
    // True while the list is dropped down.
    bool DroppedDown() const;

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void CreateWnd();
    void UserPicked(int Index);
    void Change();
    void ComPortDestroyed(QObject* Port);

    TAfComPort* FComPort = nullptr;
    std::uint16_t FSelectedComNumber = 0;
    TAfPortCtlOptions FOptions{pcCheckExist};
    std::int16_t FMaxComPorts = 4;
    int FItemHeight = 16;
    QString FSysfsRoot = QStringLiteral("/sys");
    bool FWindowCreated = false;
    bool FHadNativeWindow = false;
    TAfPortItemDelegate* FDelegate = nullptr;
};
