// Line settings of a serial port and their mapping to the 28-byte device
// control block (win::DCB) that the port core applies to the device.
//
// Pure data manipulation: nothing here touches a port or takes a lock. The
// record belongs to the serial port component and is used on its thread (the
// main thread); pushing a rebuilt DcbImage to an open port is the component's
// business.
#pragma once

#include "platform/BaudRates.h"
#include "platform/ThreadPriority.h"
#include "platform/WinTypes.h"

#include <array>
#include <cstdint>
#include <initializer_list>

// Every enumeration is stored in one byte, ordinals from 0 in the order listed.

enum TAfBaudrate : std::uint8_t {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brUser // the rate is UserBaudRate
};

enum TAfDatabits : std::uint8_t { db4, db5, db6, db7, db8 };

enum TAfParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };

enum TAfStopbits : std::uint8_t { sbOne, sbOneAndHalf, sbTwo };

enum TAfFlowControl : std::uint8_t { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };

enum TAfComOption : std::uint8_t {
    coParityCheck,
    coDsrSensitivity,
    coIgnoreXOff,
    coErrorChar,
    coStripNull
};

// Rate put into DCB::BaudRate for each TAfBaudrate; the brUser row holds 0.
inline constexpr std::array<win::DWORD, brUser + 1> AfBaudRateTable = [] {
    const auto named = platform::KnownRatesWith<brUser, &platform::KnownRate::Named>();
    std::array<win::DWORD, brUser + 1> table{};
    for (std::size_t i = 0; i < named.size(); ++i)
        table[i] = named[i];
    return table;
}();

// DCB::ByteSize, Parity and StopBits for each ordinal.
inline constexpr std::array<win::BYTE, 5> AfDatabitsTable = {4, 5, 6, 7, 8};
inline constexpr std::array<win::BYTE, 5> AfParityTable = {
    win::NOPARITY, win::ODDPARITY, win::EVENPARITY, win::MARKPARITY, win::SPACEPARITY};
inline constexpr std::array<win::BYTE, 3> AfStopbitsTable = {win::ONESTOPBIT, win::ONE5STOPBITS,
                                                             win::TWOSTOPBITS};

// DCB flag bits each flow-control mode stands for.
inline constexpr std::array<win::DWORD, 4> AfFlowControlMask = {
    0x0000,                                                              // fwNone
    win::fOutX | win::fInX,                                              // fwXOnXOff 0x0300
    win::fOutxCtsFlow | win::rtsControlBits(win::RTS_CONTROL_HANDSHAKE), // fwRtsCts 0x2004
    win::fOutxDsrFlow | win::dtrControlBits(win::DTR_CONTROL_HANDSHAKE), // fwDtrDsr 0x0028
};

// DCB flag bit of each option.
inline constexpr std::array<win::DWORD, 5> AfComOptionFlag = {
    win::fParity,           // coParityCheck
    win::fDsrSensitivity,   // coDsrSensitivity
    win::fTXContinueOnXoff, // coIgnoreXOff
    win::fErrorChar,        // coErrorChar
    win::fNull,             // coStripNull
};

// A set of TAfComOption in one byte: bit i stands for the option of ordinal i.
// Bits without an option are never set.
class TAfComOptions {
public:
    static constexpr std::uint8_t ValidBits = 0x1F;

    constexpr TAfComOptions() = default;
    constexpr TAfComOptions(std::initializer_list<TAfComOption> options) {
        for (TAfComOption o : options)
            Include(o);
    }
    // The set whose byte is bits (bits without an option are dropped).
    static constexpr TAfComOptions FromBits(std::uint8_t bits) {
        TAfComOptions s;
        s.FBits = bits & ValidBits;
        return s;
    }
    constexpr std::uint8_t Bits() const { return FBits; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool Contains(TAfComOption o) const { return (FBits & BitOf(o)) != 0; }
    constexpr TAfComOptions& Include(TAfComOption o) {
        FBits |= BitOf(o);
        return *this;
    }
    constexpr TAfComOptions& Exclude(TAfComOption o) {
        FBits &= static_cast<std::uint8_t>(~BitOf(o));
        return *this;
    }
    friend constexpr bool operator==(TAfComOptions, TAfComOptions) = default;

private:
    // An ordinal outside the enumeration yields no bit.
    static constexpr std::uint8_t BitOf(TAfComOption o) {
        return o <= coStripNull ? static_cast<std::uint8_t>(1u << o) : 0;
    }
    std::uint8_t FBits = 0;
};
static_assert(sizeof(TAfComOptions) == 1);

// Text of the failure of LoadFromDcb, raised by the component's error
// operation.
inline constexpr const char* AfDcbLoadErrorText = "Error setting parameters from DCB";

// The settings with the values a new port starts with, and the DCB image
// built from them. The fields are plain: assigning one does not rebuild the
// image. The component decides when to run BuildDcb (DTR, RTS, XOnLim,
// XOffLim and InBufSize reach the image only at its next rebuild).
struct TAfComSettings {
    // Starts with the defaults below and DcbImage built from them.
    TAfComSettings() { BuildDcb(); }

    TAfBaudrate BaudRate = br115200;
    std::int32_t UserBaudRate = 0;
    TAfDatabits Databits = db8;
    TAfParity Parity = paNone;
    TAfStopbits Stopbits = sbOne;
    TAfFlowControl FlowControl = fwNone;
    TAfComOptions Options;
    bool DTR = true;
    bool RTS = true;
    char XOnChar = 17;  // DC1
    char XOffChar = 19; // DC3
    std::uint16_t XOnLim = 0;
    std::uint16_t XOffLim = 0;
    std::int32_t InBufSize = 4096;
    std::int32_t OutBufSize = 2048;
    TThreadPriority EventThreadPriority = tpNormal;
    TThreadPriority WriteThreadPriority = tpHighest;

    // The only form in which the settings reach the port.
    win::DCB DcbImage;

    // Rebuilds DcbImage from the settings. Cannot fail.
    void BuildDcb();

    // Sets the settings from dcb (as chosen in a port settings dialog), then
    // runs BuildDcb, so what the settings cannot express is replaced by
    // BuildDcb's values. DTR, RTS, the buffer sizes and the priorities are not
    // touched; UserBaudRate changes only when dcb's rate is not in the table.
    // Returns false and changes nothing (settings and image) when
    // dcb.DCBlength is not 28; the caller raises AfDcbLoadErrorText.
    // A caller that must push the result to an open port may run its own
    // rebuild afterwards: BuildDcb gives the same image again.
    [[nodiscard]] bool LoadFromDcb(const win::DCB& dcb);

    // Derives XOnLim and XOffLim from FlowControl and InBufSize: both 0 for
    // fwNone, otherwise a quarter of InBufSize and the rest (16-bit wrap).
    void UpdateFlowLimits();

    // Limit pairing: setting one limit sets the other to (low 16 bits of
    // InBufSize) - v modulo 65536. No effect when v equals the current value.
    // Neither rebuilds DcbImage.
    void SetXOnLim(std::uint16_t v);
    void SetXOffLim(std::uint16_t v);

    // Rate put into the DCB: UserBaudRate for brUser, else the table's.
    win::DWORD EffectiveBaudRate() const;
};
