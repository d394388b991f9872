// Keeping windows on the screens there are: a place stored on a larger or
// removed monitor, or at another scale factor, must not put a window where
// nobody can reach it.
#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

// Where a window of the given outer size (frame included) goes when its
// stored top-left is `stored`, so that it lies wholly on one of `areas` (the
// screens' available rectangles). A window already wholly on one stays where
// it is. Otherwise the area it overlaps most, or, overlapping none, the
// nearest one, takes it, moved as little as possible; a window larger than
// that area shows its top-left corner (title and first controls). No areas:
// `stored` unchanged.
QPoint FitOnScreens(QPoint stored, QSize size, const QList<QRect>& areas);

// Where a window of `size` goes beside the window `anchor` (both frames
// included): to its right, else to its left, top edges level, on the screen
// of the anchor; where neither fits, the right-hand place fitted as above.
QPoint PlaceBeside(const QRect& anchor, QSize size, const QList<QRect>& areas);

// A dialog's frame: a title with the system menu and close button, and no
// minimise or maximise button a small dialog does not need. Before it is
// shown; main (GUI) thread.
void UseDialogFrame(QWidget* dialog);

// The screens' available rectangles now. Main (GUI) thread.
QList<QRect> AvailableScreenAreas();

// A top-level window's size with its frame: the frame the window system gave
// it once shown, before that an estimate from the style's title bar. Main
// (GUI) thread.
QSize OuterSize(const QWidget* window);

// A stored place a window was put at, fitted when needed; a resizable window
// larger than its screen is also made smaller, down to its minimum size. The
// stored values are written back unchanged unless the user moved or resized
// the window: a window fitted onto a small screen today goes back to the
// large one tomorrow. Main (GUI) thread.
class TScreenPlace {
public:
    // Moves `window` (its stored size already given) to `stored`, fitted
    // onto the screens.
    void Place(QWidget* window, QPoint stored);
    // Moves `window` to `wanted` fitted onto the screens, with no stored place
    // to keep (a first opening, a dialog centred on its screen).
    static void Fit(QWidget* window, QPoint wanted);
    // What to store for the window's place now: the stored place while the
    // window is still where Place put it, else where it is.
    QPoint ToStore(const QWidget* window) const;
    // The same for the size.
    QSize SizeToStore(const QWidget* window) const;

private:
    bool Placed_ = false;
    QPoint Stored_;
    QPoint Put_;
    QSize StoredSize_;
    QSize PutSize_;
};

// Fits `window` (a dialog) onto the screens each time it is shown, from
// wherever it was about to appear. Main (GUI) thread.
void FitWhenShown(QWidget* window);
