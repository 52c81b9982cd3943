// The viewer's layout arithmetic, row by row: the opening size against the
// screen, Form_Resize's bars and snapping, and the scroll positions.
#include <gtest/gtest.h>

#include <limits>

#include "picture_layout.h"

using namespace tavorin::picture;

namespace {

// A decorated window on a 1920 x 1040 working area: 4-pixel frames and a
// 23-pixel caption, so the full-screen client is 1920 x 1017 pixels.
const Frame kFrame = frameFromPixels(4, 4, 23, 1920, 1017);

TEST(PictureFrame, PixelMetricsBecomeTwips) {
    EXPECT_EQ(kFrame.borderW, 120);
    EXPECT_EQ(kFrame.borderH, 465);
    EXPECT_EQ(kFrame.maxW, 28800);
    EXPECT_EQ(kFrame.maxH, 15255);
    EXPECT_EQ(toTwips(640), 9600);
    // A picture whose size in twips leaves 32 bits is refused, not wrapped.
    EXPECT_FALSE(toTwips(std::numeric_limits<std::int32_t>::max() / 15 + 1).has_value());
    EXPECT_FALSE(toTwips(-1).has_value());
}

struct OpeningRow {
    const char* what;
    Size picture;
    Size window;
};

TEST(PictureOpening, SizedToThePictureButNeverBeyondTheScreen) {
    const OpeningRow rows[] = {
        {"smaller than the screen", {9600, 7200}, {9720, 7665}},
        {"larger both ways", {60000, 45000}, {28800, 15255}},
        {"wider only", {45000, 3000}, {28800, 3465}},
        {"exactly the full client", {28680, 14790}, {28800, 15255}},
        {"one twip under it", {28679, 14789}, {28799, 15254}},
    };
    for (const OpeningRow& row : rows) {
        SCOPED_TRACE(row.what);
        const std::optional<Size> s = openingSize(row.picture, kFrame);
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(*s, row.window);
    }
    // Limits that leave 32 bits make the load fail instead of wrapping round.
    Frame huge = kFrame;
    huge.borderW = -100;
    huge.maxW = std::numeric_limits<std::int32_t>::max();
    EXPECT_FALSE(openingSize({std::numeric_limits<std::int32_t>::max(), 100}, huge).has_value());
}

// One Form_Resize: the view before, the window it gets, and what it must
// look like afterwards.
struct ResizeRow {
    const char* what;
    Size picture;
    double left, top;
    int hValue, vValue;
    Size window;
    // Expected.
    Size snapped;
    bool bars;
    std::int32_t offX, offY;  // the bars' inner edges; 0 when hidden
    double newLeft, newTop;
    int newH, newV;
};

TEST(PictureResize, BarsSnappingAndScrollPositions) {
    // clang-format off
    const ResizeRow rows[] = {
        // what, picture, left, top, h, v, window,
        //   snapped, bars, offX, offY, left, top, h, v afterwards
        {"fits exactly", {9600, 7200}, 0, 0, 0, 0, {9720, 7665},
         {9720, 7665}, false, 0, 0, 0, 0, 0, 0},
        {"enlarged beyond the picture snaps back", {9600, 7200}, 0, 0, 0, 0, {12000, 9000},
         {9720, 7665}, false, 0, 0, 0, 0, 0, 0},
        {"narrower only: both bars, the height kept", {9600, 7200}, 0, 0, 0, 0, {8000, 7665},
         {8000, 7665}, true, 7630, 6950, 0, 0, 0, 0},
        {"larger than the screen, at the full client", {60000, 45000}, 0, 0, 0, 0, {28800, 15255},
         {28800, 15255}, true, 28430, 14540, 0, 0, 0, 0},
        {"with bars, wider than the picture: the width snaps", {9600, 7200}, 0, 0, 0, 0, {20000, 7000},
         {9720, 7000}, true, 9350, 6285, 0, 0, 0, 0},
        {"scrolled, then enlarged until it fits: back to the corner", {9600, 7200}, -1200, -900, 60, 40, {9720, 7665},
         {9720, 7665}, false, 0, 0, 0, 0, 0, 0},
        // A shift too small to register on a bar must not survive a fit.
        {"an unregistered shift is dropped on a fit", {9600, 7200}, -20, -10, 0, 0, {9720, 7665},
         {9720, 7665}, false, 0, 0, 0, 0, 0, 0},
        {"at the right end, widened: no empty band", {60000, 45000}, -31570, 0, 100, 0, {40120, 15255},
         {40120, 15255}, true, 39750, 14540, -20250, 0, 100, 0},
        {"half way, narrowed: the value follows and places the picture", {60000, 45000}, -15785, 0, 50, 0, {20120, 15255},
         {20120, 15255}, true, 19750, 14540, -15697.5, 0, 39, 0},
        // With 400 twips hidden, 2.5 per cent rounds to 2 and 3.5 to 4.
        {"a half rounds to the even value (down)", {1150, 2000}, -10, 0, 0, 0, {1120, 1465},
         {1120, 1465}, true, 750, 750, -8, 0, 2, 0},
        {"a half rounds to the even value (up)", {1150, 2000}, -14, 0, 0, 0, {1120, 1465},
         {1120, 1465}, true, 750, 750, -16, 0, 4, 0},
        {"at the bottom, made taller: no empty band", {9600, 7200}, 0, -2450, 0, 100, {9720, 6465},
         {9720, 6465}, true, 9350, 5750, 0, -1450, 0, 100},
    };
    // clang-format on
    for (const ResizeRow& row : rows) {
        SCOPED_TRACE(row.what);
        View view;
        view.picture = row.picture;
        view.left = row.left;
        view.top = row.top;
        view.h.value = row.hValue;
        view.v.value = row.vValue;
        view.h.visible = view.v.visible = row.hValue != 0 || row.vValue != 0;
        const Size snapped = resize(view, row.window, kFrame);
        EXPECT_EQ(snapped, row.snapped);
        EXPECT_EQ(view.h.visible, row.bars);
        EXPECT_EQ(view.v.visible, row.bars);
        EXPECT_EQ(view.corner, row.bars);
        if (row.bars) {
            // The bars lie inside the client area, 250 twips thick, and
            // meet at the corner square.
            EXPECT_EQ(view.h.length, row.offX);
            EXPECT_EQ(view.h.offset, row.offY);
            EXPECT_EQ(view.v.length, row.offY);
            EXPECT_EQ(view.v.offset, row.offX);
            EXPECT_EQ(view.h.offset + kBarTwips, snapped.height - kFrame.borderH);
            EXPECT_EQ(view.v.offset + kBarTwips, snapped.width - kFrame.borderW);
            EXPECT_EQ(view.cornerLeft, row.offX);
            EXPECT_EQ(view.cornerTop, row.offY);
        }
        EXPECT_DOUBLE_EQ(view.left, row.newLeft);
        EXPECT_DOUBLE_EQ(view.top, row.newTop);
        EXPECT_EQ(view.h.value, row.newH);
        EXPECT_EQ(view.v.value, row.newV);

        // The handler runs again for the size it set; that run changes
        // nothing.
        const View first = view;
        EXPECT_EQ(resize(view, snapped, kFrame), snapped);
        EXPECT_DOUBLE_EQ(view.left, first.left);
        EXPECT_DOUBLE_EQ(view.top, first.top);
        EXPECT_EQ(view.h.value, first.h.value);
        EXPECT_EQ(view.v.value, first.v.value);
        EXPECT_EQ(view.h.length, first.h.length);
        EXPECT_EQ(view.v.length, first.v.length);
    }
}

TEST(PictureResize, TooSmallAWindowKeepsTheBarsLastLengths) {
    View view;
    view.picture = {9600, 7200};
    view.h.length = 1234;
    view.h.offset = 567;
    view.v.length = 890;
    view.v.offset = 321;
    const Size snapped = resize(view, {200, 500}, kFrame);
    EXPECT_EQ(snapped, (Size{200, 500}));
    EXPECT_TRUE(view.h.visible);
    EXPECT_EQ(view.h.length, 1234);
    EXPECT_EQ(view.h.offset, 567);
    EXPECT_EQ(view.v.length, 890);
    EXPECT_EQ(view.v.offset, 321);
}

TEST(PictureScroll, ValueIsTheShareOfTheHiddenPart) {
    // The large picture at the full client: 28680 twips wide client, the
    // vertical bar's left edge at 28430.
    View view;
    view.picture = {60000, 45000};
    Size window = resize(view, {28800, 15255}, kFrame);
    const std::int32_t barLeft = view.v.offset;

    view.h.value = 100;
    view.left = scrolledLeft(view, window.width, kFrame);
    EXPECT_DOUBLE_EQ(view.left + view.picture.width, barLeft);
    view.h.value = 10;
    EXPECT_DOUBLE_EQ(scrolledLeft(view, window.width, kFrame), -3157);
    view.h.value = 0;
    EXPECT_DOUBLE_EQ(scrolledLeft(view, window.width, kFrame), 0);

    view.v.value = 100;
    view.top = scrolledTop(view, window.height, kFrame);
    EXPECT_DOUBLE_EQ(view.top + view.picture.height, view.h.offset);
    view.v.value = 20;
    EXPECT_DOUBLE_EQ(scrolledTop(view, window.height, kFrame), -6092);

    // Without the other bar nothing of the picture lies under it.
    view.v.visible = false;
    view.h.value = 100;
    EXPECT_DOUBLE_EQ(scrolledLeft(view, window.width, kFrame), -31320);
    // A window wider than the picture never pushes it right.
    EXPECT_DOUBLE_EQ(scrolledLeft(view, 70000, kFrame), 0);
}

}  // namespace
