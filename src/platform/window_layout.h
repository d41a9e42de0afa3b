#pragma once
// Geometry of the progress window, kept apart from the drawing calls so the
// arithmetic can be checked without a screen.

namespace rr {

constexpr int kWindowWidth = 500;
constexpr int kWindowHeight = 210;
constexpr int kTextMargin = 24;

struct LayoutRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

struct WindowOrigin {
    int x = 0;
    int y = 0;
};

// The outer window centred in the work area (divisions truncate toward zero).
WindowOrigin CenteredWindowOrigin(const LayoutRect& workArea);

enum class LayoutRow { Headline, Status, Detail, Hint, ProgressBar };

// Where a row lies in client coordinates, given the client's right edge.
LayoutRect RowRect(LayoutRow row, int clientRight);

// Width of the filled part of the bar; per mille outside 0..1000 is clamped.
int ProgressFillWidth(int barWidth, int permille);

}  // namespace rr
