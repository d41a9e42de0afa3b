#include <gtest/gtest.h>

#include "platform/window_layout.h"

namespace rr {
namespace {

TEST(WindowLayout, CentredInTheWorkAreaTruncatingTowardZero) {
    WindowOrigin a = CenteredWindowOrigin({0, 0, 1920, 1040});
    EXPECT_EQ(a.x, 710);
    EXPECT_EQ(a.y, 415);
    WindowOrigin b = CenteredWindowOrigin({100, 40, 100 + 1281, 40 + 721});
    EXPECT_EQ(b.x, 100 + 390);
    EXPECT_EQ(b.y, 40 + 255);
    // A work area smaller than the window: (301 - 500) / 2 is -99, not -100.
    WindowOrigin c = CenteredWindowOrigin({0, 0, 301, 9});
    EXPECT_EQ(c.x, -99);
    EXPECT_EQ(c.y, -100);
    WindowOrigin d = CenteredWindowOrigin({-1920, 0, 0, 1080});
    EXPECT_EQ(d.x, -1920 + 710);
}

TEST(WindowLayout, RowsAndProgressFill) {
    LayoutRect status = RowRect(LayoutRow::Status, 484);
    EXPECT_EQ(status.left, 24);
    EXPECT_EQ(status.right, 460);
    EXPECT_EQ(status.top, 54);
    EXPECT_EQ(status.bottom, 76);
    EXPECT_EQ(RowRect(LayoutRow::Headline, 484).top, 18);
    EXPECT_EQ(RowRect(LayoutRow::Hint, 484).bottom, 126);
    EXPECT_EQ(RowRect(LayoutRow::ProgressBar, 484).top, 138);
    EXPECT_EQ(RowRect(LayoutRow::ProgressBar, 484).bottom, 160);

    EXPECT_EQ(ProgressFillWidth(436, 0), 0);
    EXPECT_EQ(ProgressFillWidth(436, 2), 0);  // 872 / 1000 truncates
    EXPECT_EQ(ProgressFillWidth(436, 325), 141);
    EXPECT_EQ(ProgressFillWidth(436, 1000), 436);
    EXPECT_EQ(ProgressFillWidth(436, 1500), 436);
    EXPECT_EQ(ProgressFillWidth(436, -20), 0);
}

}  // namespace
}  // namespace rr
