// Where a window goes from a stored place, on the screens there are.
#include "gui/ScreenFit.h"

#include <gtest/gtest.h>

namespace {
const QSize kMain(266, 310);
const QRect kSmall(0, 0, 640, 400); // 1280x800 at scale 2
} // namespace

TEST(ScreenFitTest, AWindowOffItsScreenMovesAsLittleAsNeeded) {
    // A place stored at scale 1 would hide the lower right part at scale 2.
    EXPECT_EQ(FitOnScreens({507, 247}, kMain, {kSmall}), QPoint(374, 90));
    EXPECT_EQ(FitOnScreens({-40, 30}, kMain, {kSmall}), QPoint(0, 30));
    // Wholly on a screen it stays, also on a second one.
    const QRect left(0, 24, 1920, 1056), right(1920, 0, 1280, 1024);
    EXPECT_EQ(FitOnScreens({2000, 500}, kMain, {left, right}), QPoint(2000, 500));
    // Across both: onto the one it covers more, not the first listed.
    EXPECT_EQ(FitOnScreens({1800, 0}, kMain, {left, right}), QPoint(1920, 0));
    // From a removed monitor: onto the nearest, below its panel.
    EXPECT_EQ(FitOnScreens({-3000, -50}, kMain, {right, left}), QPoint(0, 24));
    // Larger than the screen: its top left corner shows.
    EXPECT_EQ(FitOnScreens({100, 100}, QSize(700, 500), {kSmall}), QPoint(0, 0));
}

TEST(ScreenFitTest, TheFirstHistoryWindowGoesBesideTheMainWindow) {
    const QRect screen(0, 0, 1920, 1080);
    const QSize history(700, 480);
    EXPECT_EQ(PlaceBeside(QRect({100, 100}, kMain), history, {screen}), QPoint(374, 100));
    // No room on the right: on the left.
    EXPECT_EQ(PlaceBeside(QRect({1600, 100}, kMain), history, {screen}), QPoint(892, 100));
    // Room on neither side: on the right, fitted; never on another screen.
    const QRect second(1920, 0, 1920, 1080);
    EXPECT_EQ(PlaceBeside(QRect({1500, 900}, kMain), history, {screen, second}), QPoint(1220, 600));
}
