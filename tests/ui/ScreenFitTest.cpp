#include "ui/ScreenFit.h"

#include <QHeaderView>
#include <QLayout>
#include <QScrollBar>

#include "ui/HintDialog.h"
#include "ui/HistoryDialog.h"
#include "ui/QuilloMarkDlg.h"
#include "ui/ReportDlg.h"
#include "ui/SettingsDialog.h"
#include "ui/WindowFixture.h"

namespace {

// A 1280 x 720 screen at scale factor 2, less a panel and a title bar: the
// smallest room every window must fit, in logical pixels (at scale factor 1
// the same windows have twice the room).
const QSize kSmallestRoom(640, 320);

// The windows in each language the program ships.
class ScreenFitTest : public WindowFixture, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        LoadMessageFile(ctx, dir.File(GetParam()));
        dir.Write("hint_EN.txt", "A tip.\n");
    }

    static void ExpectFits(QWidget& window) {
        const QSize least = window.layout()->totalMinimumSize();
        EXPECT_LE(least.width(), kSmallestRoom.width()) << window.metaObject()->className();
        EXPECT_LE(least.height(), kSmallestRoom.height()) << window.metaObject()->className();
    }
};

TEST_P(ScreenFitTest, EveryWindowFitsTheSmallestScreen) {
    QuilloMarkDlg window(ctx, starter);
    window.SetUpTrayAndControls();
    ExpectFits(window);
    SettingsDialog settings(ctx, starter);
    ExpectFits(settings);
    HistoryDialog history(ctx);
    ExpectFits(history);
    HintDialog hint(ctx, 1033);
    ExpectFits(hint);
    ReportDlg report(ctx);
    ExpectFits(report);
}

// With room for everything nothing scrolls; on the smallest screen the
// bottom row is still reached, by scrolling.
TEST_P(ScreenFitTest, WindowScrollsOnlyWhenTheScreenIsTooSmall) {
    QuilloMarkDlg window(ctx, starter);
    window.SetUpTrayAndControls();
    window.show();
    auto* area = window.findChild<QScrollArea*>();
    ASSERT_NE(area, nullptr);
    for (const QSize size : {QSize(800, 600), kSmallestRoom}) {
        window.resize(size);
        QApplication::processEvents();
        const bool roomy = size == QSize(800, 600);
        EXPECT_EQ(area->verticalScrollBar()->maximum() == 0, roomy) << size.height();
        area->ensureWidgetVisible(&window.ReportButton());
        QApplication::processEvents();
        const QPoint bottom = window.ReportButton().mapTo(&window, QPoint(0, window.ReportButton().height()));
        EXPECT_LE(bottom.y(), window.height()) << size.height();
    }
}

TEST_P(ScreenFitTest, NarrowListKeepsItsHeadingsWholeAndScrolls) {
    QuilloMarkDlg window(ctx, starter);
    window.SetUpTrayAndControls();
    window.resize(window.minimumSizeHint());
    window.show();
    QApplication::processEvents();
    QTableWidget& list = window.ConnectionList();
    int total = 0;
    for (int column = 0; column < list.columnCount(); ++column) {
        EXPECT_GE(list.columnWidth(column), list.horizontalHeader()->sectionSizeHint(column)) << column;
        total += list.columnWidth(column);
    }
    // What the list cannot show it scrolls to.
    if (total > list.viewport()->width()) {
        EXPECT_GT(list.horizontalScrollBar()->maximum(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, ScreenFitTest,
                         ::testing::Values("message_EN.txt", "message_TW.txt", "message_CN.txt"));

}  // namespace
