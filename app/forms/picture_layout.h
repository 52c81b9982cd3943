// The picture viewer's layout arithmetic, kept free of widgets so that tests
// can drive it row by row. Every length is in twips (1/1440 inch); the window
// turns them into logical pixels at 15 twips per pixel.
//
// "Window" sizes here are outer sizes: the client area plus what the frame
// and caption add (`Frame::borderW`, `Frame::borderH`).
#pragma once

#include <cstdint>
#include <optional>

#include "twips.h"

namespace tavorin::picture {

using tavorin::kTwipsPerPixel;
// Thickness of both scroll bars and side of the corner square.
inline constexpr std::int32_t kBarTwips = 250;
// Both bars run over the share of the hidden part, in per cent.
inline constexpr int kBarMin = 0;
inline constexpr int kBarMax = 100;
inline constexpr int kSmallChange = 10;
inline constexpr int kLargeChange = 20;

struct Size {
    std::int32_t width = 0;
    std::int32_t height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// What the frame adds to the client area and what the screen allows.
struct Frame {
    std::int32_t borderW = 0;  // frame, left and right
    std::int32_t borderH = 0;  // frame, top and bottom, plus the caption
    std::int32_t maxW = 0;     // the full-screen client width
    std::int32_t maxH = 0;     // the full-screen client height
};

// The frame from the system's pixel metrics: the frame's width and height
// count twice (both sides), the caption once. The full-screen client area is
// what a maximised window's client would get: the screen's working area less
// one caption (the caller works that out).
Frame frameFromPixels(int frameWidthPx, int frameHeightPx, int captionPx, int fullClientWidthPx,
                      int fullClientHeightPx);

// The window's outer size for a picture of `picture` when it opens: the
// picture's size plus the frame, but never more than the full-screen client
// area. Empty when the arithmetic would overflow, which the viewer treats
// like an unreadable file.
std::optional<Size> openingSize(Size picture, const Frame& frame);

// One scroll bar: HScroll1 runs along the bottom (length = its width, offset
// = its top), VScroll1 along the right (length = its height, offset = its
// left). A length or offset that would not be positive keeps the last one.
struct Bar {
    bool visible = false;
    int value = kBarMin;
    std::int32_t length = 0;
    std::int32_t offset = 0;
};

// Everything Form_Resize lays out. The picture's position is kept as the
// fraction the scroll arithmetic produced, so that a resize reads back the
// very value that placed it.
struct View {
    Size picture;
    double left = 0;
    double top = 0;
    Bar h;
    Bar v;
    bool corner = false;
    std::int32_t cornerLeft = 0;
    std::int32_t cornerTop = 0;
};

// Form_Resize for a window whose outer size is now `window`. Lays out the
// picture, the bars and the corner in `view` and returns the outer size the
// window must take: the client area never grows beyond the picture, so a
// larger window snaps back. A bar whose value changes moves the picture as
// its change handler would. Running it again on the returned size changes
// nothing.
Size resize(View& view, Size window, const Frame& frame);

// HScroll1_Change: the picture's left edge for the bar's current value, in a
// window of outer width `windowWidth`. Value 100 puts the picture's right
// edge against the vertical bar.
double scrolledLeft(const View& view, std::int32_t windowWidth, const Frame& frame);
// VScroll1_Change: the same downwards.
double scrolledTop(const View& view, std::int32_t windowHeight, const Frame& frame);

// A twips length on the pixel grid (halves to even, as every rounding here).
int toPixels(double twips);
// A pixel length in twips; empty when it does not fit in 32 bits.
std::optional<std::int32_t> toTwips(long long pixels);

}  // namespace tavorin::picture
