// The "Kelvox - History" window: a line chart of the temperature history
// over the last hour, 24 hours or 7 days, under a title with the span and
// its dates and with its lowest, highest and current value above it, saved
// as PNG or copied to the clipboard (title included). Failed
// readings and times without readings are gaps in the line.
//
// The window exists only while it is open (it deletes itself on close), so
// a closed chart costs nothing. While open it follows the history: a new
// point extends the last piece of the line (the line is held as pieces of
// at most PieceLength points) instead of replotting the whole span; the
// whole span is replotted only when the time axis moves on (once per
// AxisStep() minutes), on a change of span and when the history is reset.
// Its size and position are kept in the settings model ([History] of
// kelvox.ini), written with the other settings. Main thread only.
#pragma once

#include "core/Settings.h"
#include "core/TemperatureHistory.h"
#include "gui/HistoryAxis.h"
#include "gui/ScreenFit.h"

#include <QDateTime>
#include <QIcon>
#include <QImage>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

class QButtonGroup;
class QCategoryAxis;
class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QPushButton;
class QTimer;

class TfHistory : public QWidget {
    Q_OBJECT
public:
    using Span = HistorySpan;
    static constexpr int PieceLength = 120;
    // Empty series kept ready for new pieces (a failed reading starts one).
    static constexpr std::size_t kSpareSeries = 4;

    // `clock` is the program's (the core's): it says which minutes are
    // recent and ends the time axis. The window takes its place and size
    // from `settings` and puts them back there when it closes (null: not
    // kept).
    TfHistory(TemperatureHistory* history, std::function<QDateTime()> clock,
              TSettingsModel* settings, QWidget* parent = nullptr);

    // Puts the window's place and size into the settings model.
    void StoreGeometry();

    // Controls (named with setObjectName so tests can find them).
    QPushButton* bHour = nullptr;
    QPushButton* bDay = nullptr;
    QPushButton* bWeek = nullptr;
    QPushButton* bSavePng = nullptr; // "Save as PNG..."
    QPushButton* bCopy = nullptr;    // "Copy"
    QLabel* lTitle = nullptr;        // the span and its dates, for the picture
    QLabel* lSummary = nullptr;      // minimum, maximum, current
    QChartView* ChartView = nullptr;

    Span CurrentSpan() const { return Span_; }
    void SetSpan(Span span);
    // Minutes between two moves of the time axis for the current span.
    std::int64_t AxisStep() const;

    // Replots the current span from the history.
    void Rebuild();

    // The summary and the chart as one picture, as saved and copied.
    QImage Picture();
    // Writes Picture() as PNG; false (with nothing written) on failure.
    bool SavePicture(const QString& path);

    // Without a stored place (the first opening), puts the window beside
    // the window at `anchor` (frame included) instead of where the window
    // manager would, often over it.
    void PlaceBeside(const QRect& anchor);

    // The pieces of the plotted line, oldest first (for tests and the
    // benchmark).
    const std::vector<QLineSeries*>& Pieces() const { return Pieces_; }
    QCategoryAxis* AxisX() const { return AxisX_; }
    QCategoryAxis* AxisY() const { return AxisY_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void HistoryChanged(TemperatureHistory::Change change);
    void Tick();
    QLineSeries* NewSeries();
    void AddPiece(const QList<QPointF>& points);
    int TickMinutes() const;
    void UpdateTimeAxis();
    void UpdateValueAxis();
    void UpdateSummary();
    void UpdateTitle();
    void bSavePngClick();
    void bCopyClick();
    void RestoreGeometry();

    QPointer<TemperatureHistory> History_;
    std::function<QDateTime()> Now_;
    QPointer<TSettingsModel> Settings_;
    Span Span_ = Span::Day;
    QButtonGroup* SpanGroup_ = nullptr;
    QWidget* Plot_ = nullptr; // summary and chart: what the picture shows
    QChart* Chart_ = nullptr;
    QCategoryAxis* AxisX_ = nullptr;
    QCategoryAxis* AxisY_ = nullptr;
    QTimer* Clock_ = nullptr;
    std::vector<QLineSeries*> Pieces_;
    std::vector<QLineSeries*> Spares_; // in the chart, without points
    std::int64_t RangeStart_ = 0;      // minutes since the epoch, as plotted
    std::int64_t RangeEnd_ = 0;
    std::int64_t TailMinute_ = -1; // minute of the last plotted point
    int TickMinutes_ = 0;          // between two labels of the time axis
    bool HasData_ = false;
    double Min_ = 0; // over the plotted points
    double Max_ = 0;
    double AxisMin_ = 0;
    double AxisMax_ = 0;
    TScreenPlace Place_;    // the stored place and where it put the window
    bool HasPlace_ = false; // a place was stored
};

// A small line-chart picture for the buttons that open the window.
QIcon HistoryIcon();
