// Window geometry is designed in twips; on screen it is logical pixels at
// 15 twips each, and Qt's high-DPI scaling does the rest.
#pragma once

#include <QRect>

namespace tavorin {

constexpr int kTwipsPerPixel = 15;

constexpr int px(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}
constexpr int twips(int pixels) {
    return pixels * kTwipsPerPixel;
}

// A control's place from its left/top/width/height in twips.
inline QRect twipRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

}  // namespace tavorin
