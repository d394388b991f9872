#include "platform/IniFile.h"

#include <QFile>
#include <QSaveFile>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace platform {
namespace {

// A section header "[name]"; the name trimmed, or a null string.
QString sectionName(const QString& line) {
    const QString t = line.trimmed();
    if (!t.startsWith(u'['))
        return {};
    const qsizetype close = t.indexOf(u']');
    if (close < 0)
        return {};
    return t.mid(1, close - 1).trimmed();
}

bool isComment(const QString& line) {
    const QString t = line.trimmed();
    return t.startsWith(u';') || t.startsWith(u'#');
}

// Splits "key = value"; false for lines that are not key lines.
bool splitKey(const QString& line, QString& key, QString& value) {
    if (isComment(line))
        return false;
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0)
        return false;
    key = line.left(eq).trimmed();
    value = line.mid(eq + 1).trimmed();
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
qsizetype findSection(const QStringList& lines, const QString& section) {
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
    QFile file(Path_);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    if (text.isEmpty())
        return;
    Lines_ = text.split(u'\n');
    for (QString& line : Lines_)
        if (line.endsWith(u'\r'))
            line.chop(1);
    // A final line end does not start another line.
    if (!Lines_.isEmpty() && Lines_.last().isEmpty())
        Lines_.removeLast();
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

QStringList IniFile::ReadSection(const QString& section) const {
    QStringList keys;
    const qsizetype header = findSection(Lines_, section);
    if (header < 0)
        return keys;
    for (qsizetype i = header + 1; i < Lines_.size(); ++i) {
        if (!sectionName(Lines_[i]).isNull())
            break;
        QString k, v;
        if (splitKey(Lines_[i], k, v) && !k.isEmpty() && !keys.contains(k, Qt::CaseInsensitive))
            keys << k;
    }
    return keys;
}

int IniFile::ReadInteger(const QString& section, const QString& key, int def) const {
    int value = 0;
    if (ParseIniInteger(ReadString(section, key, QString()), value))
        return value;
    return def;
}

void IniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    const QString line = sanitize(key) + u'=' + sanitize(value);
    const qsizetype header = findSection(Lines_, section);
    if (header < 0) {
        Lines_.append(u'[' + sanitize(section) + u']');
        Lines_.append(line);
        Save();
        return;
    }
    qsizetype lastContent = header; // last non-blank line of the section
    for (qsizetype i = header + 1; i < Lines_.size(); ++i) {
        if (!sectionName(Lines_[i]).isNull())
            break;
        QString k, v;
        if (splitKey(Lines_[i], k, v) && sameName(k, key)) {
            Lines_[i] = line;
            Save();
            return;
        }
        if (!Lines_[i].trimmed().isEmpty())
            lastContent = i;
    }
    Lines_.insert(lastContent + 1, line);
    Save();
}

void IniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void IniFile::Save() const {
    QByteArray data;
    for (const QString& line : Lines_) {
        data += line.toUtf8();
        data += "\r\n";
    }
    QSaveFile file(Path_);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        throw std::runtime_error(QStringLiteral("Unable to write to %1: %2")
                                     .arg(Path_, file.errorString())
                                     .toStdString());
}

} // namespace platform
