// The line settings of a device control block (win::DCB) in termios terms
// and back, with the rates termios has codes for. Pure record arithmetic:
// nothing here touches a descriptor, so any thread may call it.
#pragma once

#include "platform/WinTypes.h"

#include <termios.h>

namespace platform::detail {

// The line settings of a DCB in a termios record, raw mode included, the
// rate only when it is a standard one (others need SetArbitraryRate). False,
// with `t` untouched, for what Linux cannot do: ByteSize outside 5-8, parity
// or stop bits out of range, 1.5 stop bits with more than 5 data bits, two
// with 5, rate 0, DTR/DSR handshake, XON and XOFF the same character while
// XON/XOFF flow is on.
bool TermiosFromDcb(const win::DCB& dcb, termios& t);
// A DCB describing a termios record and rate (for the settings at open).
win::DCB DcbFromTermios(const termios& t, unsigned rate);

// Raw mode: no echo, no line editing, no signals, no CR/LF translation, no
// output processing; reads return at once with what is there.
void MakeRaw(termios& t);
// The termios code of a rate that has one; false for other rates.
bool StandardRateCode(unsigned rate, speed_t& code);
// The rate of a termios code; 0 for one that is no rate.
unsigned RateOfCode(speed_t code);

} // namespace platform::detail
