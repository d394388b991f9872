// A settings file in the classic INI form, with the lookup rules programs of
// that family expect: section and key names are case-insensitive, the first
// match wins, values are trimmed. Lines the program does not touch (other
// sections and keys, comments, blank lines) are written back as they were.
// Lines and values the program does not change are written back byte for
// byte; a value is read as UTF-8 when it is valid UTF-8, else as the locale's
// 8-bit text, and a value in matching double or single quotes is taken
// without them.
// Reads accept LF, CR LF and CR; writes use CR LF and go through a temporary
// file in the same directory renamed over the target once all of it is on
// disk, so neither a crash nor a full disk leaves a shorter file. A missing
// file reads as empty and is created by the first write; a file that exists
// but cannot be read is never written. Not thread-safe; one instance per
// routine.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <utility>

namespace platform {

class IniFile {
public:
    // A larger file is not read (refused as unreadable): nobody writes that
    // many settings, and reading it would stall the caller and hold it all.
    static constexpr qint64 MaxSize = 1024 * 1024;

    // Reads the file now (a missing or unreadable file counts as empty).
    explicit IniFile(QString path);

    const QString& FileName() const { return Path_; }
    // Why an existing file could not be read (unreadable, not a regular
    // file, larger than MaxSize); empty when it was read or is missing. Such a file is never
    // overwritten: every write throws.
    const QString& ReadError() const { return ReadError_; }

    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // The keys of the section's first occurrence, in file order, each once.
    QStringList ReadSection(const QString& section) const;
    // The 1-based line number of the key's first match, 0 when absent.
    int LineOf(const QString& section, const QString& key) const;
    // The same keys, each with the value ReadString gives it, in one pass
    // over the section (asking ReadString key by key costs the square of
    // the section's length).
    QList<std::pair<QString, QString>> ReadSectionValues(const QString& section) const;
    // Decimal, or hexadecimal after "0x"/"0X"; anything else yields def.
    int ReadInteger(const QString& section, const QString& key, int def) const;

    // Sets the value and writes the whole file at once (nothing is written
    // when the stored value already reads as value). CR and LF inside the
    // value are written as blanks (they would end the line and let a value
    // smuggle in keys of its own). Throws std::runtime_error when the file
    // cannot be written.
    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);

    // Between BeginUpdate() and Commit() writes only change the lines in
    // memory; Commit() then replaces the file once with all of them (nothing
    // is written when nothing changed), so a failure leaves the old file
    // whole instead of half the keys saved. Throws as a write does, and
    // for a file that could not be read even when nothing changed.
    void BeginUpdate() { Deferred_ = true; }
    void Commit();
    // Later writes leave the file readable and writable by its owner only
    // (it holds a password).
    void SetPrivate(bool on) { Private_ = on; }

    // One line as the reader takes it, for a check of the file's layout.
    struct Line {
        enum class Kind { Blank, Comment, Section, Key, Other };
        Kind Type = Kind::Blank;
        QString Name;  // the section's or the key's name
        QString Value; // a key's value; after a section header, the text after its ']'
    };
    // Every line, in file order (line n is element n - 1).
    QList<Line> Layout() const;

    // The lines as they would be written (for tests and diagnostics).
    const QList<QByteArray>& Lines() const { return Lines_; }

private:
    // Writes lines and makes them the current ones; throws on failure.
    void Save(QList<QByteArray> lines);
    QString Path_;
    QList<QByteArray> Lines_;
    QString ReadError_;
    bool Bom_ = false;
    bool Deferred_ = false;
    bool Private_ = false;
    bool Dirty_ = false;
};

// Integer text: optional sign and decimal digits, or "0x"/"0X" and up to 8
// hex digits (taken as a 32-bit pattern, so 0xFFFFFFFF is -1). Surrounding
// blanks are allowed. False when the text is not such a number or does not
// fit in 32 bits.
bool ParseIniInteger(const QString& text, int& out);

} // namespace platform
