#include "ui/HistoryChart.h"

#include <QImage>

#include <gtest/gtest.h>

#include "ui/PaletteColours.h"
#include "ui/WindowFixture.h"

namespace {

bool Reddish(QColor c) { return c.red() > c.green() + 40 && c.red() > c.blue() + 40; }

// Draws runs at 1000, 2000 (every candidate failed) and 3000 into a 600 x 300
// chart and reads the pixels back.
class HistoryChartTest : public WindowFixture {
protected:
    HistoryChartTest() {
        std::vector<HistoryRecord> history = {
            {1000, "a", "h1", 100}, {1000, "b", "h2", 200},
            {2000, "a", "h1", -1},  {2000, "b", "h2", -1},
            {3000, "a", "h1", 150}, {3000, "b", "h2", 400},
        };
        chart.resize(600, 300);
        chart.SetTexts("empty", "in use");
        chart.SetData(MakeHistoryChartData(history, {"a", "b"}, "b"));
    }
    QImage Image() { return chart.grab().toImage(); }

    HistoryChart chart;
};

TEST_F(HistoryChartTest, AFailedRunIsARedBandAcrossThePlot) {
    QImage image = Image();
    int x = (64 + (600 - 18)) / 2;  // run 2000 stands midway between 1000 and 3000
    int redRows = 0;
    for (int y = 60; y < 250; ++y) redRows += Reddish(image.pixelColor(x, y)) ? 1 : 0;
    EXPECT_GT(redRows, 150);
    int besideRed = 0;
    for (int y = 60; y < 250; ++y) besideRed += Reddish(image.pixelColor(x + 40, y)) ? 1 : 0;
    EXPECT_EQ(besideRed, 0);
}

TEST_F(HistoryChartTest, ColoursFollowADarkPalette) {
    const QColor onLight = chart.SeriesColour(0);
    QPalette dark = chart.palette();
    dark.setColor(QPalette::Base, QColor(35, 35, 35));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    chart.setPalette(dark);
    EXPECT_EQ(Image().pixelColor(2, 298), QColor(35, 35, 35));
    EXPECT_GT(chart.SeriesColour(0).lightness(), onLight.lightness());
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_GE(ContrastRatio(chart.SeriesColour(i), QColor(35, 35, 35)), 3.0) << i;
    EXPECT_TRUE(Reddish(chart.FailColour()));
}

TEST_F(HistoryChartTest, NothingToDrawShowsTheEmptyText) {
    chart.SetData(MakeHistoryChartData({}, {"a"}, "a"));
    QImage image = Image();
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) dark += image.pixelColor(x, y).lightness() < 128;
    EXPECT_GT(dark, 0);     // the text
    EXPECT_LT(dark, 2000);  // and no axes or lines
}

}  // namespace
