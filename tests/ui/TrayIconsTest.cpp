#include "ui/TrayIcons.h"

#include <QImage>

#include <gtest/gtest.h>

#include "ui/WindowFixture.h"

namespace {

QImage At16(TrayStatus status) {
    TestApplication();
    return TrayIconFor(status).pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
}

bool Reddish(QColor c) { return c.red() > 160 && c.green() < 110 && c.blue() < 110; }
bool Bluish(QColor c) { return c.blue() > 120 && c.red() < 100; }
bool Amber(QColor c) { return c.red() > 180 && c.green() > 80 && c.blue() < 60; }
bool Greyish(QColor c) {
    return std::abs(c.red() - c.blue()) < 24 && c.red() > 60 && c.red() < 190;
}
std::string Name(QColor c) { return c.name().toStdString(); }

TEST(TrayIconsTest, ThreeVariantsTellTheirStateApartAt16Pixels) {
    QImage connected = At16(TrayStatus::Connected);
    QImage detecting = At16(TrayStatus::Detecting);
    QImage none = At16(TrayStatus::NoConnection);
    ASSERT_EQ(connected.size(), QSize(16, 16));
    ASSERT_EQ(detecting.size(), QSize(16, 16));
    ASSERT_EQ(none.size(), QSize(16, 16));
    EXPECT_NE(connected, detecting);
    EXPECT_NE(connected, none);
    EXPECT_NE(detecting, none);

    // The tile's top left carries the state's colour.
    EXPECT_TRUE(Bluish(connected.pixelColor(3, 2))) << Name(connected.pixelColor(3, 2));
    EXPECT_TRUE(Amber(detecting.pixelColor(3, 2))) << Name(detecting.pixelColor(3, 2));
    EXPECT_TRUE(Greyish(none.pixelColor(3, 2))) << Name(none.pixelColor(3, 2));
    // The red cross sits where the relay arrow was.
    int red = 0;
    for (int y = 9; y < 16; ++y)
        for (int x = 9; x < 16; ++x) red += Reddish(none.pixelColor(x, y)) ? 1 : 0;
    EXPECT_GT(red, 6);
}

TEST(TrayIconsTest, EveryVariantKeepsTheEnvelopeSoItReadsAsOneProgram) {
    for (TrayStatus status :
         {TrayStatus::Connected, TrayStatus::Detecting, TrayStatus::NoConnection}) {
        QImage image = At16(status);
        // The envelope's left part, white in the program's SVG.
        EXPECT_GT(image.pixelColor(4, 9).lightness(), 200) << static_cast<int>(status);
    }
}

}  // namespace
