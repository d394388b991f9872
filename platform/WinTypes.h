// Windows serial types and constants, defined by value for the Linux build.
// Layouts match the 32-bit Windows records byte for byte so that images of
// them (the DCB kept beside the port settings, the configuration record)
// mean the same thing on both systems.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;

// Device control block: 28 bytes. The bit fields of the Windows record are
// kept as one packed flags word; the masks below name its bits.
struct DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD Flags = 0;
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 0;
    BYTE Parity = 0;
    BYTE StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28);
static_assert(offsetof(DCB, BaudRate) == 4);
static_assert(offsetof(DCB, Flags) == 8);
static_assert(offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, XoffLim) == 16);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, Parity) == 19);
static_assert(offsetof(DCB, StopBits) == 20);
static_assert(offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, XoffChar) == 22);
static_assert(offsetof(DCB, ErrorChar) == 23);
static_assert(offsetof(DCB, EofChar) == 24);
static_assert(offsetof(DCB, EvtChar) == 25);

// Bits of DCB::Flags.
constexpr DWORD fBinary = 0x0001;
constexpr DWORD fParity = 0x0002;
constexpr DWORD fOutxCtsFlow = 0x0004;
constexpr DWORD fOutxDsrFlow = 0x0008;
constexpr DWORD fDtrControlMask = 0x0030; // 2-bit field, shift 4
constexpr DWORD fDsrSensitivity = 0x0040;
constexpr DWORD fTXContinueOnXoff = 0x0080;
constexpr DWORD fOutX = 0x0100;
constexpr DWORD fInX = 0x0200;
constexpr DWORD fErrorChar = 0x0400;
constexpr DWORD fNull = 0x0800;
constexpr DWORD fRtsControlMask = 0x3000; // 2-bit field, shift 12
constexpr DWORD fAbortOnError = 0x4000;

constexpr DWORD DTR_CONTROL_DISABLE = 0x00;
constexpr DWORD DTR_CONTROL_ENABLE = 0x01;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 0x02;
constexpr DWORD RTS_CONTROL_DISABLE = 0x00;
constexpr DWORD RTS_CONTROL_ENABLE = 0x01;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 0x02;
constexpr DWORD RTS_CONTROL_TOGGLE = 0x03;
constexpr DWORD dtrControlBits(DWORD v) { return (v << 4) & fDtrControlMask; }
constexpr DWORD rtsControlBits(DWORD v) { return (v << 12) & fRtsControlMask; }
constexpr DWORD dtrControlOf(DWORD flags) { return (flags & fDtrControlMask) >> 4; }
constexpr DWORD rtsControlOf(DWORD flags) { return (flags & fRtsControlMask) >> 12; }

constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// ClearCommError's status record: 12 bytes.
struct COMSTAT {
    DWORD Flags = 0; // fCtsHold, fDsrHold, ... (unused here)
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
};
static_assert(sizeof(COMSTAT) == 12);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};
static_assert(sizeof(COMMTIMEOUTS) == 20);

// Port configuration record: 52 bytes.
struct COMMCONFIG {
    DWORD dwSize = sizeof(COMMCONFIG);
    WORD wVersion = 0;
    WORD wReserved = 0;
    DCB dcb;
    DWORD dwProviderSubType = 0;
    DWORD dwProviderOffset = 0;
    DWORD dwProviderSize = 0;
    std::uint16_t wcProviderData[1] = {0};
    std::uint16_t padding = 0;
};
static_assert(sizeof(COMMCONFIG) == 52);
static_assert(offsetof(COMMCONFIG, dcb) == 8);

// Comm events (SetCommMask / WaitCommEvent).
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;

// Line errors (ClearCommError).
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;
constexpr DWORD CE_IOE = 0x0400;
constexpr DWORD CE_MODE = 0x8000;

// PurgeComm.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction.
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// Error codes the port layers distinguish.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;

} // namespace win
