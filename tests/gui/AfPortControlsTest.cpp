// The port chooser's list: probing and listing under each option set, item
// texts and data, the greying of ports in use while the list is dropped down,
// item height, and when the list is built anew. Ports are COM<n> links in a
// temporary port directory to pseudo-terminals, one of them held open by the
// test, with gaps for absent numbers.
#include "gui/AfPortControls.h"

#include "platform/PortMap.h"
#include "support/Pty.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace {

// COM 1 free, COM 2 absent, COM 3 in use (held by the test), COM 4 absent,
// COM 5 free; nothing above.
class PortChooserList : public ::testing::Test {
protected:
    void SetUp() override {
        dir.Link(1, pty1.SlavePath());
        dir.Link(3, pty3.SlavePath());
        dir.Link(5, pty5.SlavePath());
        held = platform::OpenPortDescriptor(pty3.SlavePath()).Fd;
        ASSERT_GE(held, 0);
    }
    void TearDown() override { platform::ClosePortDescriptor(held); }

    static QStringList texts(const QComboBox& combo) {
        QStringList result;
        for (int i = 0; i < combo.count(); ++i)
            result << combo.itemText(i).section(QStringLiteral("  "), 0, 0); // the number part
        return result;
    }

    PortDir dir;
    TestPty pty1;
    TestPty pty3;
    TestPty pty5;
    int held = -1;
};

TEST_F(PortChooserList, ConstructionStoresDefaultsWithoutProbing) {
    TAfPortComboBox combo;
    EXPECT_EQ(combo.count(), 0);
    EXPECT_EQ(combo.currentIndex(), -1);
    EXPECT_EQ(combo.MaxComPorts(), 4);
    EXPECT_EQ(combo.Options(), TAfPortCtlOptions{pcCheckExist});
    EXPECT_EQ(combo.SelectedComNumber(), 0);
    EXPECT_EQ(combo.ComPort(), nullptr);
    EXPECT_EQ(combo.ItemHeight(), 16);
    EXPECT_FALSE(combo.isEditable()) << "a drop-down list: the user cannot type";
}

TEST_F(PortChooserList, ProbeClassifiesAndPacksNumberAndState) {
    EXPECT_EQ(TAfPortComboBox::ProbeComPort(1), 0x00010001u);
    EXPECT_EQ(TAfPortComboBox::ProbeComPort(2), 0x00020002u);
    EXPECT_EQ(TAfPortComboBox::ProbeComPort(3), 0x00000003u);
    EXPECT_EQ(TAfPortComboBox::ProbeComPort(255), 0x000200FFu);
    // The probe released the free port again: it can be probed once more.
    EXPECT_EQ(TAfPortComboBox::ProbeComPort(1), 0x00010001u);
}

TEST_F(PortChooserList, EachOptionSetListsItsPorts) {
    TAfPortComboBox combo;
    combo.SetMaxComPorts(6); // rebuilds with [pcCheckExist]
    EXPECT_EQ(texts(combo), QStringList({"COM 1", "COM 3", "COM 5"}));
    EXPECT_EQ(combo.PortNumberOf(0), 0x00010001u);
    EXPECT_EQ(combo.PortNumberOf(1), 0x00000003u) << "COM 3 is listed, in use";
    EXPECT_EQ(combo.PortNumberOf(2), 0x00010005u);
    EXPECT_EQ(combo.PortNumberOf(-1), 0u);
    EXPECT_EQ(combo.currentIndex(), -1);

    combo.SetOptions({pcCheckExist, pcDisableOpen});
    EXPECT_EQ(texts(combo), QStringList({"COM 1", "COM 5"}));

    combo.SetOptions({});
    EXPECT_EQ(texts(combo), QStringList({"COM 1", "COM 2", "COM 3", "COM 4", "COM 5", "COM 6"}));
    EXPECT_EQ(combo.PortNumberOf(1), 0x00020002u) << "absent ports are listed with their state";

    // pcDisableOpen alone has no effect.
    combo.SetOptions({pcDisableOpen});
    EXPECT_EQ(combo.count(), 6);
    combo.SetOptions({pcHighlightOpen});
    EXPECT_EQ(combo.count(), 6);

    combo.SetOptions({pcCheckExist, pcHighlightOpen});
    EXPECT_EQ(texts(combo), QStringList({"COM 1", "COM 3", "COM 5"}));
    EXPECT_EQ(combo.currentIndex(), -1);
}

TEST_F(PortChooserList, RebuildsOnlyWhenAPropertyReallyChanges) {
    TAfPortComboBox combo;
    combo.SetMaxComPorts(6);
    combo.setCurrentIndex(2);
    dir.Unlink(5); // a later probe would no longer find COM 5

    combo.SetMaxComPorts(6);
    combo.SetOptions({pcCheckExist});
    EXPECT_EQ(combo.count(), 3) << "same values: no rebuild";
    EXPECT_EQ(combo.currentIndex(), 2);

    combo.SetMaxComPorts(5);
    EXPECT_EQ(texts(combo), QStringList({"COM 1", "COM 3"}));
    EXPECT_EQ(combo.currentIndex(), -1) << "a rebuild leaves nothing selected";
}

TEST_F(PortChooserList, ZeroOrNegativeMaximumGivesAnEmptyList) {
    TAfPortComboBox combo;
    combo.SetMaxComPorts(6);
    combo.SetMaxComPorts(0);
    EXPECT_EQ(combo.count(), 0);
    EXPECT_EQ(combo.currentIndex(), -1);
    combo.SyncItemIndex();
    EXPECT_EQ(combo.SelectedComNumber(), 0);

    combo.SetOptions({});
    combo.SetMaxComPorts(-3);
    EXPECT_EQ(combo.count(), 0);
}

TEST_F(PortChooserList, TwoAndThreeDigitNumbers) {
    TestPty ten;
    TestPty top;
    dir.Link(10, ten.SlavePath());
    dir.Link(255, top.SlavePath());
    TAfPortComboBox combo;
    combo.SetMaxComPorts(255);
    EXPECT_EQ(texts(combo), QStringList({"COM 1", "COM 3", "COM 5", "COM 10", "COM 255"}));
    EXPECT_EQ(combo.PortNumberOf(4), 0x000100FFu);

    combo.SetOptions({});
    ASSERT_EQ(combo.count(), 255);
    for (int i = 0; i < combo.count(); ++i)
        ASSERT_EQ(combo.itemText(i).section(QStringLiteral("  "), 0, 0),
                  QStringLiteral("COM %1").arg(i + 1))
            << "ascending order";
}

TEST_F(PortChooserList, RebuildReportsTheIndexOnceAndNoPassingSelection) {
    TAfPortComboBox combo;
    combo.SetMaxComPorts(6);
    combo.setCurrentIndex(1);
    QSignalSpy changed(&combo, &QComboBox::currentIndexChanged);
    combo.SetMaxComPorts(7);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toInt(), -1);
}

TEST_F(PortChooserList, SyncSelectsTheNumberOrTheFirstItem) {
    TAfPortComboBox combo;
    combo.SetMaxComPorts(6);
    combo.setCurrentIndex(2);
    combo.SyncItemIndex(); // SelectedComNumber 0 is not listed
    EXPECT_EQ(combo.currentIndex(), 0);
    EXPECT_EQ(combo.SelectedComNumber(), 1);
}

// ---- Drawing --------------------------------------------------------------------

class PortChooserDrawing : public PortChooserList {
protected:
    void SetUp() override {
        PortChooserList::SetUp();
        // Colours that cannot be confused with each other.
        QPalette palette = combo.palette();
        palette.setColor(QPalette::All, QPalette::Text, kText);
        palette.setColor(QPalette::Disabled, QPalette::Text, kGray);
        palette.setColor(QPalette::All, QPalette::ButtonText, kButtonText);
        palette.setColor(QPalette::All, QPalette::Base, Qt::white);
        palette.setColor(QPalette::All, QPalette::Highlight, Qt::black);
        palette.setColor(QPalette::All, QPalette::HighlightedText, kHighlightText);
        combo.setPalette(palette);
        QFont font = combo.font();
        font.setPixelSize(20);
        font.setBold(true);
        combo.setFont(font);
        combo.SetOptions({pcCheckExist, pcHighlightOpen});
        combo.SetMaxComPorts(6);
        ASSERT_EQ(combo.count(), 3);
    }

    QStyleOptionViewItem optionFor(QStyle::State state) const {
        QStyleOptionViewItem option;
        option.palette = combo.palette();
        option.state = QStyle::State_Enabled | QStyle::State_Active | state;
        option.rect = QRect(0, 0, 120, combo.ItemHeight());
        return option;
    }
    QColor colourOf(int row, QStyle::State state = QStyle::State_None) const {
        auto* delegate = static_cast<TAfPortItemDelegate*>(combo.itemDelegate());
        return delegate->TextColor(optionFor(state), combo.model()->index(row, 0));
    }
    // How many pixels of the picture have exactly this colour.
    static int pixelsOf(const QImage& image, QColor colour) {
        int n = 0;
        const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < rgb.height(); ++y)
            for (int x = 0; x < rgb.width(); ++x)
                n += QColor(rgb.pixel(x, y)) == colour;
        return n;
    }

    static inline const QColor kText{0, 160, 0};
    static inline const QColor kGray{200, 0, 0};
    static inline const QColor kButtonText{0, 0, 200};
    static inline const QColor kHighlightText{200, 200, 0};
    TAfPortComboBox combo;
};

TEST_F(PortChooserDrawing, ClosedListIsNeverRecoloured) {
    ASSERT_FALSE(combo.DroppedDown());
    EXPECT_EQ(colourOf(0), kText);
    EXPECT_EQ(colourOf(1), kText) << "COM 3 is in use but the list is closed";
}

TEST_F(PortChooserDrawing, DroppedDownListGreysPortsInUseOnly) {
    combo.show();
    combo.showPopup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return combo.DroppedDown(); }, 5000));
    EXPECT_EQ(colourOf(0), kButtonText) << "free";
    EXPECT_EQ(colourOf(1), kGray) << "in use";
    EXPECT_EQ(colourOf(2), kButtonText);
    // The highlighted item and the focused item keep their colours.
    EXPECT_EQ(colourOf(1, QStyle::State_Selected), kHighlightText);
    EXPECT_EQ(colourOf(1, QStyle::State_HasFocus), kText);

    // Without the option nothing is recoloured, dropped down or not.
    combo.hidePopup();
    combo.SetOptions({pcCheckExist});
    combo.showPopup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return combo.DroppedDown(); }, 5000));
    EXPECT_EQ(colourOf(1), kText);
    EXPECT_EQ(colourOf(0), kText);
    combo.hidePopup();
}

TEST_F(PortChooserDrawing, AbsentPortsKeepTheDefaultColourWhenListed) {
    combo.SetOptions({pcHighlightOpen});
    ASSERT_EQ(combo.count(), 6);
    combo.show();
    combo.showPopup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return combo.DroppedDown(); }, 5000));
    EXPECT_EQ(colourOf(1), kText) << "COM 2 is absent";
    EXPECT_EQ(colourOf(2), kGray);
    combo.hidePopup();
}

TEST_F(PortChooserDrawing, TheOpenListIsPaintedInThoseColours) {
    combo.show();
    combo.setCurrentIndex(0); // COM 1 highlighted in the list
    combo.showPopup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return combo.DroppedDown(); }, 5000));
    QAbstractItemView* view = combo.view();
    const QRect inUse = view->visualRect(combo.model()->index(1, 0));
    const QRect free = view->visualRect(combo.model()->index(2, 0));
    ASSERT_FALSE(inUse.isEmpty());
    EXPECT_EQ(inUse.height(), combo.ItemHeight());

    const QImage picture = view->viewport()->grab().toImage();
    const QImage inUsePicture = picture.copy(inUse);
    const QImage freePicture = picture.copy(free);
    EXPECT_GT(pixelsOf(inUsePicture, kGray), 10);
    EXPECT_EQ(pixelsOf(inUsePicture, kButtonText), 0);
    EXPECT_GT(pixelsOf(freePicture, kButtonText), 10);
    EXPECT_EQ(pixelsOf(freePicture, kGray), 0);
    combo.hidePopup();
}

TEST_F(PortChooserDrawing, TextStartsOnePixelInFromTheCorner) {
    auto* delegate = static_cast<TAfPortItemDelegate*>(combo.itemDelegate());
    QImage image(120, combo.ItemHeight(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    {
        QPainter painter(&image);
        QStyleOptionViewItem option = optionFor(QStyle::State_None);
        delegate->paint(&painter, option, combo.model()->index(0, 0));
    }
    // The background is filled everywhere first; text never reaches the
    // first row or column.
    EXPECT_EQ(pixelsOf(image, Qt::magenta), 0);
    for (int x = 0; x < image.width(); ++x)
        ASSERT_EQ(QColor(image.pixel(x, 0)), Qt::white) << x;
    for (int y = 0; y < image.height(); ++y)
        ASSERT_EQ(QColor(image.pixel(0, y)), Qt::white) << y;
    EXPECT_GT(pixelsOf(image, kText), 10);
}

TEST_F(PortChooserDrawing, FontChangeSetsItemHeightAndRebuilds) {
    EXPECT_EQ(combo.ItemHeight(), 25) << "20 pixel font + 5";
    combo.setCurrentIndex(2);
    dir.Unlink(5);
    QFont font = combo.font();
    font.setPixelSize(11);
    combo.setFont(font);
    EXPECT_EQ(combo.ItemHeight(), 16);
    EXPECT_EQ(combo.count(), 2) << "the list was probed anew";
    EXPECT_EQ(combo.currentIndex(), -1);
}

// ---- When the list is built --------------------------------------------------------

TEST_F(PortChooserList, FirstShowBuildsTheListLaterShowsKeepIt) {
    QWidget dialog;
    auto* combo = new TAfPortComboBox(&dialog);
    EXPECT_EQ(combo->count(), 0);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(combo->count(), 2) << "COM 1 to 4 probed at the first show: COM 1 and COM 3";
    combo->setCurrentIndex(1);

    dir.Unlink(1);
    dialog.hide();
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(combo->count(), 2) << "showing again is no new window";
    EXPECT_EQ(combo->currentIndex(), 1);
}

TEST_F(PortChooserList, ListBuiltWhileLoadingSurvivesTheFirstShow) {
    QWidget dialog;
    auto* combo = new TAfPortComboBox(&dialog);
    combo->SetOptions({pcCheckExist, pcHighlightOpen});
    combo->SetMaxComPorts(255);
    combo->setCurrentIndex(2);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(combo->currentIndex(), 2);
}

TEST_F(PortChooserList, RecreatedNativeWindowRebuilds) {
    TAfPortComboBox combo;
    combo.SetMaxComPorts(6);
    combo.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&combo));
    EXPECT_EQ(combo.count(), 3) << "the first native window is no re-creation";
    combo.setCurrentIndex(0);

    dir.Unlink(1);
    // A new window type makes Qt create a new native window.
    combo.setWindowFlags(Qt::Tool);
    combo.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&combo));
    EXPECT_EQ(combo.count(), 2);
    EXPECT_EQ(combo.currentIndex(), -1);
}

} // namespace
