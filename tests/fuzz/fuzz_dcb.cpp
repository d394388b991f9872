// Port settings and the 28-byte device control block, both ways, and the
// DCB's translation to termios. Checks: settings -> DCB -> settings gives the
// same DCB again; an arbitrary DCB is refused unchanged unless its length
// is right, and what is taken is a DCB the settings can express (loading it
// again changes nothing); a DCB the termios translation accepts comes back
// from the termios record with the same line settings, so nothing Linux
// cannot do is accepted, and a refused one leaves the record untouched.
#include "FuzzCheck.h"
#include "platform/TermiosCommDevice.h"
#include "serial/AfComSettings.h"

#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <termios.h>

namespace {

bool SameDcb(const win::DCB& a, const win::DCB& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Settings with every field taken from the input, enumeration bytes that no
// value stands for included (as a corrupted stored record would have them).
TAfComSettings FuzzedSettings(FuzzedDataProvider& in) {
    TAfComSettings s;
    s.BaudRate = static_cast<TAfBaudrate>(in.ConsumeIntegral<std::uint8_t>());
    s.UserBaudRate = in.ConsumeIntegral<std::int32_t>();
    s.Databits = static_cast<TAfDatabits>(in.ConsumeIntegral<std::uint8_t>());
    s.Parity = static_cast<TAfParity>(in.ConsumeIntegral<std::uint8_t>());
    s.Stopbits = static_cast<TAfStopbits>(in.ConsumeIntegral<std::uint8_t>());
    s.FlowControl = static_cast<TAfFlowControl>(in.ConsumeIntegral<std::uint8_t>());
    s.Options = TAfComOptions::FromBits(in.ConsumeIntegral<std::uint8_t>());
    s.DTR = in.ConsumeBool();
    s.RTS = in.ConsumeBool();
    s.XOnChar = in.ConsumeIntegral<char>();
    s.XOffChar = in.ConsumeIntegral<char>();
    s.InBufSize = in.ConsumeIntegral<std::int32_t>();
    s.UpdateFlowLimits();
    if (in.ConsumeBool())
        s.SetXOnLim(in.ConsumeIntegral<std::uint16_t>());
    else
        s.SetXOffLim(in.ConsumeIntegral<std::uint16_t>());
    s.BuildDcb();
    return s;
}

// Settings that DTR, RTS and the buffer size follow (LoadFromDcb keeps them).
TAfComSettings Receiver(const TAfComSettings& from) {
    TAfComSettings s;
    s.DTR = from.DTR;
    s.RTS = from.RTS;
    s.InBufSize = from.InBufSize;
    return s;
}

void CheckSettingsRoundTrip(const TAfComSettings& s) {
    // The limits always add up to the buffer size (16 bits, wrapping) once
    // flow control is on.
    if (s.FlowControl != fwNone)
        FUZZ_CHECK(static_cast<std::uint16_t>(s.XOnLim + s.XOffLim) ==
                   static_cast<std::uint16_t>(s.InBufSize));
    FUZZ_CHECK(s.DcbImage.DCBlength == sizeof(win::DCB));
    TAfComSettings back = Receiver(s);
    FUZZ_CHECK(back.LoadFromDcb(s.DcbImage));
    FUZZ_CHECK(SameDcb(back.DcbImage, s.DcbImage));
}

void CheckLoad(const win::DCB& dcb, const TAfComSettings& before) {
    TAfComSettings s = before;
    if (!s.LoadFromDcb(dcb)) {
        FUZZ_CHECK(dcb.DCBlength != sizeof(win::DCB));
        FUZZ_CHECK(SameDcb(s.DcbImage, before.DcbImage) && s.BaudRate == before.BaudRate &&
                   s.UserBaudRate == before.UserBaudRate && s.Options == before.Options &&
                   s.XOnLim == before.XOnLim && s.XOffLim == before.XOffLim);
        return;
    }
    FUZZ_CHECK(dcb.DCBlength == sizeof(win::DCB));
    const win::DCB& image = s.DcbImage;
    FUZZ_CHECK(image.ByteSize >= 4 && image.ByteSize <= 8);
    FUZZ_CHECK(image.Parity <= win::SPACEPARITY && image.StopBits <= win::TWOSTOPBITS);
    FUZZ_CHECK(image.ErrorChar == 0 && image.EofChar == 0 && image.EvtChar == 0 &&
               image.wReserved == 0 && image.wReserved1 == 0);
    TAfComSettings again = s;
    FUZZ_CHECK(again.LoadFromDcb(image));
    FUZZ_CHECK(SameDcb(again.DcbImage, image));
}

bool CtsHandshake(const win::DCB& d) {
    return (d.Flags & win::fOutxCtsFlow) &&
           win::rtsControlOf(d.Flags) == win::RTS_CONTROL_HANDSHAKE;
}

void CheckTermios(const win::DCB& dcb, const termios& start) {
    termios t = start;
    if (!platform::detail::TermiosFromDcb(dcb, t)) {
        FUZZ_CHECK(std::memcmp(&t, &start, sizeof t) == 0);
        return;
    }
    const win::DCB back = platform::detail::DcbFromTermios(t, dcb.BaudRate);
    FUZZ_CHECK(dcb.BaudRate != 0);
    FUZZ_CHECK(back.ByteSize == dcb.ByteSize);
    FUZZ_CHECK(back.Parity == dcb.Parity);
    FUZZ_CHECK(back.StopBits == dcb.StopBits);
    constexpr win::DWORD kKept = win::fParity | win::fOutX | win::fInX;
    FUZZ_CHECK((back.Flags & kKept) == (dcb.Flags & kKept));
    FUZZ_CHECK(CtsHandshake(back) == CtsHandshake(dcb));
    FUZZ_CHECK(win::dtrControlOf(dcb.Flags) != win::DTR_CONTROL_HANDSHAKE &&
               !(dcb.Flags & win::fOutxDsrFlow));
    FUZZ_CHECK(back.XonChar == dcb.XonChar && back.XoffChar == dcb.XoffChar);
    if (dcb.Flags & (win::fOutX | win::fInX))
        FUZZ_CHECK(dcb.XonChar != dcb.XoffChar);
    // Raw mode whatever the record held before.
    FUZZ_CHECK(!(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST) &&
               (t.c_cflag & CREAD) && t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0);
    // A standard rate is set; any other leaves the speed for termios2.
    if (dcb.BaudRate == 9600)
        FUZZ_CHECK(cfgetospeed(&t) == B9600 && cfgetispeed(&t) == B9600);
    else if (dcb.BaudRate == 115200)
        FUZZ_CHECK(cfgetospeed(&t) == B115200);
    else if (dcb.BaudRate == 12345)
        FUZZ_CHECK(cfgetospeed(&t) == cfgetospeed(&start));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    win::DCB dcb;
    const std::string raw = in.ConsumeBytesAsString(sizeof dcb);
    std::memcpy(&dcb, raw.data(), raw.size());
    // Mostly a well-formed length, so that the mapping itself gets fuzzed.
    if (in.ConsumeBool())
        dcb.DCBlength = sizeof(win::DCB);
    termios start;
    const std::string rawTermios = in.ConsumeBytesAsString(sizeof start);
    std::memset(&start, 0, sizeof start);
    std::memcpy(&start, rawTermios.data(), rawTermios.size());

    const TAfComSettings settings = FuzzedSettings(in);
    CheckSettingsRoundTrip(settings);
    CheckLoad(dcb, settings);
    CheckTermios(dcb, start);
    CheckTermios(settings.DcbImage, start);
    return 0;
}
