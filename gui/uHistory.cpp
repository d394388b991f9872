#include "gui/uHistory.h"

#include "gui/HistoryAxis.h"
#include "gui/MessageParent.h"

#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <algorithm>

namespace {

const QString kDegrees = QStringLiteral("\u00B0C");
const QColor kLineColor(0x1f, 0x5f, 0xbf);

void clearCategories(QCategoryAxis* axis) {
    for (const QString& label : axis->categoriesLabels())
        axis->remove(label);
}

} // namespace

QIcon HistoryIcon() {
    QPixmap pixmap(13, 13);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    painter.drawLine(QPointF(1.5, 0.5), QPointF(1.5, 11.5));
    painter.drawLine(QPointF(1.5, 11.5), QPointF(12.5, 11.5));
    painter.setPen(QPen(kLineColor, 1.5));
    const QPointF line[] = {{3, 9}, {5.5, 5}, {8, 7.5}, {12, 2}};
    painter.drawPolyline(line, 4);
    painter.end();
    return QIcon(pixmap);
}

TfHistory::TfHistory(TemperatureHistory* history, std::function<QDateTime()> clock,
                     TSettingsModel* settings, QWidget* parent)
    : QWidget(parent, Qt::Window), History_(history), Now_(std::move(clock)), Settings_(settings) {
    setObjectName(QStringLiteral("fHistory"));
    setWindowTitle(QStringLiteral("Kelvox - History"));
    setAttribute(Qt::WA_DeleteOnClose);
    setMinimumSize(360, 240);
    resize(640, 420);

    auto* layout = new QVBoxLayout(this);
    auto* bar = new QHBoxLayout;
    layout->addLayout(bar);
    auto makeButton = [&](const char* name, const QString& text) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QString::fromLatin1(name));
        bar->addWidget(b);
        return b;
    };
    bHour = makeButton("bHour", QStringLiteral("Last hour"));
    bDay = makeButton("bDay", QStringLiteral("24 hours"));
    bWeek = makeButton("bWeek", QStringLiteral("7 days"));
    bar->addStretch(1);
    bSavePng = makeButton("bSavePng", QStringLiteral("Save as PNG..."));
    bCopy = makeButton("bCopy", QStringLiteral("Copy"));
    SpanGroup_ = new QButtonGroup(this);
    SpanGroup_->setExclusive(true);
    for (QPushButton* b : {bHour, bDay, bWeek}) {
        b->setCheckable(true);
        SpanGroup_->addButton(b);
    }
    bDay->setChecked(true);

    // The picture: the summary line above the chart, on one background.
    Plot_ = new QWidget(this);
    Plot_->setObjectName(QStringLiteral("Plot"));
    Plot_->setAutoFillBackground(true);
    Plot_->setBackgroundRole(QPalette::Base);
    layout->addWidget(Plot_, 1);
    auto* plotLayout = new QVBoxLayout(Plot_);
    plotLayout->setContentsMargins(6, 6, 6, 0);
    lTitle = new QLabel(Plot_);
    lTitle->setObjectName(QStringLiteral("lTitle"));
    QFont titleFont = lTitle->font();
    titleFont.setBold(true);
    lTitle->setFont(titleFont);
    plotLayout->addWidget(lTitle);
    lSummary = new QLabel(Plot_);
    lSummary->setObjectName(QStringLiteral("lSummary"));
    plotLayout->addWidget(lSummary);

    Chart_ = new QChart;
    Chart_->legend()->hide();
    Chart_->setBackgroundRoundness(0);
    Chart_->setMargins(QMargins(4, 4, 12, 4));
    AxisX_ = new QCategoryAxis;
    AxisX_->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    AxisY_ = new QCategoryAxis;
    AxisY_->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    Chart_->addAxis(AxisX_, Qt::AlignBottom);
    Chart_->addAxis(AxisY_, Qt::AlignLeft);
    ChartView = new QChartView(Chart_, Plot_); // owns the chart
    ChartView->setObjectName(QStringLiteral("ChartView"));
    ChartView->setRenderHint(QPainter::Antialiasing);
    ChartView->setFrameShape(QFrame::NoFrame);
    ChartView->setBackgroundBrush(Chart_->backgroundBrush());
    plotLayout->addWidget(ChartView, 1);
    ChartView->installEventFilter(this);

    connect(bHour, &QPushButton::clicked, this, [this] { SetSpan(Span::Hour); });
    connect(bDay, &QPushButton::clicked, this, [this] { SetSpan(Span::Day); });
    connect(bWeek, &QPushButton::clicked, this, [this] { SetSpan(Span::Week); });
    connect(bSavePng, &QPushButton::clicked, this, [this] { bSavePngClick(); });
    connect(bCopy, &QPushButton::clicked, this, [this] { bCopyClick(); });
    if (History_)
        connect(History_, &TemperatureHistory::Changed, this, &TfHistory::HistoryChanged);

    // The axis moves on and "current" goes stale with the clock, also
    // while no reading arrives.
    Clock_ = new QTimer(this);
    Clock_->setInterval(15000);
    connect(Clock_, &QTimer::timeout, this, &TfHistory::Tick);
    Clock_->start();

    RestoreGeometry();
    Rebuild();
}

std::int64_t TfHistory::AxisStep() const {
    return HistorySpanInfoOf(Span_).Step;
}

void TfHistory::SetSpan(Span span) {
    Span_ = span;
    (span == Span::Hour ? bHour : span == Span::Day ? bDay : bWeek)->setChecked(true);
    Rebuild();
}

void TfHistory::Rebuild() {
    TailMinute_ = -1;
    HasData_ = false;

    std::int64_t newest = HistoryMinuteOf(Now_());
    const std::deque<HistoryPoint>* points = History_ ? &History_->Points() : nullptr;
    if (points && !points->empty())
        newest = std::max(newest, points->back().Minute);
    const HistoryRange range = HistoryRangeOf(Span_, newest);
    RangeStart_ = range.Start;
    RangeEnd_ = range.End;

    std::vector<QList<QPointF>> pieces;
    if (points) {
        auto it = std::lower_bound(
            points->begin(), points->end(), RangeStart_,
            [](const HistoryPoint& p, std::int64_t minute) { return p.Minute < minute; });
        for (; it != points->end(); ++it) {
            const QPointF xy(static_cast<double>(it->Minute), it->Last);
            if (!HasData_) {
                Min_ = it->Min;
                Max_ = it->Max;
                HasData_ = true;
            }
            Min_ = std::min(Min_, it->Min);
            Max_ = std::max(Max_, it->Max);
            if (pieces.empty() || !it->Joined)
                pieces.push_back({xy});
            else if (pieces.back().size() >= PieceLength)
                pieces.push_back({pieces.back().back(), xy});
            else
                pieces.back().append(xy);
            TailMinute_ = it->Minute;
        }
    }

    // The series are kept and refilled: creating and removing chart series
    // costs far more than their points. Emptied first, so that the new axes
    // do not replot the old points.
    Spares_.insert(Spares_.begin(), Pieces_.rbegin(), Pieces_.rend());
    Pieces_.clear();
    for (QLineSeries* series : Spares_)
        if (series->count() > 0)
            series->clear();
    UpdateTimeAxis();
    UpdateValueAxis();
    for (const QList<QPointF>& piece : pieces)
        AddPiece(piece);
    while (Spares_.size() < kSpareSeries)
        Spares_.push_back(NewSeries());
    UpdateSummary();
    // An emptied series does not mark the place of its dots (lone points)
    // as changed, so they stayed on screen until the next full repaint;
    // after a replot everything is new anyway.
    ChartView->viewport()->update();
}

QLineSeries* TfHistory::NewSeries() {
    auto* series = new QLineSeries;
    // Set before the chart sees the series, so its theme keeps this pen.
    series->setPen(QPen(kLineColor, 1.5));
    Chart_->addSeries(series);
    series->attachAxis(AxisX_);
    series->attachAxis(AxisY_);
    return series;
}

void TfHistory::AddPiece(const QList<QPointF>& points) {
    QLineSeries* series = nullptr;
    if (Spares_.empty()) {
        series = NewSeries();
    } else {
        series = Spares_.back();
        Spares_.pop_back();
    }
    // A lone point has no line to show it.
    series->setPointsVisible(points.size() == 1);
    series->replace(points);
    Pieces_.push_back(series);
}

void TfHistory::HistoryChanged(TemperatureHistory::Change change) {
    const std::deque<HistoryPoint>& points = History_->Points();
    if (change == TemperatureHistory::Change::Reset || points.empty()) {
        Rebuild();
        return;
    }
    const HistoryPoint& p = points.back();
    const QPointF xy(static_cast<double>(p.Minute), p.Last);
    if (change == TemperatureHistory::Change::LastUpdated) {
        if (Pieces_.empty() || TailMinute_ != p.Minute) {
            Rebuild();
            return;
        }
        QLineSeries* tail = Pieces_.back();
        tail->replace(tail->count() - 1, xy);
    } else { // Appended
        if (p.Minute >= RangeEnd_ || p.Minute < RangeStart_) {
            Rebuild();
            return;
        }
        const bool joined = p.Joined && !Pieces_.empty() && points.size() >= 2 &&
                            TailMinute_ == points[points.size() - 2].Minute;
        if (joined && Pieces_.back()->count() < PieceLength) {
            QLineSeries* tail = Pieces_.back();
            tail->append(xy);
            tail->setPointsVisible(false);
        } else if (joined) {
            AddPiece({Pieces_.back()->at(Pieces_.back()->count() - 1), xy});
        } else {
            AddPiece({xy});
        }
        TailMinute_ = p.Minute;
    }
    if (!HasData_) {
        Min_ = p.Min;
        Max_ = p.Max;
        HasData_ = true;
    }
    Min_ = std::min(Min_, p.Min);
    Max_ = std::max(Max_, p.Max);
    if (Min_ < AxisMin_ || Max_ > AxisMax_)
        UpdateValueAxis();
    UpdateSummary();
}

void TfHistory::Tick() {
    if (HistoryMinuteOf(Now_()) >= RangeEnd_)
        Rebuild();
    else
        UpdateSummary();
}

// As many time labels as the width has room for (the chart cuts a label
// down to its share of the axis), in the locale's formats.
int TfHistory::TickMinutes() const {
    const platform::FormatSettings& fs = platform::FormatSettings::Current();
    const QDateTime sample(QDate(2028, 12, 28), QTime(23, 58));
    const QFontMetrics metrics(AxisX_->labelsFont());
    int labelWidth = metrics.horizontalAdvance(HistoryShortTimeFormats(fs).FormatLongTime(sample));
    if (Span_ != Span::Hour)
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(fs.FormatShortDate(sample)));
    return HistoryTickMinutes(Span_, labelWidth, ChartView->width());
}

void TfHistory::UpdateTimeAxis() {
    TickMinutes_ = TickMinutes();
    clearCategories(AxisX_);
    AxisX_->setStartValue(static_cast<double>(RangeStart_));
    for (const HistoryTimeTick& tick : HistoryTimeTicks(
             Span_, {RangeStart_, RangeEnd_}, TickMinutes_, platform::FormatSettings::Current()))
        AxisX_->append(tick.Label, static_cast<double>(tick.Minute));
    AxisX_->setRange(static_cast<double>(RangeStart_), static_cast<double>(RangeEnd_));
}

bool TfHistory::eventFilter(QObject* watched, QEvent* event) {
    // The chart's width decides how many times fit under it.
    if (watched == ChartView && event->type() == QEvent::Resize && TickMinutes() != TickMinutes_)
        UpdateTimeAxis();
    return QWidget::eventFilter(watched, event);
}

void TfHistory::UpdateValueAxis() {
    const HistoryValueAxis axis = HistoryValueAxisOf(HasData_, Min_, Max_);
    AxisMin_ = axis.Min;
    AxisMax_ = axis.Max;
    const platform::FormatSettings& fs = platform::FormatSettings::Current();
    clearCategories(AxisY_);
    // Labels stand at the ends of categories; starting one step below the
    // axis gives its lowest value a label too.
    AxisY_->setStartValue(AxisMin_ - axis.Step);
    for (int i = 0; i <= axis.Ticks; ++i) {
        const double v = AxisMin_ + i * axis.Step;
        AxisY_->append(fs.FormatTemperature(v), v);
    }
    AxisY_->setRange(AxisMin_, AxisMax_);
}

// "Temperature, last 24 hours: 06.12.2026 12:05 – 07.12.2026 12:05", in
// the locale's formats; the end date only when it is another day.
void TfHistory::UpdateTitle() {
    const platform::FormatSettings& fs = platform::FormatSettings::Current();
    const platform::FormatSettings shortTime = HistoryShortTimeFormats(fs);
    const QDateTime end = HistoryTimeOfMinute(HistoryMinuteOf(Now_()));
    const QDateTime start = end.addSecs(-60 * HistorySpanInfoOf(Span_).Minutes);
    const QString name = Span_ == Span::Hour  ? QStringLiteral("last hour")
                         : Span_ == Span::Day ? QStringLiteral("last 24 hours")
                                              : QStringLiteral("last 7 days");
    QString to = shortTime.FormatLongTime(end);
    if (end.date() != start.date())
        to = fs.FormatShortDate(end) + u' ' + to;
    lTitle->setText(QStringLiteral("Temperature, %1: %2 %3 \u2013 %4")
                        .arg(name, fs.FormatShortDate(start), shortTime.FormatLongTime(start), to));
}

void TfHistory::UpdateSummary() {
    UpdateTitle();
    const platform::FormatSettings& fs = platform::FormatSettings::Current();
    auto text = [&](bool known, double v) {
        return known ? fs.FormatTemperature(v) + kDegrees : QStringLiteral("-");
    };
    // Current: the newest reading, while it is fresh and did not fail.
    bool fresh = false;
    double current = 0;
    if (History_ && !History_->Points().empty() && !History_->LastFailed()) {
        const HistoryPoint& p = History_->Points().back();
        fresh = p.Minute >= HistoryMinuteOf(Now_()) - 1;
        current = p.Last;
    }
    lSummary->setText(QStringLiteral("Minimum: %1    Maximum: %2    Current: %3")
                          .arg(text(HasData_, Min_), text(HasData_, Max_), text(fresh, current)));
}

QImage TfHistory::Picture() {
    return Plot_->grab().toImage();
}

bool TfHistory::SavePicture(const QString& path) {
    const QImage image = Picture();
    return !image.isNull() && image.save(path, "PNG");
}

void TfHistory::bSavePngClick() {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString name = QStringLiteral("Kelvox history %1.png")
                             .arg(platform::FileSafeDate(
                                 platform::FormatSettings::Current().FormatShortDate(Now_())));
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save as PNG"),
                                                dir.isEmpty() ? name : dir + u'/' + name,
                                                QStringLiteral("PNG images (*.png)"));
    if (path.isEmpty())
        return;
    if (!path.endsWith(QStringLiteral(".png"), Qt::CaseInsensitive))
        path += QStringLiteral(".png");
    if (!SavePicture(path)) {
        platform::MessageRequest request;
        request.Caption = windowTitle();
        request.Text = QStringLiteral("Cannot save the picture to \"%1\".").arg(path);
        request.Icon = platform::MsgIcon::Error;
        ShowMessageOver(this, request);
    }
}

void TfHistory::bCopyClick() {
    QApplication::clipboard()->setImage(Picture());
}

void TfHistory::closeEvent(QCloseEvent* event) {
    StoreGeometry();
    QWidget::closeEvent(event);
}

void TfHistory::RestoreGeometry() {
    if (!Settings_)
        return;
    const TSettingsModel& settings = *Settings_;
    if (settings.Has(Setting::HistoryWidth) && settings.Has(Setting::HistoryHeight)) {
        const int w = settings.Integer(Setting::HistoryWidth);
        const int h = settings.Integer(Setting::HistoryHeight);
        if (w > 0 && h > 0)
            resize(std::clamp(w, minimumWidth(), 8192), std::clamp(h, minimumHeight(), 8192));
    }
    if (!settings.Has(Setting::HistoryLeft) || !settings.Has(Setting::HistoryTop))
        return;
    // Wholly on a screen: the one it was on may be gone or smaller.
    Place_.Place(this, QPoint(settings.Integer(Setting::HistoryLeft),
                              settings.Integer(Setting::HistoryTop)));
    HasPlace_ = true;
}

void TfHistory::PlaceBeside(const QRect& anchor) {
    if (!HasPlace_)
        TScreenPlace::Fit(this, ::PlaceBeside(anchor, OuterSize(this), AvailableScreenAreas()));
}

void TfHistory::StoreGeometry() {
    if (!Settings_)
        return;
    const QPoint place = Place_.ToStore(this);
    Settings_->SetInteger(Setting::HistoryLeft, place.x());
    Settings_->SetInteger(Setting::HistoryTop, place.y());
    const QSize size = Place_.SizeToStore(this);
    Settings_->SetInteger(Setting::HistoryWidth, size.width());
    Settings_->SetInteger(Setting::HistoryHeight, size.height());
}
