#include "platform/IniFile.h"

#include "platform/FileStore.h"

#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>
#include <cstdint>
#include <iconv.h>
#include <langinfo.h>
#include <limits>
#include <stdexcept>
#include <strings.h>

namespace platform {
namespace {

// Text of the locale's 8-bit character set, or Latin-1 when the locale names
// none besides UTF-8 and ASCII (every byte then keeps a character of its own).
QString fromLocale8Bit(const QByteArray& bytes) {
    const char* codeset = ::nl_langinfo(CODESET);
    if (!codeset || !*codeset || ::strcasecmp(codeset, "UTF-8") == 0 ||
        ::strcasecmp(codeset, "ANSI_X3.4-1968") == 0)
        return QString::fromLatin1(bytes);
    const iconv_t cd = ::iconv_open("UTF-8", codeset);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QString::fromLatin1(bytes);
    QByteArray in = bytes;
    QByteArray out(bytes.size() * 4, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    std::size_t inLeft = static_cast<std::size_t>(in.size());
    std::size_t outLeft = static_cast<std::size_t>(out.size());
    const bool ok = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1);
    ::iconv_close(cd);
    if (!ok)
        return QString::fromLatin1(bytes);
    out.truncate(outPtr - out.data());
    return QString::fromUtf8(out);
}

// Values and names as text: UTF-8 when the bytes are valid UTF-8, otherwise
// the locale's 8-bit text (settings carried over from an 8-bit system).
QString decode(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(bytes);
    return utf8.hasError() ? fromLocale8Bit(bytes) : text;
}

// A section header "[name]"; the name trimmed, or a null string.
QString sectionName(const QByteArray& line) {
    const QByteArray t = line.trimmed();
    if (!t.startsWith('['))
        return {};
    const qsizetype close = t.indexOf(']');
    if (close < 0)
        return {};
    QString name = decode(t.mid(1, close - 1).trimmed());
    return name.isNull() ? QStringLiteral("") : name;
}

bool isComment(const QByteArray& line) {
    const QByteArray t = line.trimmed();
    return t.startsWith(';') || t.startsWith('#');
}

// True when text starts and ends with the same quote, double or single.
template <typename Text> bool inMatchingQuotes(const Text& text) {
    return text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
           text.back() == text.front();
}

// Splits "key = value"; false for lines that are not key lines. A value in
// matching double or single quotes is taken without them, as the classic
// profile readers do.
bool splitKey(const QByteArray& line, QString& key, QString& value) {
    if (isComment(line))
        return false;
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return false;
    key = decode(line.left(eq).trimmed());
    QByteArray raw = line.mid(eq + 1).trimmed();
    if (inMatchingQuotes(raw))
        raw = raw.mid(1, raw.size() - 2);
    value = decode(raw);
    return true;
}

bool sameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString sanitize(QString text) {
    for (QChar& c : text)
        if (c == u'\r' || c == u'\n' || c == QChar(u'\0'))
            c = u' ';
    return text;
}

// Index of the first header of `section`, or -1.
qsizetype findSection(const QList<QByteArray>& lines, const QString& section) {
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString name = sectionName(lines[i]);
        if (!name.isNull() && sameName(name, section))
            return i;
    }
    return -1;
}

} // namespace

bool ParseIniInteger(const QString& text, int& out) {
    const QString t = text.trimmed();
    if (t.size() > 2 && t[0] == u'0' && (t[1] == u'x' || t[1] == u'X')) {
        if (t.size() > 10)
            return false;
        std::uint32_t v = 0;
        for (qsizetype i = 2; i < t.size(); ++i) {
            const char16_t c = t[i].unicode();
            int d;
            if (c >= u'0' && c <= u'9')
                d = c - u'0';
            else if (c >= u'a' && c <= u'f')
                d = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F')
                d = c - u'A' + 10;
            else
                return false;
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        out = static_cast<int>(v);
        return true;
    }
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    if (i == t.size())
        return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        const char16_t c = t[i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        v = v * 10 + (c - u'0');
        if (v > static_cast<long long>(std::numeric_limits<int>::max()) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    out = static_cast<int>(v);
    return true;
}

IniFile::IniFile(QString path) : Path_(std::move(path)) {
    FileContent file = ReadWholeFile(Path_, MaxSize + 1);
    if (file.Outcome == ReadOutcome::Read && file.Data.size() > MaxSize) {
        file.Outcome = ReadOutcome::Refused;
        file.Error = QStringLiteral("it is %1 bytes long, more than the %2 MiB a settings file "
                                    "may have")
                         .arg(QFileInfo(Path_).size())
                         .arg(MaxSize / (1024 * 1024));
        file.Data.clear();
    }
    if (file.Outcome == ReadOutcome::Refused) {
        ReadError_ =
            QStringLiteral("Cannot read the settings file \"%1\": %2.").arg(Path_, file.Error);
        return;
    }
    QByteArray& text = file.Data;
    if (text.startsWith("\xEF\xBB\xBF")) {
        Bom_ = true;
        text.remove(0, 3);
    }
    // Lines end in CR LF, LF or CR alone; a final line end does not start
    // another line.
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        Lines_.append(text.mid(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        Lines_.append(text.mid(start));
}

QString IniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    const qsizetype header = findSection(Lines_, section);
    if (header < 0)
        return def;
    for (qsizetype i = header + 1; i < Lines_.size(); ++i) {
        if (!sectionName(Lines_[i]).isNull())
            break;
        QString k, v;
        if (splitKey(Lines_[i], k, v) && sameName(k, key))
            return v;
    }
    return def;
}

int IniFile::LineOf(const QString& section, const QString& key) const {
    const qsizetype header = findSection(Lines_, section);
    if (header < 0)
        return 0;
    for (qsizetype i = header + 1; i < Lines_.size(); ++i) {
        if (!sectionName(Lines_[i]).isNull())
            break;
        QString k, v;
        if (splitKey(Lines_[i], k, v) && sameName(k, key))
            return static_cast<int>(i) + 1;
    }
    return 0;
}

QStringList IniFile::ReadSection(const QString& section) const {
    QStringList keys;
    for (const auto& entry : ReadSectionValues(section))
        keys << entry.first;
    return keys;
}

QList<std::pair<QString, QString>> IniFile::ReadSectionValues(const QString& section) const {
    QList<std::pair<QString, QString>> entries;
    QSet<QString> seen; // case-folded keys: the first match wins
    const qsizetype header = findSection(Lines_, section);
    if (header < 0)
        return entries;
    for (qsizetype i = header + 1; i < Lines_.size(); ++i) {
        if (!sectionName(Lines_[i]).isNull())
            break;
        QString k, v;
        if (splitKey(Lines_[i], k, v) && !k.isEmpty()) {
            const QString folded = k.toCaseFolded();
            if (!seen.contains(folded)) {
                seen.insert(folded);
                entries.append({k, v});
            }
        }
    }
    return entries;
}

QList<IniFile::Line> IniFile::Layout() const {
    QList<Line> layout;
    layout.reserve(Lines_.size());
    for (const QByteArray& bytes : Lines_) {
        Line line;
        const QString section = sectionName(bytes);
        if (!section.isNull()) {
            const QByteArray t = bytes.trimmed();
            line.Type = Line::Kind::Section;
            line.Name = section;
            line.Value = decode(t.mid(t.indexOf(']') + 1).trimmed());
        } else if (bytes.trimmed().isEmpty()) {
            line.Type = Line::Kind::Blank;
        } else if (isComment(bytes)) {
            line.Type = Line::Kind::Comment;
        } else if (splitKey(bytes, line.Name, line.Value)) {
            line.Type = Line::Kind::Key;
        } else {
            line.Type = Line::Kind::Other;
            line.Value = decode(bytes.trimmed());
        }
        layout.append(line);
    }
    return layout;
}

int IniFile::ReadInteger(const QString& section, const QString& key, int def) const {
    int value = 0;
    if (ParseIniInteger(ReadString(section, key, QString()), value))
        return value;
    return def;
}

void IniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    // A value that would lose its quotes when read back keeps them by
    // getting another pair.
    const QString stored = inMatchingQuotes(value) ? value.front() + value + value.front() : value;
    const QByteArray line = (sanitize(key) + u'=' + sanitize(stored)).toUtf8();
    const qsizetype header = findSection(Lines_, section);
    if (header < 0) {
        QList<QByteArray> grown = Lines_;
        grown.append((u'[' + sanitize(section) + u']').toUtf8());
        grown.append(line);
        Save(std::move(grown));
        return;
    }
    qsizetype lastContent = header; // last non-blank line of the section
    for (qsizetype i = header + 1; i < Lines_.size(); ++i) {
        if (!sectionName(Lines_[i]).isNull())
            break;
        QString k, v;
        if (splitKey(Lines_[i], k, v) && sameName(k, key)) {
            // An unchanged value keeps its line byte for byte, whatever its
            // encoding, quotes and spacing.
            if (v == value)
                return;
            QList<QByteArray> changed = Lines_;
            changed[i] = line;
            Save(std::move(changed));
            return;
        }
        if (!Lines_[i].trimmed().isEmpty())
            lastContent = i;
    }
    QList<QByteArray> grown = Lines_;
    grown.insert(lastContent + 1, line);
    Save(std::move(grown));
}

void IniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void IniFile::Commit() {
    Deferred_ = false;
    // A file that could not be read fails the save even when nothing
    // changed: its caller must hear that it is not the file it thinks.
    if (!Dirty_ && !Private_ && ReadError_.isEmpty())
        return;
    Save(Lines_);
}

void IniFile::Save(QList<QByteArray> lines) {
    // What could not be read must not be replaced by what little is known.
    if (!ReadError_.isEmpty())
        throw std::runtime_error(
            (ReadError_ + QStringLiteral(" The settings were not saved.")).toStdString());
    if (Deferred_) {
        Lines_ = std::move(lines);
        Dirty_ = true;
        return;
    }
    QByteArray data;
    if (Bom_)
        data += "\xEF\xBB\xBF";
    for (const QByteArray& line : lines) {
        data += line;
        data += "\r\n";
    }
    QString error;
    if (!ReplaceFile(Path_, data, &error, Private_))
        throw std::runtime_error(
            QStringLiteral("Unable to write to %1: %2").arg(Path_, error).toStdString());
    Lines_ = std::move(lines);
    Dirty_ = false;
}

} // namespace platform
