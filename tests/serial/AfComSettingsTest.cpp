#include "serial/AfComSettings.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <thread>

namespace {

static_assert(sizeof(TAfBaudrate) == 1 && sizeof(TAfDatabits) == 1 && sizeof(TAfParity) == 1);
static_assert(sizeof(TAfStopbits) == 1 && sizeof(TAfFlowControl) == 1 && sizeof(TAfComOption) == 1);
static_assert(sizeof(TThreadPriority) == 1 && sizeof(TAfComOptions) == 1);
static_assert(br110 == 0 && br9600 == 6 && br256000 == 14 && brUser == 15);
static_assert(db8 == 4 && paSpace == 4 && sbTwo == 2 && fwDtrDsr == 3 && coStripNull == 4);
static_assert(tpIdle == 0 && tpNormal == 3 && tpTimeCritical == 6);

using Bytes = std::array<std::uint8_t, 28>;

Bytes BytesOf(const win::DCB& d) {
    Bytes b;
    std::memcpy(b.data(), &d, sizeof d);
    return b;
}

// Rates written out independently of the library's table.
constexpr std::array<std::uint32_t, 15> kRates = {110,   300,   600,    1200,   2400,
                                                  4800,  9600,  14400,  19200,  38400,
                                                  56000, 57600, 115200, 128000, 256000};

// Every setting that takes part in the DCB, plus those LoadFromDcb must
// leave alone.
void ExpectSameSettings(const TAfComSettings& a, const TAfComSettings& b) {
    EXPECT_EQ(a.BaudRate, b.BaudRate);
    EXPECT_EQ(a.UserBaudRate, b.UserBaudRate);
    EXPECT_EQ(a.Databits, b.Databits);
    EXPECT_EQ(a.Parity, b.Parity);
    EXPECT_EQ(a.Stopbits, b.Stopbits);
    EXPECT_EQ(a.FlowControl, b.FlowControl);
    EXPECT_EQ(a.Options, b.Options);
    EXPECT_EQ(a.DTR, b.DTR);
    EXPECT_EQ(a.RTS, b.RTS);
    EXPECT_EQ(a.XOnChar, b.XOnChar);
    EXPECT_EQ(a.XOffChar, b.XOffChar);
    EXPECT_EQ(a.XOnLim, b.XOnLim);
    EXPECT_EQ(a.XOffLim, b.XOffLim);
    EXPECT_EQ(a.InBufSize, b.InBufSize);
    EXPECT_EQ(a.OutBufSize, b.OutBufSize);
    EXPECT_EQ(a.EventThreadPriority, b.EventThreadPriority);
    EXPECT_EQ(a.WriteThreadPriority, b.WriteThreadPriority);
}

int ThreadNice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

} // namespace

TEST(AfComSettings, DefaultsAndTheirDcbByteForByte) {
    TAfComSettings s;
    EXPECT_EQ(s.BaudRate, br115200);
    EXPECT_EQ(s.UserBaudRate, 0);
    EXPECT_EQ(s.Databits, db8);
    EXPECT_EQ(s.Parity, paNone);
    EXPECT_EQ(s.Stopbits, sbOne);
    EXPECT_EQ(s.FlowControl, fwNone);
    EXPECT_TRUE(s.Options.Empty());
    EXPECT_TRUE(s.DTR);
    EXPECT_TRUE(s.RTS);
    EXPECT_EQ(s.XOnChar, 17);
    EXPECT_EQ(s.XOffChar, 19);
    EXPECT_EQ(s.XOnLim, 0);
    EXPECT_EQ(s.XOffLim, 0);
    EXPECT_EQ(s.InBufSize, 4096);
    EXPECT_EQ(s.OutBufSize, 2048);
    EXPECT_EQ(s.EventThreadPriority, tpNormal);
    EXPECT_EQ(s.WriteThreadPriority, tpHighest);

    // DCBlength 28, BaudRate 115200, flags 0x1011, ByteSize 8, XonChar 17,
    // XoffChar 19, everything else 0 (little-endian words).
    const Bytes expected = {28, 0, 0, 0, 0x00, 0xC2, 0x01, 0x00, 0x11, 0x10, 0, 0, 0, 0,
                            0,  0, 0, 0, 8,    0,    0,    17,   19,   0,    0, 0, 0, 0};
    EXPECT_EQ(BytesOf(s.DcbImage), expected); // built at construction
    s.DcbImage.EofChar = 'x';
    s.BuildDcb();
    EXPECT_EQ(BytesOf(s.DcbImage), expected); // rebuilt from zero
}

TEST(AfComSettings, HandshakeModesOverrideLineEnables) {
    struct Case {
        TAfFlowControl flow;
        bool dtr, rts;
        std::uint32_t flags;
    };
    const Case cases[] = {
        {fwNone, true, true, 0x1011},    {fwNone, false, false, 0x0001},
        {fwNone, true, false, 0x0011},   {fwNone, false, true, 0x1001},
        {fwXOnXOff, true, true, 0x1311}, {fwXOnXOff, false, false, 0x0301},
        {fwRtsCts, true, true, 0x2015},  {fwRtsCts, false, true, 0x2005},
        {fwRtsCts, true, false, 0x2015}, {fwRtsCts, false, false, 0x2005},
        {fwDtrDsr, true, true, 0x1029},  {fwDtrDsr, true, false, 0x0029},
        {fwDtrDsr, false, true, 0x1029}, {fwDtrDsr, false, false, 0x0029},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.flow) << c.dtr << c.rts);
        TAfComSettings s;
        s.FlowControl = c.flow;
        s.DTR = c.dtr;
        s.RTS = c.rts;
        s.BuildDcb();
        EXPECT_EQ(s.DcbImage.Flags, c.flags);
    }

    TAfComSettings s;
    s.DTR = s.RTS = false;
    s.Options = {coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coStripNull};
    s.BuildDcb();
    EXPECT_EQ(s.DcbImage.Flags, 0x0001u | 0x0002u | 0x0040u | 0x0080u | 0x0400u | 0x0800u);
    EXPECT_EQ(s.DcbImage.Flags & win::fAbortOnError, 0u);
}

TEST(AfComSettings, UserRatesAndRateLookup) {
    TAfComSettings s;
    s.BaudRate = brUser;
    s.UserBaudRate = 31250;
    s.BuildDcb();
    EXPECT_EQ(s.DcbImage.BaudRate, 31250u);

    win::DCB d = s.DcbImage;
    TAfComSettings r;
    ASSERT_TRUE(r.LoadFromDcb(d));
    EXPECT_EQ(r.BaudRate, brUser);
    EXPECT_EQ(r.UserBaudRate, 31250);

    // A table rate selects its row and leaves UserBaudRate alone.
    r.UserBaudRate = 777;
    d.BaudRate = 9600;
    ASSERT_TRUE(r.LoadFromDcb(d));
    EXPECT_EQ(r.BaudRate, br9600);
    EXPECT_EQ(r.UserBaudRate, 777);
    EXPECT_EQ(r.DcbImage.BaudRate, 9600u);

    // Rate 0 matches the brUser row: UserBaudRate is kept, and the rebuilt
    // image then carries that kept rate.
    d.BaudRate = 0;
    ASSERT_TRUE(r.LoadFromDcb(d));
    EXPECT_EQ(r.BaudRate, brUser);
    EXPECT_EQ(r.UserBaudRate, 777);
    EXPECT_EQ(r.DcbImage.BaudRate, 777u);

    // Every table rate maps to its own ordinal.
    for (std::size_t i = 0; i < kRates.size(); ++i) {
        d.BaudRate = kRates[i];
        ASSERT_TRUE(r.LoadFromDcb(d));
        EXPECT_EQ(r.BaudRate, static_cast<TAfBaudrate>(i)) << kRates[i];
    }
    // A rate beyond the signed range survives the round trip bit for bit.
    d.BaudRate = 0x80000001u;
    ASSERT_TRUE(r.LoadFromDcb(d));
    EXPECT_EQ(r.BaudRate, brUser);
    EXPECT_EQ(r.DcbImage.BaudRate, 0x80000001u);
}

TEST(AfComSettings, LoadFromDcbFallbacksAndReplacedFields) {
    TAfComSettings s;
    s.DTR = false;
    s.RTS = true;
    s.InBufSize = 1234;
    s.OutBufSize = 99;
    s.EventThreadPriority = tpIdle;
    s.WriteThreadPriority = tpLower;

    win::DCB d{};
    d.BaudRate = 4800;
    d.ByteSize = 9;
    d.Parity = 7;
    d.StopBits = 5;
    d.ErrorChar = '?';
    d.EofChar = 26;
    d.EvtChar = '\n';
    d.wReserved = 0xBEEF;
    d.wReserved1 = 0xCAFE;
    d.XonChar = 'q';
    d.XoffChar = 's';
    d.XonLim = 100;
    d.XoffLim = 200;
    // Abort-on-error, RTS toggle (not a handshake without CTS flow), DTR
    // handshake without DSR flow, and the binary bit missing.
    d.Flags = win::fAbortOnError | win::rtsControlBits(win::RTS_CONTROL_TOGGLE) |
              win::dtrControlBits(win::DTR_CONTROL_HANDSHAKE) | win::fNull;
    ASSERT_TRUE(s.LoadFromDcb(d));

    EXPECT_EQ(s.BaudRate, br4800);
    EXPECT_EQ(s.Databits, db8);
    EXPECT_EQ(s.Parity, paNone);
    EXPECT_EQ(s.Stopbits, sbOne);
    EXPECT_EQ(s.FlowControl, fwNone);
    EXPECT_EQ(s.Options, TAfComOptions{coStripNull});
    EXPECT_EQ(s.XOnChar, 'q');
    EXPECT_EQ(s.XOffChar, 's');
    EXPECT_EQ(s.XOnLim, 100);
    EXPECT_EQ(s.XOffLim, 200);
    // Untouched by the load.
    EXPECT_FALSE(s.DTR);
    EXPECT_TRUE(s.RTS);
    EXPECT_EQ(s.InBufSize, 1234);
    EXPECT_EQ(s.OutBufSize, 99);
    EXPECT_EQ(s.EventThreadPriority, tpIdle);
    EXPECT_EQ(s.WriteThreadPriority, tpLower);

    // What the settings cannot express is replaced by BuildDcb's values.
    const win::DCB& img = s.DcbImage;
    EXPECT_EQ(img.DCBlength, 28u);
    EXPECT_EQ(img.Flags, 0x0001u | 0x0800u | 0x1000u); // binary, null strip, RTS enable
    EXPECT_EQ(img.ByteSize, 8);
    EXPECT_EQ(img.Parity, 0);
    EXPECT_EQ(img.StopBits, 0);
    EXPECT_EQ(img.ErrorChar, 0);
    EXPECT_EQ(img.EofChar, 0);
    EXPECT_EQ(img.EvtChar, 0);
    EXPECT_EQ(img.wReserved, 0);
    EXPECT_EQ(img.wReserved1, 0);
    EXPECT_EQ(img.XonLim, 100);
    EXPECT_EQ(img.XoffLim, 200);

    // The lowest valid byte size is a real choice, not a fallback.
    d.ByteSize = 4;
    ASSERT_TRUE(s.LoadFromDcb(d));
    EXPECT_EQ(s.Databits, db4);
}

TEST(AfComSettings, LoadFromDcbPicksTheHighestMatchingFlowMode) {
    struct Case {
        std::uint32_t flags;
        TAfFlowControl flow;
    };
    const Case cases[] = {
        {0x0300, fwXOnXOff},         {0x0100, fwNone}, // fOutX alone is not the mode
        {0x0304 | 0x2000, fwRtsCts}, {0x0004, fwNone},
        {0x0004 | 0x3000, fwRtsCts}, // toggle holds the handshake bit
        {0x0028, fwDtrDsr},          {0x0028 | 0x2004 | 0x0300, fwDtrDsr},
        {0x0008 | 0x0010, fwNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        TAfComSettings s;
        win::DCB d{};
        d.Flags = c.flags;
        ASSERT_TRUE(s.LoadFromDcb(d));
        EXPECT_EQ(s.FlowControl, c.flow);
    }
}

TEST(AfComSettings, LoadFromDcbWithWrongLengthChangesNothing) {
    TAfComSettings s;
    s.BaudRate = br1200;
    s.FlowControl = fwXOnXOff;
    s.Options = {coErrorChar};
    s.XOnLim = 5;
    s.BuildDcb();
    s.DcbImage.EvtChar = 'E'; // an image that differs from a fresh build
    const TAfComSettings before = s;
    const Bytes imageBefore = BytesOf(s.DcbImage);

    win::DCB d{};
    d.BaudRate = 9600;
    d.ByteSize = 7;
    d.Flags = 0x2004;
    for (std::uint32_t len : {0u, 27u, 29u, 52u}) {
        d.DCBlength = len;
        EXPECT_FALSE(s.LoadFromDcb(d)) << len;
        ExpectSameSettings(s, before);
        EXPECT_EQ(BytesOf(s.DcbImage), imageBefore);
    }
    EXPECT_STREQ(AfDcbLoadErrorText, "Error setting parameters from DCB");
}

TEST(AfComSettings, FlowLimitRules) {
    TAfComSettings s;
    const Bytes image = BytesOf(s.DcbImage);
    for (TAfFlowControl f : {fwXOnXOff, fwRtsCts, fwDtrDsr}) {
        SCOPED_TRACE(int(f));
        s.FlowControl = f;
        s.InBufSize = 4096;
        s.UpdateFlowLimits();
        EXPECT_EQ(s.XOnLim, 1024);
        EXPECT_EQ(s.XOffLim, 3072);
        s.InBufSize = 4097;
        s.UpdateFlowLimits();
        EXPECT_EQ(s.XOnLim, 1024);
        EXPECT_EQ(s.XOffLim, 3073);
        s.InBufSize = 100000; // low 16 bits 34464
        s.UpdateFlowLimits();
        EXPECT_EQ(s.XOnLim, 25000);
        EXPECT_EQ(s.XOffLim, 9464);
    }
    // Truncation toward zero, not flooring: -5 / 4 is -1.
    s.InBufSize = -5;
    s.UpdateFlowLimits();
    EXPECT_EQ(s.XOnLim, 65535);
    EXPECT_EQ(s.XOffLim, 65532); // 65531 - 65535 mod 65536
    s.FlowControl = fwNone;
    s.UpdateFlowLimits();
    EXPECT_EQ(s.XOnLim, 0);
    EXPECT_EQ(s.XOffLim, 0);
    EXPECT_EQ(BytesOf(s.DcbImage), image); // no rule rebuilds the image
}

TEST(AfComSettings, LimitPairing) {
    TAfComSettings s;
    const Bytes image = BytesOf(s.DcbImage);
    s.SetXOffLim(5000);
    EXPECT_EQ(s.XOffLim, 5000);
    EXPECT_EQ(s.XOnLim, 64632); // 4096 - 5000 mod 65536
    s.SetXOnLim(1000);
    EXPECT_EQ(s.XOnLim, 1000);
    EXPECT_EQ(s.XOffLim, 3096);

    // Uses the low 16 bits of the input buffer size.
    s.InBufSize = 100000;
    s.SetXOnLim(4464);
    EXPECT_EQ(s.XOffLim, 30000);
    s.SetXOffLim(40000);
    EXPECT_EQ(s.XOnLim, 60000); // 34464 - 40000 mod 65536

    // An unchanged value does nothing, even when the pair disagrees.
    s.XOnLim = 10;
    s.XOffLim = 20;
    s.SetXOnLim(10);
    EXPECT_EQ(s.XOffLim, 20);
    s.SetXOffLim(20);
    EXPECT_EQ(s.XOnLim, 10);
    EXPECT_EQ(BytesOf(s.DcbImage), image);
}

TEST(AfComSettings, OptionSetHoldsOneBitPerOrdinal) {
    for (unsigned bits = 0; bits < 256; ++bits) {
        const TAfComOptions o = TAfComOptions::FromBits(static_cast<std::uint8_t>(bits));
        EXPECT_EQ(o.Bits(), bits & 0x1F);
        for (unsigned i = 0; i < 5; ++i)
            EXPECT_EQ(o.Contains(static_cast<TAfComOption>(i)), ((bits >> i) & 1) != 0);
    }
    TAfComOptions o{coIgnoreXOff, coParityCheck};
    EXPECT_EQ(o.Bits(), 0x05);
    o.Exclude(coParityCheck).Include(coStripNull);
    EXPECT_EQ(o.Bits(), 0x14);
    o.Include(static_cast<TAfComOption>(200)); // no such option: no bit
    EXPECT_EQ(o.Bits(), 0x14);
    EXPECT_FALSE(o.Contains(static_cast<TAfComOption>(7)));
}

// Every rate (table and user rates), character format, flow mode, option
// set and line state through BuildDcb and back through LoadFromDcb.
TEST(AfComSettings, EveryCombinationRoundTrips) {
    // Rates 0..14 from the table, then brUser with four rates the table lacks.
    const std::int32_t userRates[] = {31250, 250000, 1000000, 7};
    const std::uint32_t flowMask[] = {0, 0x0300, 0x2004, 0x0028};
    const std::uint32_t optFlag[] = {0x0002, 0x0040, 0x0080, 0x0400, 0x0800};
    constexpr std::uint32_t kCombinations = 19u * 5 * 5 * 3 * 4 * 32 * 4;
    std::uint32_t failures = 0;
    for (std::uint32_t i = 0; i < kCombinations && failures < 5; ++i) {
        std::uint32_t k = i;
        auto next = [&k](std::uint32_t radix) {
            const std::uint32_t digit = k % radix;
            k /= radix;
            return static_cast<int>(digit);
        };
        const int lines = next(4), opt = next(32), fw = next(4), sb = next(3), pa = next(5),
                  db = next(5), rate = next(19);

        TAfComSettings s;
        s.BaudRate = static_cast<TAfBaudrate>(rate < 15 ? rate : 15);
        s.UserBaudRate = rate < 15 ? 55 : userRates[rate - 15];
        s.Databits = static_cast<TAfDatabits>(db);
        s.Parity = static_cast<TAfParity>(pa);
        s.Stopbits = static_cast<TAfStopbits>(sb);
        s.FlowControl = static_cast<TAfFlowControl>(fw);
        s.Options = TAfComOptions::FromBits(static_cast<std::uint8_t>(opt));
        s.DTR = (lines & 1) != 0;
        s.RTS = (lines & 2) != 0;
        s.XOnChar = static_cast<char>(i * 7);
        s.XOffChar = static_cast<char>(i * 13 + 1);
        s.XOnLim = static_cast<std::uint16_t>(i * 31);
        s.XOffLim = static_cast<std::uint16_t>(i * 17 + 3);
        s.BuildDcb();

        // The image, against values written out here rather than the tables.
        const win::DCB& d = s.DcbImage;
        std::uint32_t wantFlags = 0x0001 | flowMask[fw];
        for (int o = 0; o < 5; ++o)
            if (opt & (1 << o))
                wantFlags |= optFlag[o];
        if (s.DTR && fw != 3)
            wantFlags |= 0x0010;
        if (s.RTS && fw != 2)
            wantFlags |= 0x1000;
        const std::uint32_t wantRate = rate < 15 ? kRates[static_cast<std::size_t>(rate)]
                                                 : static_cast<std::uint32_t>(s.UserBaudRate);
        const bool imageOk = d.DCBlength == 28 && d.BaudRate == wantRate && d.Flags == wantFlags &&
                             d.ByteSize == 4 + db && d.Parity == pa && d.StopBits == sb &&
                             d.XonChar == s.XOnChar && d.XoffChar == s.XOffChar &&
                             d.XonLim == s.XOnLim && d.XoffLim == s.XOffLim && d.ErrorChar == 0 &&
                             d.EofChar == 0 && d.EvtChar == 0;

        // Back into a record that agrees only in what the load leaves alone.
        TAfComSettings r;
        r.DTR = s.DTR;
        r.RTS = s.RTS;
        r.UserBaudRate = s.UserBaudRate;
        r.FlowControl = fwDtrDsr;
        r.Options = TAfComOptions::FromBits(0x1F);
        const bool loaded = r.LoadFromDcb(d);
        const bool backOk =
            loaded && r.BaudRate == s.BaudRate && r.UserBaudRate == s.UserBaudRate &&
            r.Databits == s.Databits && r.Parity == s.Parity && r.Stopbits == s.Stopbits &&
            r.FlowControl == s.FlowControl && r.Options == s.Options && r.XOnChar == s.XOnChar &&
            r.XOffChar == s.XOffChar && r.XOnLim == s.XOnLim && r.XOffLim == s.XOffLim &&
            BytesOf(r.DcbImage) == BytesOf(d);
        if (!imageOk || !backOk) {
            ++failures;
            ADD_FAILURE() << (imageOk ? "round trip" : "image") << " of rate " << rate << " db "
                          << db << " pa " << pa << " sb " << sb << " fw " << fw << " opt " << opt
                          << " lines " << lines << ": flags " << std::hex << d.Flags << " want "
                          << wantFlags;
        }
    }
}

TEST(ThreadPriority, NiceValuesAndPerThreadApplication) {
    const int want[] = {19, 10, 5, 0, -5, -10, -15};
    for (int p = 0; p < 7; ++p)
        EXPECT_EQ(platform::PriorityToNice(static_cast<TThreadPriority>(p)), want[p]);
    EXPECT_EQ(platform::PriorityToNice(static_cast<TThreadPriority>(7)), 0);
    EXPECT_EQ(platform::PriorityToNice(static_cast<TThreadPriority>(255)), 0);

    const int mainNice = ThreadNice();
    int lowered = 99, afterRaise = 99, startNice = 99;
    bool lowerOk = false, raiseOk = false;
    std::thread([&] {
        lowerOk = platform::SetThreadPriority(::gettid(), tpLowest); // lowering needs no privilege
        lowered = ThreadNice();
    }).join();
    std::thread([&] {
        startNice = ThreadNice();
        raiseOk = platform::SetThreadPriority(::gettid(), tpHighest);
        afterRaise = ThreadNice();
    }).join();

    EXPECT_TRUE(lowerOk);
    EXPECT_EQ(lowered, 10);
    // Only the calling thread changed, not the process or the main thread.
    EXPECT_EQ(ThreadNice(), mainNice);
    // A raise either takes effect or is refused and leaves the thread as it was.
    if (raiseOk)
        EXPECT_EQ(afterRaise, -10);
    else
        EXPECT_EQ(afterRaise, startNice);
}
