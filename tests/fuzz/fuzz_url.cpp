// The upload URL: the target text as typed, the temperature text appended,
// "http://" put in front where needed and the bytes that may not stand in a
// URL percent-encoded. Checks: only printable ASCII goes out, nothing is
// encoded twice, and the URL still means what was typed (same text after
// percent-decoding, the temperature at its end). Temperatures are either
// arbitrary text or a number formatted as the program formats it, which
// must read back as the same value to within its one decimal.
#include "FuzzCheck.h"
#include "net/uHTML.h"
#include "platform/FormatSettings.h"

#include <QString>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// What a server reads: every valid %XX escape turned into its byte.
std::string PercentDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

void CheckFormattedTemperature(const std::string& text, long double value,
                               const platform::FormatSettings& format) {
    // Ten significant digits, one decimal, a sign, separators, an exponent.
    FUZZ_CHECK(text.size() <= 48);
    if (!std::isfinite(value) || std::fabs(value) >= 1e8L || !format.ThousandSeparator.isEmpty())
        return;
    long double back = 0;
    FUZZ_CHECK(format.TextToFloat(text, back));
    FUZZ_CHECK(std::fabs(back - value) <= 0.05L + std::fabs(value) * 1e-12L);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::string temperature;
    if (in.ConsumeBool()) {
        static const char* const kDecimal[] = {".", ",", "\xC2\xB7"};
        static const char* const kThousand[] = {"", " ", "\xC2\xA0", "'"};
        platform::FormatSettings format;
        format.DecimalSeparator = QString::fromUtf8(in.PickValueInArray(kDecimal));
        format.ThousandSeparator = QString::fromUtf8(in.PickValueInArray(kThousand));
        double raw = 0;
        const std::string bytes = in.ConsumeBytesAsString(sizeof raw);
        std::memcpy(&raw, bytes.data(), bytes.size());
        const long double value = raw;
        temperature = format.FormatTemperature(value).toStdString();
        CheckFormattedTemperature(temperature, value, format);
    } else {
        temperature = in.ConsumeRandomLengthString(64);
    }
    // The target comes from a text field: whatever was typed, as UTF-8.
    const std::string target = QString::fromUtf8(in.ConsumeRemainingBytesAsString()).toStdString();

    const std::string typed = target + temperature;
    const std::string url = UrlWithScheme(typed);
    FUZZ_CHECK(url == typed || url == "http://" + typed);
    FUZZ_CHECK(!NeedsHttpPrefix(url));
    FUZZ_CHECK(UrlWithScheme(url) == url);

    const std::string wire = EncodeUrlForWire(url);
    for (const char c : wire)
        FUZZ_CHECK(c > 0x20 && c < 0x7F);
    FUZZ_CHECK(EncodeUrlForWire(wire) == wire);
    FUZZ_CHECK(PercentDecode(wire) == PercentDecode(url));
    // Unless the target ends inside an escape ("...%2" + "1.5"), the
    // temperature reads back whole at the end.
    const std::string head = url.substr(0, url.size() - temperature.size());
    if (head.find('%', head.size() < 2 ? 0 : head.size() - 2) == std::string::npos) {
        const std::string decoded = PercentDecode(wire);
        const std::string tail = PercentDecode(temperature);
        FUZZ_CHECK(decoded.size() >= tail.size() &&
                   decoded.compare(decoded.size() - tail.size(), tail.size(), tail) == 0);
    }
    return 0;
}
