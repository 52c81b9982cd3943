#include "picture_layout.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numbers.h"

namespace tavorin::picture {

namespace {

constexpr long long kMax32 = std::numeric_limits<std::int32_t>::max();
constexpr long long kMin32 = std::numeric_limits<std::int32_t>::min();

bool fits32(long long v) {
    return v >= kMin32 && v <= kMax32;
}

std::int32_t pixelMetric(int px) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        RoundHalfEven(static_cast<double>(px) * kTwipsPerPixel), kMin32, kMax32));
}

// The share of the hidden part that `position` (the picture's left or top,
// zero or negative) has scrolled away, as the bar shows it.
int barValueFor(double position, std::int32_t hidden) {
    if (hidden < 1) return kBarMin;
    const std::int64_t v = RoundHalfEven(-position / hidden * 100.0);
    if (v < kBarMin) return kBarMin;
    if (v > kBarMax) return kBarMax;
    return static_cast<int>(v);
}

// The change handler's arithmetic: the product in integers (64-bit, so that
// no picture the loader accepts can overflow it), the division in floating
// point, and never a positive position (which would leave an empty band at
// the left or top).
double scrolledPosition(int value, std::int32_t pictureLength, std::int32_t windowLength,
                        std::int32_t border, bool otherBarVisible) {
    long long hidden = static_cast<long long>(pictureLength) - (windowLength - border);
    if (otherBarVisible) hidden += kBarTwips;
    const double position = -static_cast<double>(value * hidden) / 100.0;
    return position > 0 ? 0.0 : position;
}

}  // namespace

int toPixels(double twips) {
    return pxFromTwips(twips);
}

std::optional<std::int32_t> toTwips(long long pixels) {
    if (pixels < 0 || pixels > kMax32 / kTwipsPerPixel) return std::nullopt;
    return static_cast<std::int32_t>(pixels * kTwipsPerPixel);
}

Frame frameFromPixels(int frameWidthPx, int frameHeightPx, int captionPx, int fullClientWidthPx,
                      int fullClientHeightPx) {
    Frame f;
    f.borderW = pixelMetric(2 * frameWidthPx);
    f.borderH = pixelMetric(2 * frameHeightPx + captionPx);
    f.maxW = pixelMetric(fullClientWidthPx);
    f.maxH = pixelMetric(fullClientHeightPx);
    return f;
}

std::optional<Size> openingSize(Size picture, const Frame& frame) {
    if (picture.width < 0 || picture.height < 0) return std::nullopt;
    const long long limitW = static_cast<long long>(frame.maxW) - frame.borderW;
    const long long limitH = static_cast<long long>(frame.maxH) - frame.borderH;
    const long long w = picture.width < limitW ? picture.width : limitW;
    const long long h = picture.height < limitH ? picture.height : limitH;
    const long long outerW = w + frame.borderW;
    const long long outerH = h + frame.borderH;
    if (!fits32(limitW) || !fits32(limitH) || !fits32(outerW) || !fits32(outerH)) {
        return std::nullopt;
    }
    return Size{static_cast<std::int32_t>(outerW), static_cast<std::int32_t>(outerH)};
}

double scrolledLeft(const View& view, std::int32_t windowWidth, const Frame& frame) {
    return scrolledPosition(view.h.value, view.picture.width, windowWidth, frame.borderW,
                            view.v.visible);
}

double scrolledTop(const View& view, std::int32_t windowHeight, const Frame& frame) {
    return scrolledPosition(view.v.value, view.picture.height, windowHeight, frame.borderH,
                            view.h.visible);
}

Size resize(View& view, Size window, const Frame& frame) {
    const Size pic = view.picture;
    std::int32_t aw = window.width - frame.borderW;
    std::int32_t ah = window.height - frame.borderH;
    std::int32_t offX = 0;
    std::int32_t offY = 0;

    if (pic.width <= aw && pic.height <= ah) {
        aw = pic.width;
        ah = pic.height;
        view.h.visible = false;
        view.h.value = kBarMin;
        view.v.visible = false;
        view.v.value = kBarMin;
        // A picture that fits is shown from its corner. Resetting the bars
        // alone would leave a picture whose offset was too small to register
        // on a bar (under half a per cent of the hidden part) shifted, with an
        // empty band on the far side.
        view.left = 0;
        view.top = 0;
    } else {
        // One direction overflowing shows both bars, so that the scrolled
        // area is the same whichever way the user moves.
        view.h.visible = true;
        view.v.visible = true;
        if (pic.width <= aw) aw = pic.width;
        if (pic.height <= ah) ah = pic.height;
        // The visible part of the picture: the bars take 250 twips at the
        // right and at the bottom.
        offY = ah - kBarTwips;
        offX = aw - kBarTwips;
    }

    const Size snapped{aw + frame.borderW, frame.borderH + ah};

    // No empty band right of or below the picture, and none left of or above
    // it either.
    if (offX - pic.width > view.left) view.left = offX - pic.width;
    if (offY - pic.height > view.top) view.top = offY - pic.height;
    if (view.left > 0) view.left = 0;
    if (view.top > 0) view.top = 0;

    if (view.h.visible) {
        if (offX > 0) view.h.length = offX;
        if (offY > 0) view.h.offset = offY;
        const int value = barValueFor(view.left, pic.width - offX);
        if (value != view.h.value) {
            view.h.value = value;
            view.left = scrolledLeft(view, snapped.width, frame);
        }
    }
    if (view.v.visible) {
        if (offY > 0) view.v.length = offY;
        if (offX > 0) view.v.offset = offX;
        const int value = barValueFor(view.top, pic.height - offY);
        if (value != view.v.value) {
            view.v.value = value;
            view.top = scrolledTop(view, snapped.height, frame);
        }
    }

    view.corner = view.h.visible && view.v.visible;
    if (view.corner) {
        view.cornerTop = offY;
        view.cornerLeft = offX;
    }
    return snapped;
}

}  // namespace tavorin::picture
