#include "gui/ScreenFit.h"

#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QScreen>
#include <QStyle>
#include <QWidget>
#include <algorithm>
#include <cstdint>
#include <limits>

namespace {
// Squared distance from a point to a rectangle (0 inside it).
std::int64_t distance2(QPoint p, const QRect& r) {
    const std::int64_t dx = p.x() < r.left() ? r.left() - p.x() : std::max(0, p.x() - r.right());
    const std::int64_t dy = p.y() < r.top() ? r.top() - p.y() : std::max(0, p.y() - r.bottom());
    return dx * dx + dy * dy;
}

// The start of a span of `length` within [first, first + room) nearest to
// `wanted`; the first place when it does not fit.
int clampSpan(int wanted, int length, int first, int room) {
    return std::max(first, std::min(wanted, first + room - length));
}

bool whollyOnOne(const QRect& r, const QList<QRect>& areas) {
    return std::any_of(areas.begin(), areas.end(), [&](const QRect& a) { return a.contains(r); });
}

// The area that takes a window wanted at `wanted`: the one it overlaps most,
// else the nearest; nullptr for no usable area.
const QRect* areaFor(const QRect& wanted, const QList<QRect>& areas) {
    const QRect* best = nullptr;
    std::int64_t bestOverlap = 0;
    std::int64_t bestDistance = std::numeric_limits<std::int64_t>::max();
    for (const QRect& area : areas) {
        if (area.isEmpty())
            continue;
        const QRect common = area.intersected(wanted);
        const std::int64_t overlap =
            common.isEmpty() ? 0 : std::int64_t(common.width()) * common.height();
        const std::int64_t distance = distance2(wanted.center(), area);
        if (overlap > bestOverlap || (overlap == bestOverlap && distance < bestDistance)) {
            best = &area;
            bestOverlap = overlap;
            bestDistance = distance;
        }
    }
    return best;
}
} // namespace

QPoint FitOnScreens(QPoint stored, QSize size, const QList<QRect>& areas) {
    const QRect wanted(stored, size.expandedTo(QSize(1, 1)));
    if (areas.isEmpty() || whollyOnOne(wanted, areas))
        return stored;
    const QRect* best = areaFor(wanted, areas);
    if (!best)
        return stored;
    return {clampSpan(stored.x(), wanted.width(), best->x(), best->width()),
            clampSpan(stored.y(), wanted.height(), best->y(), best->height())};
}

QPoint PlaceBeside(const QRect& anchor, QSize size, const QList<QRect>& areas) {
    constexpr int kGap = 8;
    const QPoint right(anchor.right() + 1 + kGap, anchor.top());
    const QPoint left(anchor.left() - kGap - size.width(), anchor.top());
    // On the anchor's screen, not across a gap onto the next monitor.
    QList<QRect> own;
    for (const QRect& area : areas)
        if (area.intersects(anchor))
            own.append(area);
    for (const QPoint& p : {right, left})
        if (whollyOnOne(QRect(p, size), own.isEmpty() ? areas : own))
            return p;
    return FitOnScreens(right, size, own.isEmpty() ? areas : own);
}

QList<QRect> AvailableScreenAreas() {
    QList<QRect> areas;
    for (const QScreen* screen : QGuiApplication::screens())
        areas.append(screen->availableGeometry());
    return areas;
}

QSize OuterSize(const QWidget* window) {
    const QRect frame = window->frameGeometry();
    if (window->windowFlags().testFlag(Qt::FramelessWindowHint) || frame.size() != window->size())
        return frame.size();
    // Not shown yet: the window manager adds its frame only on mapping. The
    // style's title bar and frame widths are near what most draw.
    const QStyle* style = window->style();
    const int border = style->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, window);
    const int title = style->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, window);
    return window->size() + QSize(2 * border, title + border);
}

void TScreenPlace::Place(QWidget* window, QPoint stored) {
    Placed_ = true;
    Stored_ = stored;
    StoredSize_ = window->size();
    Fit(window, stored);
    Put_ = window->pos();
    PutSize_ = window->size();
}

void TScreenPlace::Fit(QWidget* window, QPoint wanted) {
    const QList<QRect> areas = AvailableScreenAreas();
    QSize outer = OuterSize(window);
    // A window that can be made smaller is, down to its minimum, rather than
    // reaching past the screen (a small screen at a large scale).
    const QRect* area = areaFor(QRect(wanted, outer), areas);
    if (area && window->minimumSize() != window->maximumSize() &&
        (outer.width() > area->width() || outer.height() > area->height())) {
        const QSize frame = outer - window->size();
        window->resize(
            (area->size() - frame).boundedTo(window->size()).expandedTo(window->minimumSize()));
        outer = window->size() + frame;
    }
    window->move(FitOnScreens(wanted, outer, areas));
}

QPoint TScreenPlace::ToStore(const QWidget* window) const {
    return Placed_ && window->pos() == Put_ ? Stored_ : window->pos();
}

QSize TScreenPlace::SizeToStore(const QWidget* window) const {
    return Placed_ && window->size() == PutSize_ ? StoredSize_ : window->size();
}

namespace {
// Lives as the window's child; the window is its only watched object.
class ShowFitter : public QObject {
public:
    explicit ShowFitter(QWidget* window) : QObject(window) { window->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Sent before the window is mapped: the move costs no visible jump.
        if (event->type() == QEvent::Show && watched == parent()) {
            auto* window = static_cast<QWidget*>(watched);
            TScreenPlace::Fit(window, window->pos());
        }
        return false;
    }
};
} // namespace

void UseDialogFrame(QWidget* dialog) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint);
}

void FitWhenShown(QWidget* window) {
    new ShowFitter(window);
}
