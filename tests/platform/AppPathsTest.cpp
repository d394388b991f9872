#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"
#include "platform/Process.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// Restores an environment variable when the test ends.
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : Name_(name), Had_(qEnvironmentVariableIsSet(name)) {
        if (Had_)
            Old_ = qgetenv(name);
    }
    ~EnvGuard() {
        if (Had_)
            qputenv(Name_, Old_);
        else
            qunsetenv(Name_);
    }

private:
    const char* Name_;
    bool Had_;
    QByteArray Old_;
};

} // namespace

TEST(AppPaths, HomeVariableChoosesAndCreatesTheDirectory) {
    EnvGuard guard("KELVOX_HOME");
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString home = tmp.path() + QStringLiteral("/nested/home/");
    qputenv("KELVOX_HOME", home.toLocal8Bit());
    const platform::AppPaths paths = platform::ResolveAppPaths();
    const QString dir = paths.Dir;
    EXPECT_EQ(dir, QDir::cleanPath(home));
    EXPECT_TRUE(QFileInfo(dir).isDir());
    EXPECT_EQ(paths.IniPath(), dir + "/kelvox.ini");
    EXPECT_EQ(platform::AppBaseName(), "kelvox");
}

TEST(AppPaths, WithoutHomeTheExecutablesDirectoryIsUsed) {
    EnvGuard guard("KELVOX_HOME");
    qunsetenv("KELVOX_HOME");
    // The test program's own directory (the build tree) is writable.
    const QString exeDir = QFileInfo(QFileInfo("/proc/self/exe").symLinkTarget()).absolutePath();
    EXPECT_EQ(platform::AppDir(), exeDir);
}

// Root can write to /usr/bin, but an installed program must not keep its
// settings and logs beside itself there.
TEST(AppPaths, InstalledProgramsDoNotKeepTheirFilesBesideThemselves) {
    for (const char* dir : {"/usr", "/usr/bin", "/usr/local/bin", "/usr/local/bin/", "/opt",
                            "/opt/kelvox/bin", "/bin", "/usr/../usr/sbin"})
        EXPECT_TRUE(platform::IsSystemLocation(QString::fromLatin1(dir))) << dir;
    for (const char* dir : {"/home/user/kelvox", "/media/user/STICK/kelvox", "/usrx/bin",
                            "/optional", "/binaries", "/tmp/usr/bin", "/srv/kelvox"})
        EXPECT_FALSE(platform::IsSystemLocation(QString::fromLatin1(dir))) << dir;
}

TEST(AppPaths, LogFileNamesCarryAFileSafeDate) {
    EnvGuard guard("KELVOX_HOME");
    QTemporaryDir tmp;
    qputenv("KELVOX_HOME", tmp.path().toLocal8Bit());
    const platform::FormatSettings before = platform::FormatSettings::Current();
    platform::FormatSettings slashes;
    slashes.ShortDateFormat = "%d/%m/%Y";
    platform::FormatSettings::SetCurrent(slashes);
    const QDateTime when(QDate(2026, 7, 12), QTime(23, 59, 59));
    const platform::AppPaths paths = platform::ResolveAppPaths();
    EXPECT_EQ(paths.EventLogPath(when), tmp.path() + "/kelvox - 12-07-2026.log");
    EXPECT_EQ(paths.TemperatureLogPath(when), tmp.path() + "/Temperature(12-07-2026).log");
    platform::FormatSettings::SetCurrent(before);
}

TEST(AppPaths, MinuteLengthFromTheEnvironment) {
    EnvGuard guard("KELVOX_MINUTE_MS");
    qunsetenv("KELVOX_MINUTE_MS");
    EXPECT_EQ(platform::MinuteMs(), 60000);
    qputenv("KELVOX_MINUTE_MS", "250");
    EXPECT_EQ(platform::MinuteMs(), 250);
    for (const char* bad : {"0", "-5", "abc", "", "12x", "99999999999"}) {
        qputenv("KELVOX_MINUTE_MS", bad);
        EXPECT_EQ(platform::MinuteMs(), 60000) << bad;
    }
    // Large enough that 100 minutes would not fit the timer's interval.
    qputenv("KELVOX_MINUTE_MS", "30000000");
    EXPECT_EQ(platform::MinuteMs(), 60000);
}

// Whatever is in the lock file's place fails the claim, naming file and cause.
TEST(InstanceLock, ForeignLockFilesFailNamingFileAndCause) {
    QTemporaryDir dir;
    const QByteArray lock = QFile::encodeName(dir.filePath("kelvox.lock"));
    const auto claim = [&] {
        QString e;
        const auto got = platform::LockApplicationDirectory(dir.path(), &e);
        return got == platform::InstanceLock::Failed ? e.mid(dir.path().size())
                                                     : QString::number(int(got));
    };
    ::symlink("kept", lock); // a link's target is never created
    EXPECT_EQ(claim(), "/kelvox.lock: not a regular file (a symbolic link)");
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("kept")));
    ::unlink(lock), ::mkfifo(lock, 0666);
    EXPECT_EQ(claim(), "/kelvox.lock: not a regular file (a FIFO)");
    ::unlink(lock), ::mkdir(lock, 0777);
    EXPECT_EQ(claim(), "/kelvox.lock: not a regular file (a directory)");
    ::rmdir(lock), ::chmod(QFile::encodeName(dir.path()), 0555); // root may, and then holds it
    EXPECT_EQ(claim(), ::geteuid() ? "/kelvox.lock: Permission denied" : "0");
    struct stat st {}; // this user's alone, and another user's is not used
    EXPECT_TRUE(::geteuid() != 0 ||
                (::stat(lock, &st) == 0 && (st.st_mode & 0777) == 0600 &&
                 ::chown(lock, 65534, 65534) == 0 &&
                 claim().endsWith("(uid 65534), not by the user running the program")));
}
