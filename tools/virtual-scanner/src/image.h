// Pictures: the scene the sensor sees, what the ship commands make of it,
// and the file formats it is shipped in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"

namespace vscanner::detail {

constexpr int kSensorWidth = 1280;
constexpr int kSensorHeight = 960;

// Eight-bit grey, rows top to bottom, 0 black.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    Image() = default;
    Image(int w, int h, std::uint8_t fill = 0)
        : width(w), height(h), pixels(static_cast<std::size_t>(w) * h, fill) {}
    std::uint8_t& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
    const std::uint8_t& at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * width + x];
    }
};

// A picture as taken, with where its bar code lies (sensor pixels).
struct Picture {
    Image image;
    int barX0 = 0, barY0 = 0, barX1 = 0, barY1 = 0;  // bounding box of the bars, inclusive
    int narrow = 1;                                  // narrow element width in pixels
};

// Draws the label the scanner looks at: a bar code of `barcode`, a
// signed signature line, and the two caption lines (the command that took
// the picture and the time).
Picture takePicture(const std::string& barcode, const std::string& caption, const std::string& when,
                    const SnapRequest& snap);

// Draws text in the built-in 5x7 font, each font pixel `scale` pixels wide.
void drawText(Image& img, int x, int y, const std::string& text, int scale, std::uint8_t ink);

// What IMGSHP makes of the picture: crop (edges or margin, in sensor
// pixels, inclusive), subsample, flip, rotate, then the filters. Depth is
// applied by the encoder.
Image shipImage(const Image& sensor, const ShipRequest& request);

// What IMGBOX makes of it: the area placed relative to the bar code,
// clipped to the sensor, scaled to the asked resolution. Empty when the
// area misses the sensor or would be unreasonably large.
Image boxImage(const Picture& picture, const BoxRequest& request);

// Encodes the picture in a format, depth `depth` (1 or 8) where the format
// allows, JPEG at `quality`. Throws std::runtime_error when an encoder
// fails.
Bytes encodeImage(const Image& img, int format, int depth, int quality, int threshold);

// The KIM raw layout (documented in the tool's README): a 12-byte header
// "KIM1", width, height (16-bit, least significant byte first), bits per
// pixel, a zero byte, bytes per row (16-bit LSB first), then the rows top to
// bottom; 8-bit pixels one byte each (0 black), 1-bit pixels packed most
// significant bit first, 1 white, each row padded to a whole byte.
Bytes encodeKim(const Image& img, int depth, int threshold);

}  // namespace vscanner::detail
