#include "platform/IniFile.h"

#include "platform/FileStore.h"
#include "platform/Process.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using platform::IniFile;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    QString Path = Dir.path() + "/test.ini";

    void WriteRaw(const QByteArray& bytes) {
        QFile f(Path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray ReadRaw() {
        QFile f(Path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll();
    }
};

} // namespace

TEST_F(IniFileTest, MissingFileReadsAsDefaultsAndIsCreatedByTheFirstWrite) {
    IniFile ini(Path);
    EXPECT_EQ(ini.ReadString("Data", "TargetURL", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("Data", "COM", 7), 7);
    EXPECT_FALSE(QFileInfo::exists(Path));
    ini.WriteString("Data", "TargetURL", "http://x/?t=");
    EXPECT_EQ(ReadRaw(), "[Data]\r\nTargetURL=http://x/?t=\r\n");
    ini.WriteInteger("Main", "Top", -12);
    EXPECT_EQ(ReadRaw(), "[Data]\r\nTargetURL=http://x/?t=\r\n[Main]\r\nTop=-12\r\n");
    EXPECT_EQ(IniFile(Path).ReadInteger("main", "TOP", 0), -12);
}

TEST_F(IniFileTest, LookupIsCaseInsensitiveFirstMatchTrimmed) {
    WriteRaw("; comment\n[data]\n  Com =  5  \ncom=6\n[DATA]\nCOM=7\nPeriod=\n[Main]\nTop=3\n");
    IniFile ini(Path);
    EXPECT_EQ(ini.ReadInteger("Data", "COM", 1), 5);
    EXPECT_EQ(ini.ReadString("DATA", "com", "x"), "5");
    // Only the first of two sections with the same name is searched.
    EXPECT_EQ(ini.ReadString("Data", "Period", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("main", "top", 0), 3);
    EXPECT_EQ(ini.ReadString("Main", "Missing", "d"), "d");
    EXPECT_EQ(ini.ReadString("Nowhere", "Top", "d"), "d");
}

TEST_F(IniFileTest, EmptyValueIsNotTheDefault) {
    WriteRaw("[Data]\r\nTargetURL=\r\nCOM=\r\n");
    IniFile ini(Path);
    EXPECT_EQ(ini.ReadString("Data", "TargetURL", "dflt"), "");
    EXPECT_EQ(ini.ReadInteger("Data", "COM", 4), 4);
}

TEST_F(IniFileTest, LfAndCrLfFilesReadAlikeAndWritesUseCrLf) {
    WriteRaw("[Main]\nTop=10\nLeft=20\n");
    IniFile lf(Path);
    WriteRaw("[Main]\r\nTop=10\r\nLeft=20\r\n");
    IniFile crlf(Path);
    EXPECT_EQ(lf.ReadString("Main", "Top", ""), "10");
    EXPECT_EQ(crlf.ReadString("Main", "Top", ""), "10");
    EXPECT_EQ(lf.Lines(), crlf.Lines());
    WriteRaw("[Main]\rTop=10\rLeft=20\r");
    EXPECT_EQ(IniFile(Path).Lines(), crlf.Lines());
    WriteRaw("[Main]\nTop=10\nLeft=20");
    IniFile noFinalNewline(Path);
    EXPECT_EQ(noFinalNewline.ReadString("Main", "Left", ""), "20");
    noFinalNewline.WriteInteger("Main", "Top", 11);
    EXPECT_EQ(ReadRaw(), "[Main]\r\nTop=11\r\nLeft=20\r\n");
}

TEST_F(IniFileTest, WritesKeepEverythingElseAsItWas) {
    WriteRaw(
        "; settings\n[Other]\nfoo = bar \n\n[Main]\nTop=1\n; keep me\nLeft=2\n\n[Data]\nX=1\n");
    IniFile ini(Path);
    ini.WriteInteger("MAIN", "left", 99);    // replaces the existing line
    ini.WriteInteger("Main", "Height", 310); // new key: after the section's last line
    ini.WriteString("Data", "TargetURL", "u");
    EXPECT_EQ(ReadRaw(), "; settings\r\n[Other]\r\nfoo = bar \r\n\r\n[Main]\r\nTop=1\r\n"
                         "; keep me\r\nleft=99\r\nHeight=310\r\n\r\n[Data]\r\nX=1\r\n"
                         "TargetURL=u\r\n");
}

// Run as root (kelvox --find --save on a service's directory): nothing is
// written through a link, nor in a folder or file of another user, who
// could have planted links there; each refusal names what and whose.
TEST_F(IniFileTest, RootWritesNoLinkAndNothingOfAnotherUser) {
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user nobody";
    const QByteArray target = QFile::encodeName(Dir.path() + "/target");
    QFile(Dir.path() + "/target").open(QIODevice::WriteOnly);
    const auto refused = [&](const QString& path, const char* cause) {
        QString error;
        EXPECT_FALSE(platform::AppendWhole(path, "x", &error));
        EXPECT_TRUE(error.contains(cause)) << error.toStdString();
        EXPECT_THROW(IniFile(path).WriteInteger("Data", "COM", 7), std::runtime_error);
    };
    ASSERT_EQ(::symlink(target.constData(), QFile::encodeName(Path).constData()), 0);
    refused(Path, "symbolic link");
    ::unlink(QFile::encodeName(Path).constData());
    ASSERT_EQ(::link(target.constData(), QFile::encodeName(Path).constData()), 0);
    refused(Path, "hard links");
    ::unlink(QFile::encodeName(Path).constData());
    WriteRaw("[Data]\r\n");
    ASSERT_EQ(::chown(QFile::encodeName(Path).constData(), nobody->pw_uid, 0), 0);
    refused(Path, "owned by nobody");
    QTemporaryDir theirs;
    ASSERT_EQ(::chown(QFile::encodeName(theirs.path()).constData(), nobody->pw_uid, 0), 0);
    refused(theirs.path() + "/kelvox.ini", "owned by nobody");
    EXPECT_FALSE(QFileInfo::exists(theirs.path() + "/kelvox.ini"));
    QString error;
    EXPECT_EQ(platform::LockApplicationDirectory(theirs.path(), &error),
              platform::InstanceLock::Failed);
    EXPECT_TRUE(error.startsWith(theirs.path() + ": owned by nobody")) << error.toStdString();
    // Their link is not read either.
    const QByteArray link = QFile::encodeName(theirs.path() + "/kelvox.ini");
    ASSERT_EQ(::symlink(target.constData(), link.constData()), 0);
    ASSERT_EQ(::lchown(link.constData(), nobody->pw_uid, 0), 0);
    EXPECT_EQ(platform::ReadWholeFile(theirs.path() + "/kelvox.ini").Outcome,
              platform::ReadOutcome::Refused);
    EXPECT_EQ(QFileInfo(Dir.path() + "/target").size(), 0);
}

TEST_F(IniFileTest, LineBreaksInAValueCannotAddKeys) {
    IniFile ini(Path);
    ini.WriteString("Data", "TargetURL", "http://a/\r\n[Data]\nAutoConnect=-1");
    IniFile again(Path);
    EXPECT_EQ(again.ReadString("Data", "AutoConnect", "absent"), "absent");
    EXPECT_EQ(again.ReadString("Data", "TargetURL", ""), "http://a/  [Data] AutoConnect=-1");
}

TEST_F(IniFileTest, AFailedWriteThrowsAndLeavesTheFileAlone) {
    WriteRaw("[Main]\nTop=1\n");
    // A path below a regular file cannot be written, even by root.
    IniFile blocked(Path + "/sub.ini");
    EXPECT_THROW(blocked.WriteInteger("Main", "Top", 5), std::runtime_error);
    EXPECT_EQ(ReadRaw(), "[Main]\nTop=1\n");
}

TEST_F(IniFileTest, BytesOfUntouchedLinesAndValuesAreKept) {
    // An 8-bit comment and URL (from an 8-bit system), a quoted value, a BOM.
    const QByteArray kept =
        "\xEF\xBB\xBF; m\xECr\xE1k\r\n[Data]\r\nTargetURL=\"http://h/\xE9t\xE9?t=\"\r\n"
        "Note = caf\xC3\xA9  \r\n";
    WriteRaw(kept + "Period=5\r\n");
    IniFile ini(Path);
    const QString url = ini.ReadString("Data", "TargetURL", "");
    EXPECT_EQ(url, QString::fromUtf8("http://h/\u00E9t\u00E9?t=")); // Latin-1 in a UTF-8 locale
    EXPECT_EQ(ini.ReadString("Data", "Note", ""), QString::fromUtf8("caf\u00E9"));
    ini.WriteString("Data", "TargetURL", url);
    ini.WriteString("Data", "Note", QString::fromUtf8("caf\u00E9"));
    ini.WriteInteger("Data", "Period", 6);
    EXPECT_EQ(ReadRaw(), kept + "Period=6\r\n");
    ini.WriteString("Data", "Quoted", "\"x\"");
    EXPECT_EQ(IniFile(Path).ReadString("Data", "Quoted", ""), "\"x\"");
}

TEST_F(IniFileTest, SingleQuotesAreStrippedAndKeptOnWrite) {
    WriteRaw("[Data]\nTargetURL='http://h/?t='\nAutoConnect = '-1' \n");
    IniFile ini(Path);
    EXPECT_EQ(ini.ReadString("Data", "TargetURL", ""), "http://h/?t=");
    EXPECT_EQ(ini.ReadInteger("Data", "AutoConnect", 0), -1);
    ini.WriteString("Data", "Quoted", "'x'");
    EXPECT_EQ(IniFile(Path).ReadString("Data", "Quoted", ""), "'x'");
}

TEST(IniInteger, DecimalAndHexadecimal) {
    int v = 0;
    ASSERT_TRUE(platform::ParseIniInteger("42", v));
    EXPECT_EQ(v, 42);
    ASSERT_TRUE(platform::ParseIniInteger(" -17 ", v));
    EXPECT_EQ(v, -17);
    ASSERT_TRUE(platform::ParseIniInteger("+3", v));
    EXPECT_EQ(v, 3);
    ASSERT_TRUE(platform::ParseIniInteger("0x1F", v));
    EXPECT_EQ(v, 31);
    ASSERT_TRUE(platform::ParseIniInteger("0XfF", v));
    EXPECT_EQ(v, 255);
    ASSERT_TRUE(platform::ParseIniInteger("0xFFFFFFFF", v));
    EXPECT_EQ(v, -1);
    ASSERT_TRUE(platform::ParseIniInteger("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    v = 9;
    for (const char* bad : {"", "0x", "0x1G", "0x123456789", "12a", "1.5", "--1", "-", "2147483648",
                            "-2147483649", "True", "1 2"}) {
        EXPECT_FALSE(platform::ParseIniInteger(bad, v)) << bad;
        EXPECT_EQ(v, 9) << bad;
    }
}
