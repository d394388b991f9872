// Arbitrary bytes as kelvox.ini, loaded and saved the way the options dialog
// does it (every key the program keeps read, then written back). Checks: a
// second load gives the same settings, and every line the save did not set
// is still there byte for byte, in its order.
#include "FuzzCheck.h"
#include "platform/IniFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace {

std::string gPath;

const QString kMain = QStringLiteral("Main");
const QString kData = QStringLiteral("Data");
const char* const kIntKeys[][2] = {
    {"Main", "Top"}, {"Main", "Left"}, {"Main", "Height"}, {"Data", "COM"}, {"Data", "Period"}};
const char* const kBoolKeys[] = {"AutoConnect", "AlwaysOnTop", "GeneTemp", "AutoReconnect"};

struct Settings {
    QString Target;
    int Ints[5] = {};
    bool Bools[4] = {};
    bool operator==(const Settings& o) const {
        return Target == o.Target && std::equal(std::begin(Ints), std::end(Ints), o.Ints) &&
               std::equal(std::begin(Bools), std::end(Bools), o.Bools);
    }
};

// False for a value the program refuses at start (nothing is saved then).
bool ReadBool(const platform::IniFile& ini, const char* key, bool& out) {
    const QString t =
        ini.ReadString(kData, QString::fromLatin1(key), QStringLiteral("0")).trimmed();
    int whole = 0;
    if (t.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0)
        out = true;
    else if (t.compare(QStringLiteral("false"), Qt::CaseInsensitive) == 0)
        out = false;
    else if (platform::ParseIniInteger(t, whole))
        out = whole != 0;
    else
        return false;
    return true;
}

bool Load(Settings& s) {
    const platform::IniFile ini(QString::fromStdString(gPath));
    s.Target = ini.ReadString(kData, QStringLiteral("TargetURL"), QString());
    for (int i = 0; i < 5; ++i)
        s.Ints[i] = ini.ReadInteger(QString::fromLatin1(kIntKeys[i][0]),
                                    QString::fromLatin1(kIntKeys[i][1]), 7);
    for (int i = 0; i < 4; ++i)
        if (!ReadBool(ini, kBoolKeys[i], s.Bools[i]))
            return false;
    return true;
}

void Save(const Settings& s) {
    platform::IniFile ini(QString::fromStdString(gPath));
    for (int i = 0; i < 5; ++i)
        ini.WriteInteger(QString::fromLatin1(kIntKeys[i][0]), QString::fromLatin1(kIntKeys[i][1]),
                         s.Ints[i]);
    ini.WriteString(kData, QStringLiteral("TargetURL"), s.Target);
    for (int i = 0; i < 4; ++i)
        ini.WriteString(kData, QString::fromLatin1(kBoolKeys[i]),
                        s.Bools[i] ? QStringLiteral("-1") : QStringLiteral("0"));
}

QList<QByteArray> SplitLines(const QByteArray& bytes) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n')
            continue;
        lines.push_back(bytes.mid(start, i - start));
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    lines.push_back(bytes.mid(start));
    return lines;
}

// A line the save may have replaced: one of the keys it writes.
bool IsWrittenKeyLine(const QByteArray& line) {
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return false;
    QByteArray key = line.left(eq).trimmed().toLower();
    if (key.startsWith("\xEF\xBB\xBF")) // names are read as UTF-8, byte order mark dropped
        key = key.mid(3).trimmed();
    for (const auto& k : kIntKeys)
        if (key == QByteArray(k[1]).toLower())
            return true;
    for (const char* k : kBoolKeys)
        if (key == QByteArray(k).toLower())
            return true;
    return key == "targeturl";
}

QByteArray ReadAll() {
    std::ifstream in(gPath, std::ios::binary);
    const std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // On tmpfs where there is one: every save syncs its file to disk.
    char dir[] = "/dev/shm/kelvox-fuzz-settings-XXXXXX";
    if (!mkdtemp(dir))
        std::abort();
    gPath = std::string(dir) + "/kelvox.ini";
    static const std::string kDir = dir;
    std::atexit([] { std::filesystem::remove_all(kDir); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray original(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    {
        std::ofstream out(gPath, std::ios::binary | std::ios::trunc);
        out.write(original.constData(), original.size());
    }
    Settings first;
    if (!Load(first))
        return 0; // the program stops at start: nothing is saved
    try {
        Save(first);
    } catch (const std::runtime_error&) {
        return 0; // refused to write (an unreadable file is never replaced)
    }
    Settings second;
    FUZZ_CHECK(Load(second));
    // Values are trimmed when read and CR or LF inside them written as
    // blanks; what the first load gave must come back as it was.
    FUZZ_CHECK(second == first);

    // Every line but those of the keys the save sets, in its order. (Lines
    // of those keys are left out of the comparison: the same text may stand
    // in another section that the save leaves alone.)
    // A byte order mark at the start stays there.
    static const QByteArray kBom("\xEF\xBB\xBF");
    QByteArray saved = ReadAll();
    QByteArray kept = original;
    if (kept.startsWith(kBom)) {
        FUZZ_CHECK(saved.startsWith(kBom));
        kept.remove(0, kBom.size());
        saved.remove(0, kBom.size());
    }
    const QList<QByteArray> after = SplitLines(saved);
    qsizetype at = 0;
    for (const QByteArray& line : SplitLines(kept)) {
        if (IsWrittenKeyLine(line))
            continue;
        while (at < after.size() && after[at] != line)
            ++at;
        FUZZ_CHECK(at < after.size());
        ++at;
    }
    return 0;
}
