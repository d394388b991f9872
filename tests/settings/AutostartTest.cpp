// "Start with the desktop session": the check box shows whether the autostart
// entry exists and writes or removes it; the entry launches this program by
// its absolute path, quoted as desktop entries require, and passes
// desktop-file-validate where that is installed.
#include "platform/Autostart.h"
#include "app/uMain.h"
#include "platform/MessageBox.h"
#include "settings/uSettings.h"
#include "support/Pty.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

QString execLine(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("Exec="))
            return QString::fromUtf8(line);
    return {};
}

void expectValidEntry(const QString& path) {
    const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
    if (validator.isEmpty())
        return;
    QProcess p;
    p.start(validator, {path});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
}

TEST(Autostart, TheBoxIsTheEntrysPresence) {
    QTemporaryDir home, config;
    qputenv("KELVOX_HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    const QString entry = config.path() + "/autostart/org.kelvox.Kelvox.desktop";
    ASSERT_EQ(platform::AutostartEntryPath(), entry);
    PortDir ports;
    fMain = new TfMain;
    fSettings = new TfSettings;

    fSettings->show();
    EXPECT_FALSE(fSettings->chbAutostart->isChecked());
    fSettings->chbAutostart->click();
    ASSERT_TRUE(QFile::exists(entry));
    EXPECT_EQ(execLine(entry), "Exec=\"" + QCoreApplication::applicationFilePath() + "\"");
    expectValidEntry(entry);
    fSettings->chbAutostart->click();
    EXPECT_FALSE(QFile::exists(entry));

    // Made or removed elsewhere: the box shows it the next time.
    fSettings->hide();
    platform::SetAutostart(true, "/opt/My $Apps/kel\"vox 100%");
    EXPECT_EQ(execLine(entry), R"(Exec="/opt/My \\$Apps/kel\\"vox 100%%")");
    expectValidEntry(entry);
    fSettings->show();
    EXPECT_TRUE(fSettings->chbAutostart->isChecked());

    // An entry that cannot be written is reported and the box shows the truth.
    fSettings->chbAutostart->click();
    ASSERT_TRUE(QFile(config.path() + "/autostart").remove() ||
                QDir(config.path() + "/autostart").removeRecursively());
    QFile blocker(config.path() + "/autostart");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder belongs
    blocker.close();
    std::vector<platform::MessageRequest> boxes;
    platform::SetMessageHook([&](const platform::MessageRequest& r) {
        boxes.push_back(r);
        return platform::MsgResult::Ok;
    });
    fSettings->chbAutostart->click();
    EXPECT_FALSE(fSettings->chbAutostart->isChecked());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].Text.contains("org.kelvox.Kelvox.desktop")) << boxes[0].Text.toStdString();

    platform::SetMessageHook({});
    delete fSettings;
    fSettings = nullptr;
    delete fMain;
    fMain = nullptr;
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("KELVOX_HOME");
}

} // namespace
