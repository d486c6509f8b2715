#include "ui/PaletteColours.h"

#include <QStyle>
#include <QStyleFactory>

#include <memory>

#include <gtest/gtest.h>

#include "ui/WindowFixture.h"

namespace {

// The dark palette a user gets from a dark desktop theme with Fusion.
QPalette DarkPalette() {
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(53, 53, 53));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(35, 35, 35));
    dark.setColor(QPalette::AlternateBase, QColor(53, 53, 53));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    dark.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
    return dark;
}

QPalette LightPalette() {
    TestApplication();
    std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    return fusion->standardPalette();
}

class PaletteColoursTest : public ::testing::TestWithParam<QPalette (*)()> {};

TEST_P(PaletteColoursTest, MarksReadOnTheirBackground) {
    const QPalette palette = GetParam()();
    const QColor base = palette.color(QPalette::Base);
    const QColor probing = ProbingRowBackground(palette);
    EXPECT_GE(ContrastRatio(probing, palette.color(QPalette::Text)), 4.5);
    EXPECT_GT(ContrastRatio(probing, base), 1.15) << "the probed row must stand out";
    for (int hue = 0; hue < 360; hue += 30) EXPECT_GE(ContrastRatio(HueOn(hue, base, 3.0), base), 3.0) << hue;
    EXPECT_GE(ContrastRatio(ErrorText(palette), palette.color(QPalette::Window)), 4.5);
}

INSTANTIATE_TEST_SUITE_P(Styles, PaletteColoursTest, ::testing::Values(&LightPalette, &DarkPalette));

TEST(ContrastRatioTest, EndsOfTheScale) {
    EXPECT_NEAR(21.0, ContrastRatio(Qt::black, Qt::white), 0.01);
    EXPECT_NEAR(1.0, ContrastRatio(QColor(90, 90, 90), QColor(90, 90, 90)), 0.001);
}

}  // namespace
