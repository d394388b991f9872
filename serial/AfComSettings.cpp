#include "serial/AfComSettings.h"

#include <cstddef>

namespace {

// A size as the 16-bit limit fields hold it: its low 16 bits (two's
// complement, well defined).
std::uint16_t AsLimitField(std::int32_t size) {
    return static_cast<std::uint16_t>(size);
}

// The flow limit that goes with `limit`: the buffer's size less it, both as
// the 16-bit fields hold them, wrapping below zero as the fields do.
std::uint16_t OtherLimit(std::int32_t bufSize, std::uint16_t limit) {
    return static_cast<std::uint16_t>((static_cast<std::uint32_t>(AsLimitField(bufSize)) - limit) &
                                      0xFFFFu);
}

// Bounds an ordinal read from a byte to its table; a value that no table row
// holds (a corrupted or out-of-range byte) falls back to the given default.
template <typename Table>
win::DWORD Lookup(const Table& table, std::size_t ordinal, std::size_t fallback) {
    return ordinal < table.size() ? table[ordinal] : table[fallback];
}

} // namespace

win::DWORD TAfComSettings::EffectiveBaudRate() const {
    if (BaudRate == brUser)
        return static_cast<win::DWORD>(UserBaudRate);
    return Lookup(AfBaudRateTable, BaudRate, br115200);
}

void TAfComSettings::BuildDcb() {
    // Every member of a value-initialised DCB is 0 except DCBlength (28);
    // the record has no padding, so all 28 bytes are defined.
    DcbImage = win::DCB{};
    DcbImage.DCBlength = sizeof(win::DCB);

    DcbImage.BaudRate = EffectiveBaudRate();
    DcbImage.ByteSize = static_cast<win::BYTE>(Lookup(AfDatabitsTable, Databits, db8));
    DcbImage.Parity = static_cast<win::BYTE>(Lookup(AfParityTable, Parity, paNone));
    DcbImage.StopBits = static_cast<win::BYTE>(Lookup(AfStopbitsTable, Stopbits, sbOne));

    DcbImage.XonChar = XOnChar;
    DcbImage.XoffChar = XOffChar;
    DcbImage.XonLim = XOnLim;
    DcbImage.XoffLim = XOffLim;

    win::DWORD flags = Lookup(AfFlowControlMask, FlowControl, fwNone) | win::fBinary;
    for (std::size_t o = 0; o < AfComOptionFlag.size(); ++o)
        if (Options.Contains(static_cast<TAfComOption>(o)))
            flags |= AfComOptionFlag[o];
    // A handshake mode of the flow mask stands whatever DTR or RTS says.
    if (DTR && FlowControl != fwDtrDsr)
        flags |= win::dtrControlBits(win::DTR_CONTROL_ENABLE);
    if (RTS && FlowControl != fwRtsCts)
        flags |= win::rtsControlBits(win::RTS_CONTROL_ENABLE);
    DcbImage.Flags = flags;
}

bool TAfComSettings::LoadFromDcb(const win::DCB& dcb) {
    if (dcb.DCBlength != sizeof(win::DCB))
        return false;

    DcbImage = dcb;

    // The first matching row wins; the brUser row holds 0, so a rate of 0
    // selects brUser and keeps UserBaudRate.
    bool rateFound = false;
    for (std::size_t i = 0; i < AfBaudRateTable.size(); ++i) {
        if (AfBaudRateTable[i] == dcb.BaudRate) {
            BaudRate = static_cast<TAfBaudrate>(i);
            rateFound = true;
            break;
        }
    }
    if (!rateFound) {
        BaudRate = brUser;
        UserBaudRate = static_cast<std::int32_t>(dcb.BaudRate);
    }

    Databits = db8;
    for (std::size_t i = 0; i < AfDatabitsTable.size(); ++i) {
        if (AfDatabitsTable[i] == dcb.ByteSize) {
            Databits = static_cast<TAfDatabits>(i);
            break;
        }
    }
    Parity = dcb.Parity < AfParityTable.size() ? static_cast<TAfParity>(dcb.Parity) : paNone;
    Stopbits =
        dcb.StopBits < AfStopbitsTable.size() ? static_cast<TAfStopbits>(dcb.StopBits) : sbOne;

    // Highest ordinal first: a DCB with both the XON/XOFF bits and the CTS/RTS
    // handshake bits yields fwRtsCts. fwNone's empty mask catches the rest.
    FlowControl = fwNone;
    for (int i = static_cast<int>(AfFlowControlMask.size()) - 1; i >= 0; --i) {
        const win::DWORD mask = AfFlowControlMask[static_cast<std::size_t>(i)];
        if ((dcb.Flags & mask) == mask) {
            FlowControl = static_cast<TAfFlowControl>(i);
            break;
        }
    }

    Options = TAfComOptions{};
    for (std::size_t o = 0; o < AfComOptionFlag.size(); ++o)
        if (dcb.Flags & AfComOptionFlag[o])
            Options.Include(static_cast<TAfComOption>(o));

    XOnChar = dcb.XonChar;
    XOffChar = dcb.XoffChar;
    XOnLim = dcb.XonLim;
    XOffLim = dcb.XoffLim;

    BuildDcb();
    return true;
}

void TAfComSettings::UpdateFlowLimits() {
    if (FlowControl == fwNone) {
        XOnLim = 0;
        XOffLim = 0;
        return;
    }
    // Integer division truncates toward zero, also for a negative size.
    XOnLim = AsLimitField(InBufSize / 4);
    XOffLim = OtherLimit(InBufSize, XOnLim);
}

void TAfComSettings::SetXOnLim(std::uint16_t v) {
    if (v == XOnLim)
        return;
    XOnLim = v;
    XOffLim = OtherLimit(InBufSize, v);
}

void TAfComSettings::SetXOffLim(std::uint16_t v) {
    if (v == XOffLim)
        return;
    XOffLim = v;
    XOnLim = OtherLimit(InBufSize, v);
}
