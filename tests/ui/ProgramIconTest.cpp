#include "ui/ProgramIcon.h"

#include "ui/WindowFixture.h"

namespace {

TEST(ProgramIconTest, IsBuiltInAtTraySizeAndLarge) {
    TestApplication();
    QIcon icon = ProgramIcon();
    ASSERT_FALSE(icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    EXPECT_TRUE(sizes.contains(QSize(256, 256)));
    QImage small = icon.pixmap(16, 16).toImage();
    // Not blank: the tile is drawn.
    EXPECT_NE(small.pixelColor(8, 8).alpha(), 0);
}

}  // namespace
