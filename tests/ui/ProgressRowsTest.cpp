#include "ui/ProgressRows.h"

#include <gtest/gtest.h>

#include "ui/PaletteColours.h"
#include "ui/WindowFixture.h"

namespace {

DetectProgress Report(const char* code, bool finished, int32_t cost = 0) {
    DetectProgress p;
    p.count = 2;
    p.finished = finished;
    p.Code = code;
    p.Dest = "10.0.0.9";
    p.Port[0] = 25;
    p.Port[1] = 110;
    p.Port[2] = 143;
    p.LinkCost = cost;
    return p;
}

class ProgressRowsTest : public ::testing::Test {
protected:
    ProgressRowsTest() : list((TestApplication(), 2), 6) {
        const char* rows[2][6] = {{"120", "10.0.0.1", "25", "110", "143", "plain-1"},
                                  {"FAILD", "10.0.0.2", "25", "110", "143", "plain-2"}};
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 6; ++c) list.setItem(r, c, new QTableWidgetItem(rows[r][c]));
    }
    QString Speed(int row) { return list.item(row, kSpeedColumn)->text(); }

    QTableWidget list;
};

TEST_F(ProgressRowsTest, TheProbedRowIsMarkedUntilItsNewCostShows) {
    EXPECT_EQ(ShowProgress(list, Report("plain-2", false)), 1);
    EXPECT_TRUE(IsMarkedAsProbing(list, 1));
    EXPECT_FALSE(IsMarkedAsProbing(list, 0));
    EXPECT_EQ(Speed(1), "FAILD");  // the old cost stays until the new one is known
    EXPECT_TRUE(list.item(1, 5)->font().bold());

    EXPECT_EQ(ShowProgress(list, Report("plain-2", true, 95)), 1);
    EXPECT_FALSE(IsMarkedAsProbing(list, 1));
    EXPECT_FALSE(list.item(1, 5)->font().bold());
    EXPECT_EQ(Speed(1), "95");

    ShowProgress(list, Report("plain-1", false));
    ShowProgress(list, Report("plain-1", true, -1));
    EXPECT_EQ(Speed(0), "FAILD");
    EXPECT_EQ(list.rowCount(), 2);
}

TEST_F(ProgressRowsTest, TheMarkReadsInADarkStyle) {
    QPalette dark = list.palette();
    dark.setColor(QPalette::Base, QColor(35, 35, 35));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    list.setPalette(dark);
    ShowProgress(list, Report("plain-1", false));
    const QTableWidgetItem* item = list.item(0, 1);
    EXPECT_EQ(item->background().color(), ProbingRowBackground(dark));
    EXPECT_EQ(item->foreground().color(), QColor(230, 230, 230));
    EXPECT_GE(ContrastRatio(item->background().color(), item->foreground().color()), 4.5);

    ShowProgress(list, Report("plain-1", true, 80));
    EXPECT_EQ(item->background().style(), Qt::NoBrush);  // the style's own colours again
}

TEST_F(ProgressRowsTest, ACandidateTheListDoesNotShowGetsItsOwnRow) {
    EXPECT_EQ(ShowProgress(list, Report("new-1", false)), 2);
    ASSERT_EQ(list.rowCount(), 3);
    EXPECT_EQ(list.item(2, 1)->text(), "10.0.0.9");
    EXPECT_EQ(list.item(2, 4)->text(), "143");
    EXPECT_EQ(list.item(2, 5)->text(), "new-1");
    EXPECT_TRUE(IsMarkedAsProbing(list, 2));
    EXPECT_EQ(ShowProgress(list, Report("new-1", true, 7)), 2);
    EXPECT_EQ(Speed(2), "7");
}

}  // namespace
