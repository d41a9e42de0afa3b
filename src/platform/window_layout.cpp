#include "platform/window_layout.h"

#include <algorithm>
#include <cstdint>

namespace rr {

WindowOrigin CenteredWindowOrigin(const LayoutRect& workArea) {
    WindowOrigin origin;
    origin.x = workArea.left + (workArea.right - workArea.left - kWindowWidth) / 2;
    origin.y = workArea.top + (workArea.bottom - workArea.top - kWindowHeight) / 2;
    return origin;
}

LayoutRect RowRect(LayoutRow row, int clientRight) {
    LayoutRect rect;
    rect.left = kTextMargin;
    rect.right = clientRight - kTextMargin;
    switch (row) {
        case LayoutRow::Headline:
            rect.top = 18;
            rect.bottom = 44;
            break;
        case LayoutRow::Status:
            rect.top = 54;
            rect.bottom = 76;
            break;
        case LayoutRow::Detail:
            rect.top = 80;
            rect.bottom = 102;
            break;
        case LayoutRow::Hint:
            rect.top = 104;
            rect.bottom = 126;
            break;
        case LayoutRow::ProgressBar:
            rect.top = 138;
            rect.bottom = 160;
            break;
    }
    return rect;
}

int ProgressFillWidth(int barWidth, int permille) {
    int64_t clamped = std::clamp(permille, 0, 1000);
    return static_cast<int>((static_cast<int64_t>(barWidth) * clamped) / 1000);
}

}  // namespace rr
