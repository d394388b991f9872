// The history window of the running program, on the offscreen platform:
// opened from the tray menu, filled from the day's temperature log and the
// live readings, gaps where readings failed, axes in the locale's formats,
// the picture saved as PNG, and its size kept in the settings file.
#include "LinkFixture.h"
#include "core/TemperatureLog.h"
#include "gui/uHistory.h"
#include "platform/IniFile.h"
#include "support/Formats.h"
#include "support/Program.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>

namespace {

class HistoryWindowTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        platform::FormatSettings::SetCurrent(CommaFormats());
        Clock = [this] { return Now; };
    }
    // The open history window, as the desktop sees it: a top-level window
    // of the application (it deletes itself when closed).
    static TfHistory* HistoryWindow() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* history = qobject_cast<TfHistory*>(w))
                return history;
        return nullptr;
    }
    // One reading arriving from the thermometer at the given time.
    void Receive(QTime time, const char* text) {
        Now = QDateTime(Today, time);
        Link().Feed(text);
    }

    const QDate Today{2026, 12, 7};
    QDateTime Now{Today, QTime(12, 0)};
};

} // namespace

TEST_F(HistoryWindowTest, ShowsLogAndLiveReadingsWithGapsAndSavesThePicture) {
    // This morning's sends, five minutes apart.
    for (int i = 0; i <= 6; ++i) {
        const QDateTime t(Today, QTime(10, 5 * i));
        ASSERT_TRUE(
            AppendTemperatureLogLine(Paths().TemperatureLogPath(t),
                                     TemperatureLogLine(CommaFormats(), t, 19.0L + i * 0.1L)));
    }
    Start("[Data]\r\nPeriod=5\r\n");
    Receive(QTime(12, 0, 10), "+021.5C\r");
    Receive(QTime(12, 1, 10), "+022.0C\r");

    fMain->History1->trigger();
    TfHistory* w = HistoryWindow();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible() && !w->isModal());
    EXPECT_EQ(w->windowTitle(), "Kelvox - History");
    // The log's morning (read on a worker thread), the live noon.
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->Pieces().size() == 2u; }, 5000))
        << w->Pieces().size();
    EXPECT_EQ(w->Pieces()[0]->count(), 7);

    // A failed reading breaks the line; the pieces drawn stay as they are.
    QLineSeries* noon = w->Pieces()[1];
    Receive(QTime(12, 2, 10), "+ERR\r");
    Receive(QTime(12, 3, 10), "+023.5C\r");
    Receive(QTime(12, 4, 10), "+023.0C\r");
    ASSERT_EQ(w->Pieces().size(), 3u);
    EXPECT_EQ(w->Pieces()[1], noon);
    EXPECT_EQ(noon->count(), 2);
    EXPECT_EQ(w->lSummary->text(),
              QString::fromUtf8("Minimum: 19,0°C    Maximum: 23,5°C    Current: 23,0°C"));

    Link().PortClosed(); // a lost link breaks the line too
    Receive(QTime(12, 5, 10), "+023.0C\r");
    EXPECT_EQ(w->Pieces().size(), 4u);

    // Numbers and times in the locale's formats.
    const QStringList values = w->AxisY()->categoriesLabels();
    ASSERT_FALSE(values.isEmpty());
    for (const QString& v : values)
        EXPECT_TRUE(QRegularExpression("^-?\\d+,\\d$").match(v).hasMatch()) << v.toStdString();
    EXPECT_TRUE(w->AxisX()->categoriesLabels().contains("07.12.2026"));
    for (const QString& t : w->AxisX()->categoriesLabels())
        EXPECT_TRUE(QRegularExpression("^(\\d\\d:00|07.12.2026)$").match(t).hasMatch())
            << t.toStdString();
    w->bHour->click();
    EXPECT_EQ(w->AxisX()->categoriesLabels(),
              QStringList({"11:10", "11:20", "11:30", "11:40", "11:50", "12:00"}));
    EXPECT_EQ(w->Pieces().size(), 3u); // the morning is out of the hour

    // The picture: the window's plot, with the line in it.
    const QString png = Home.filePath("history.png");
    ASSERT_TRUE(w->SavePicture(png));
    const QImage image(png);
    EXPECT_EQ(image.size(), w->findChild<QWidget*>("Plot")->size());
    const QColor line = w->Pieces()[0]->pen().color();
    int linePixels = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            linePixels += QColor(image.pixel(x, y)) == line;
    EXPECT_GT(linePixels, 10);
    w->bCopy->click();
    EXPECT_EQ(QApplication::clipboard()->image().size(), image.size());

    // Its size is kept for the next time.
    w->resize(700, 480);
    w->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return HistoryWindow() == nullptr; }, 5000));
    Core().SaveSettings(); // written with the other settings
    const platform::IniFile ini(Paths().IniPath());
    EXPECT_EQ(
        QSize(ini.ReadInteger("History", "Width", 0), ini.ReadInteger("History", "Height", 0)),
        QSize(700, 480));
    fMain->bHistory->click();
    ASSERT_NE(HistoryWindow(), nullptr);
    EXPECT_EQ(HistoryWindow()->size(), QSize(700, 480));
    EXPECT_EQ(HistoryWindow()->Pieces().size(), 4u); // the log is read only once
}

TEST_F(HistoryWindowTest, AnotherSpanLeavesNoDotsOfTheOneBefore) {
    // Lone readings all week long: dots on the week, other dots in the hour.
    TemperatureHistory history;
    for (int m = 7 * 1440 - 10; m > 0; m -= m > 60 ? 37 : 3)
        history.AddReading(Now.addSecs(-60 * m).toMSecsSinceEpoch(), 20.0 + (m % 13) * 0.3);
    TfHistory w(&history, Clock, nullptr);
    w.show();
    for (QPushButton* span : {w.bWeek, w.bHour}) {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        span->click();
    }
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    // What the screen shows (the backing store) is what a repaint draws.
    const QImage shown = w.screen()->grabWindow(w.winId()).toImage();
    EXPECT_TRUE(shown.convertToFormat(QImage::Format_RGB32) ==
                w.grab().toImage().convertToFormat(QImage::Format_RGB32));
}

TEST_F(HistoryWindowTest, ThePictureIsTitledWithTheSpanAndItsDates) {
    TemperatureHistory history;
    TfHistory w(&history, Clock, nullptr);
    auto* title = w.findChild<QLabel*>("lTitle");
    ASSERT_NE(title, nullptr);
    EXPECT_TRUE(w.findChild<QWidget*>("Plot")->isAncestorOf(title)); // saved and copied
    EXPECT_EQ(title->text(),
              QString::fromUtf8("Temperature, last 24 hours: 06.12.2026 12:00 – 07.12.2026 12:00"));
    w.bHour->click();
    EXPECT_EQ(title->text(), QString::fromUtf8("Temperature, last hour: 07.12.2026 11:00 – 12:00"));
}
