// The settings file as the core reads, applies and saves it: defaults,
// clamped and hexadecimal numbers, check states, a value that stops the
// start, and the lines and keys of the file that a save keeps.
#include "support/CoreFixture.h"

#include <QFileInfo>
#include <QTimer>
#include <stdexcept>

namespace {

class SettingsTest : public CoreFixture {
protected:
    void SetUp() override {
        CoreFixture::SetUp();
        Deps.MinuteMs = 1000;
    }
    void WriteIni(const QByteArray& bytes) {
        QFile f(Paths().IniPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray ReadIni() const {
        QFile f(Paths().IniPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // A fresh start with the file as it is now.
    void Restart() {
        Stop();
        Start();
    }
    int Integer(Setting id) { return Core().Settings().Integer(id); }
    bool Check(Setting id) { return Core().Settings().Check(id); }
    QTimer* Timer() { return Core().Upload().Timer(); }
};

} // namespace

TEST_F(SettingsTest, DefaultsWithoutAFile) {
    Start();
    EXPECT_EQ(Link().ComNumber(), 1);
    EXPECT_EQ(Integer(Setting::Period), 1);
    EXPECT_TRUE(Timer()->isActive());
    EXPECT_EQ(Timer()->interval(), 1000);
    EXPECT_EQ(Core().Settings().Text(Setting::TargetURL), ""); // the example URL is replaced
    EXPECT_FALSE(Check(Setting::AutoConnect));
    EXPECT_FALSE(Check(Setting::AlwaysOnTop));
    EXPECT_FALSE(Check(Setting::GeneTemp));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(QFileInfo::exists(Paths().IniPath())); // only a save creates it
}

TEST_F(SettingsTest, SaveWritesEveryKeyAndLoadRestoresIt) {
    Start();
    TSettingsModel& settings = Core().Settings();
    settings.SetInteger(Setting::MainTop, 45);
    settings.SetInteger(Setting::MainLeft, 123);
    settings.SetInteger(Setting::MainHeight, 31);
    settings.SetText(Setting::TargetURL, "http://127.0.0.1:8080/t.php?t=");
    Link().SetComNumber(4); // as the port chooser does
    settings.SetInteger(Setting::Period, 7);
    settings.SetCheck(Setting::AutoConnect, true);
    settings.SetCheck(Setting::GeneTemp, true);
    Core().SaveSettings();
    EXPECT_EQ(ReadIni(), "[Main]\r\nTop=45\r\nLeft=123\r\nHeight=31\r\n"
                         "[Data]\r\nTargetURL=http://127.0.0.1:8080/t.php?t=\r\nCOM=4\r\n"
                         "Period=7\r\nAutoConnect=-1\r\nAlwaysOnTop=0\r\nGeneTemp=-1\r\n"
                         "AutoReconnect=0\r\n")
        << ReadIni().toStdString();

    Restart();
    EXPECT_EQ(Integer(Setting::MainTop), 45);
    EXPECT_EQ(Integer(Setting::MainLeft), 123);
    EXPECT_EQ(Integer(Setting::MainHeight), 31);
    EXPECT_EQ(Core().Settings().Text(Setting::TargetURL), "http://127.0.0.1:8080/t.php?t=");
    EXPECT_EQ(Link().ComNumber(), 4);
    EXPECT_EQ(Timer()->interval(), 7000);
    EXPECT_TRUE(Check(Setting::AutoConnect));
    EXPECT_TRUE(Check(Setting::GeneTemp));
    // AutoConnect with no port chosen asks for one.
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, kChoose);
    EXPECT_EQ(Boxes[0].Caption, "");
    EXPECT_EQ(Boxes[0].Icon, platform::MsgIcon::Warning);
}

TEST_F(SettingsTest, PeriodIsClampedAndZeroStopsTheTimer) {
    WriteIni("[Data]\r\nPeriod=250\r\n");
    Start();
    EXPECT_EQ(Integer(Setting::Period), 100);
    EXPECT_EQ(Timer()->interval(), 100000);
    EXPECT_TRUE(Timer()->isActive());
    Core().SaveSettings();
    EXPECT_TRUE(ReadIni().contains("\r\nPeriod=100\r\n"));

    WriteIni("[Data]\r\nPeriod=0\r\n");
    Restart();
    EXPECT_FALSE(Timer()->isActive());
    WriteIni("[Data]\r\nPeriod=-3\r\n");
    Restart();
    EXPECT_EQ(Integer(Setting::Period), 0);
    EXPECT_FALSE(Timer()->isActive());
}

TEST_F(SettingsTest, HexadecimalAndInvalidIntegers) {
    WriteIni("[Main]\nTop=0x20\nLeft=0X1f\nHeight=abc\n[Data]\nCOM=0x10\nPeriod=5x\n");
    Start();
    EXPECT_EQ(Integer(Setting::MainTop), 32);
    EXPECT_EQ(Integer(Setting::MainLeft), 31);
    EXPECT_EQ(Link().ComNumber(), 16);
    EXPECT_EQ(Integer(Setting::Period), 1);
    // The port number is 16 bits wide.
    WriteIni("[Data]\nCOM=65539\n");
    Restart();
    EXPECT_EQ(Link().ComNumber(), 3);
}

TEST_F(SettingsTest, CheckStatesAcceptNumbersAndTrueFalseInAnyCase) {
    struct Case {
        const char* text;
        bool checked;
    };
    for (const Case& c :
         {Case{"-1", true}, Case{"0", false}, Case{"1", true}, Case{"2", true}, Case{"True", true},
          Case{"tRUE", true}, Case{"FALSE", false}, Case{"false", false}, Case{"0.5", true},
          Case{"0.0", false}, Case{"0x0", false}}) {
        WriteIni(QByteArray("[Data]\r\nGeneTemp=") + c.text + "\r\nAlwaysOnTop=" + c.text + "\r\n");
        Restart();
        EXPECT_EQ(Check(Setting::GeneTemp), c.checked) << c.text;
        EXPECT_EQ(Check(Setting::AlwaysOnTop), c.checked) << c.text;
    }
}

TEST_F(SettingsTest, AnInvalidCheckStateStopsTheStart) {
    for (const char* bad : {"yes", "on", "", "1,5x"}) {
        WriteIni(QByteArray("[Data]\nAlwaysOnTop=") + bad + "\n");
        Stop();
        try {
            Start();
            ADD_FAILURE() << "no error for '" << bad << "'";
        } catch (const std::runtime_error& e) {
            // The designed wording, after the place it stands in.
            EXPECT_EQ(std::string(e.what()),
                      std::string("kelvox.ini line 2, [Data] AlwaysOnTop: '") + bad +
                          "' is not a valid boolean value");
        }
    }
}

TEST_F(SettingsTest, JunkLinesOtherSectionsAndUnchangedValuesAreKept) {
    const QByteArray original = "garbage without equals\n[Other]\nkey = value \n; comment\n"
                                "[data]\n=no key\nTargetURL = http://h/x?t= \nnonsense\n"
                                "COM=2\n[Main]\nTop=10\n";
    WriteIni(original);
    Start();
    EXPECT_EQ(Core().Settings().Text(Setting::TargetURL), "http://h/x?t=");
    EXPECT_EQ(Link().ComNumber(), 2);
    EXPECT_EQ(Integer(Setting::MainTop), 10);
    Core().SaveSettings();
    const QByteArray saved = ReadIni();
    EXPECT_TRUE(
        saved.startsWith("garbage without equals\r\n[Other]\r\nkey = value \r\n; comment\r\n"
                         "[data]\r\n=no key\r\nTargetURL = http://h/x?t= \r\nnonsense\r\n"
                         "COM=2\r\n"))
        << saved.toStdString();
    EXPECT_FALSE(saved.contains("\n\n")); // every line end is CR LF
    Restart();
    EXPECT_EQ(Core().Settings().Text(Setting::TargetURL), "http://h/x?t=");
}

TEST_F(SettingsTest, LfAndCrLfFilesLoadTheSame) {
    const auto values = [this] {
        return QList<int>{Integer(Setting::MainTop), Integer(Setting::MainLeft),
                          Integer(Setting::MainHeight), Link().ComNumber(),
                          Integer(Setting::Period)};
    };
    WriteIni("[Main]\nTop=7\nLeft=8\nHeight=100\n[Data]\nTargetURL=u\nCOM=3\nPeriod=2\n");
    Start();
    const QList<int> lf = values();
    EXPECT_EQ(lf, (QList<int>{7, 8, 100, 3, 2}));
    EXPECT_EQ(Core().Settings().Text(Setting::TargetURL), "u");
    WriteIni("[Main]\r\nTop=7\r\nLeft=8\r\nHeight=100\r\n[Data]\r\nTargetURL=u\r\nCOM=3\r\n"
             "Period=2\r\n");
    Restart();
    EXPECT_EQ(values(), lf);
    EXPECT_EQ(Core().Settings().Text(Setting::TargetURL), "u");
}
