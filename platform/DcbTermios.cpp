#include "platform/DcbTermios.h"

#include "platform/BaudRates.h"
#include "platform/CommDevice.h"

namespace platform {

bool detail::StandardRateCode(unsigned rate, speed_t& code) {
    for (const KnownRate& e : kKnownRates) {
        if (e.Code != B0 && e.Rate == rate) {
            code = e.Code;
            return true;
        }
    }
    return false;
}

unsigned detail::RateOfCode(speed_t code) {
    for (const KnownRate& e : kKnownRates) {
        if (e.Code != B0 && e.Code == code)
            return e.Rate;
    }
    return 0;
}

void detail::MakeRaw(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXANY | IMAXBEL | IUCLC);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ICANON |
                                        ISIG | IEXTEN | NOFLSH | TOSTOP);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

win::DCB detail::DcbFromTermios(const termios& t, unsigned rate) {
    win::DCB dcb = DefaultDcb();
    dcb.BaudRate = rate != 0 ? rate : 9600;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = win::NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? win::MARKPARITY : win::SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? win::ODDPARITY : win::EVENPARITY;
    if (t.c_cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? win::ONE5STOPBITS : win::TWOSTOPBITS;
    else
        dcb.StopBits = win::ONESTOPBIT;

    win::DWORD flags = win::fBinary | win::dtrControlBits(win::DTR_CONTROL_ENABLE);
    if (t.c_iflag & INPCK)
        flags |= win::fParity;
    if (t.c_iflag & IXON)
        flags |= win::fOutX;
    if (t.c_iflag & IXOFF)
        flags |= win::fInX;
    if (t.c_cflag & CRTSCTS)
        flags |= win::fOutxCtsFlow | win::rtsControlBits(win::RTS_CONTROL_HANDSHAKE);
    else
        flags |= win::rtsControlBits(win::RTS_CONTROL_ENABLE);
    dcb.Flags = flags;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}

bool detail::TermiosFromDcb(const win::DCB& dcb, termios& t) {
    // What the line cannot do is refused before anything is changed.
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return false;
    if (dcb.Parity > win::SPACEPARITY)
        return false;
    if (dcb.StopBits > win::TWOSTOPBITS)
        return false;
    // Linux spells 1.5 stop bits as CSTOPB with 5 data bits; two stop bits
    // with 5 data bits and 1.5 with more cannot be had.
    if (dcb.StopBits == win::ONE5STOPBITS && dcb.ByteSize != 5)
        return false;
    if (dcb.StopBits == win::TWOSTOPBITS && dcb.ByteSize == 5)
        return false;
    if (dcb.BaudRate == 0)
        return false;
    if (win::dtrControlOf(dcb.Flags) == win::DTR_CONTROL_HANDSHAKE ||
        (dcb.Flags & win::fOutxDsrFlow))
        return false; // no DTR/DSR handshake on Linux
    if ((dcb.Flags & (win::fOutX | win::fInX)) && dcb.XonChar == dcb.XoffChar)
        return false; // one character cannot both stop and start the flow

    MakeRaw(t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case win::ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case win::EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case win::MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case win::SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits != win::ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    const win::DWORD rts = win::rtsControlOf(dcb.Flags);
    if ((dcb.Flags & win::fOutxCtsFlow) && rts == win::RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | INPCK | IGNPAR);
    if (dcb.Flags & win::fOutX)
        t.c_iflag |= IXON;
    if (dcb.Flags & win::fInX)
        t.c_iflag |= IXOFF;
    if (dcb.Flags & win::fParity)
        t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    speed_t code = 0;
    if (detail::StandardRateCode(dcb.BaudRate, code)) {
        // An input rate left in CIBAUD (BOTHER from an earlier non-standard
        // rate) would outlive cfsetspeed, which sets the output bits only;
        // with CIBAUD clear the input follows the output.
        t.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
        cfsetspeed(&t, code);
    }
    return true;
}

} // namespace platform
