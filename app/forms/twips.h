// Window geometry is designed in twips; on screen it is logical pixels at
// 15 twips each, and Qt's high-DPI scaling does the rest. Every conversion
// between the two goes through here.
#pragma once

#include <QRect>
#include <cstdint>

#include "numbers.h"

namespace tavorin {

constexpr std::int32_t kTwipsPerPixel = 15;

// The nearest pixel. Whole twips never lie halfway between two pixels (15 is
// odd), so this agrees with pxFromTwips() for them.
constexpr int px(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}
// The nearest pixel of a length that may hold a fraction of a twip, a half
// going to the even neighbour as everywhere in the program.
inline int pxFromTwips(double twips) {
    return static_cast<int>(RoundHalfEven(twips / kTwipsPerPixel));
}
constexpr int twips(int pixels) {
    return pixels * kTwipsPerPixel;
}

// A control's place from its left/top/width/height in twips.
inline QRect twipRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

}  // namespace tavorin
