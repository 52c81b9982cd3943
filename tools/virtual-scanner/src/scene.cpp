#include <algorithm>
#include <cmath>
#include <cstring>

#include "image.h"

namespace vscanner::detail {

namespace {

// A 5x7 font, one byte a row, bit 4 the leftmost column. Enough for the
// label's captions: digits, capitals and the punctuation commands and dates
// use. Lower case is drawn in capitals.
struct Glyph {
    char c;
    std::uint8_t rows[7];
};

constexpr Glyph kFont[] = {
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'!', {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'*', {0x00, 0x04, 0x15, 0x0E, 0x15, 0x04, 0x00}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {';', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x04, 0x08}},
    {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}},
    {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}},
    {'@', {0x0E, 0x11, 0x01, 0x0D, 0x15, 0x15, 0x0E}},
    {'A', {0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'[', {0x0E, 0x08, 0x08, 0x08, 0x08, 0x08, 0x0E}},
    {']', {0x0E, 0x02, 0x02, 0x02, 0x02, 0x02, 0x0E}},
    {'^', {0x04, 0x0A, 0x11, 0x00, 0x00, 0x00, 0x00}},
    {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
};

// Characters the font lacks are drawn as an open box, so that they are
// visibly there rather than silently dropped.
constexpr Glyph kMissing = {'?', {0x1F, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1F}};

const Glyph& glyph(char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (const auto& g : kFont) {
        if (g.c == c) return g;
    }
    return kMissing;
}

void fillRect(Image& img, int x0, int y0, int x1, int y1, std::uint8_t v) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, img.width - 1);
    y1 = std::min(y1, img.height - 1);
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) img.at(x, y) = v;
    }
}

// A cheap deterministic noise, so that the picture has the grain of a
// sensor and every encoder sees realistic, not flat, data.
std::uint8_t grain(int x, int y) {
    std::uint32_t h =
        static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return static_cast<std::uint8_t>((h >> 24) & 7);
}

// The bars for a text: each character's eight bits as bar/space pairs, a
// set bit wide (three modules), a clear one narrow, between start and stop
// guards. It is a picture of a bar code, not a standard symbology.
std::vector<int> barWidths(const std::string& text) {
    std::vector<int> w = {2, 1, 1, 1};  // start guard: bar, space, bar, space
    for (unsigned char c : text) {
        for (int bit = 7; bit >= 0; --bit) {
            w.push_back(((c >> bit) & 1) ? 3 : 1);
            w.push_back(1);
        }
    }
    w.insert(w.end(), {1, 1, 2});  // stop guard
    return w;
}

}  // namespace

void drawText(Image& img, int x, int y, const std::string& text, int scale, std::uint8_t ink) {
    for (char c : text) {
        const Glyph& g = glyph(c);
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 5; ++col) {
                if (g.rows[row] & (0x10 >> col)) {
                    fillRect(img, x + col * scale, y + row * scale, x + (col + 1) * scale - 1,
                             y + (row + 1) * scale - 1, ink);
                }
            }
        }
        x += 6 * scale;
    }
}

Picture takePicture(const std::string& barcode, const std::string& caption, const std::string& when,
                    const SnapRequest& snap) {
    Picture pic;
    Image& img = pic.image;
    img = Image(kSensorWidth, kSensorHeight);

    // The desk: a soft vertical gradient, brighter with more gain, since a
    // real sensor's exposure shows in the whole frame.
    const int lift = snap.gain == 8 ? 30 : snap.gain == 4 ? 20 : snap.gain == 2 ? 10 : 0;
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            img.at(x, y) = static_cast<std::uint8_t>(70 + lift + y * 40 / img.height + grain(x, y));
        }
    }

    // The label with a dark border.
    const int lx0 = 120, ly0 = 90, lx1 = 1159, ly1 = 869;
    fillRect(img, lx0 - 4, ly0 - 4, lx1 + 4, ly1 + 4, 30);
    for (int y = ly0; y <= ly1; ++y) {
        for (int x = lx0; x <= lx1; ++x)
            img.at(x, y) = static_cast<std::uint8_t>(228 + grain(x, y));
    }
    drawText(img, 160, 120, "TAVORIN SHIPPING LABEL", 4, 20);

    // The bar code, scaled so that it fits the label's width.
    const std::vector<int> widths = barWidths(barcode.empty() ? std::string(" ") : barcode);
    int modules = 0;
    for (int w : widths) modules += w;
    const int room = lx1 - lx0 - 120;
    pic.narrow = std::clamp(room / std::max(modules, 1), 1, 4);
    const int barWidth = modules * pic.narrow;
    int x = (img.width - barWidth) / 2;
    const int by0 = 200, by1 = 400;
    pic.barX0 = x;
    pic.barY0 = by0;
    bool bar = true;
    for (int w : widths) {
        if (bar) fillRect(img, x, by0, x + w * pic.narrow - 1, by1, 10);
        x += w * pic.narrow;
        bar = !bar;
    }
    pic.barX1 = x - 1;
    pic.barY1 = by1;
    const int textWidth = static_cast<int>(barcode.size()) * 18;
    drawText(img, (img.width - textWidth) / 2, by1 + 16, barcode, 3, 20);

    // The signature line with a signature on it.
    drawText(img, 160, 640, "SIGNATURE", 3, 20);
    fillRect(img, 340, 680, 1100, 683, 20);
    for (int sx = 360; sx < 900; ++sx) {
        const double t = (sx - 360) / 540.0;
        const int sy = static_cast<int>(650 + 18 * std::sin(t * 23.0) * std::cos(t * 5.0) - 10 * t);
        fillRect(img, sx, sy - 1, sx + 1, sy + 2, 25);
    }

    // What took the picture and when; a long command is cut to the label.
    const int maxChars = (lx1 - lx0 - 80) / 12;
    drawText(img, 160, 740, caption.substr(0, static_cast<std::size_t>(maxChars)), 2, 20);
    drawText(img, 160, 780, when, 2, 20);
    return pic;
}

namespace {

Image crop(const Image& src, int x0, int y0, int x1, int y1) {
    Image out(x1 - x0 + 1, y1 - y0 + 1);
    for (int y = 0; y < out.height; ++y) {
        std::memcpy(&out.at(0, y), &src.at(x0, y0 + y), static_cast<std::size_t>(out.width));
    }
    return out;
}

Image subsample(const Image& src, int step) {
    if (step <= 1) return src;
    Image out((src.width + step - 1) / step, (src.height + step - 1) / step);
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) out.at(x, y) = src.at(x * step, y * step);
    }
    return out;
}

Image rotateRight(const Image& src) {
    Image out(src.height, src.width);
    for (int y = 0; y < src.height; ++y) {
        for (int x = 0; x < src.width; ++x) out.at(src.height - 1 - y, x) = src.at(x, y);
    }
    return out;
}

void applyGamma(Image& img, int percent) {
    if (percent <= 0 || percent == 100) return;
    const double g = percent / 100.0;
    std::uint8_t lut[256];
    for (int v = 0; v < 256; ++v) {
        lut[v] = static_cast<std::uint8_t>(std::lround(255.0 * std::pow(v / 255.0, 1.0 / g)));
    }
    for (auto& p : img.pixels) p = lut[p];
}

void boxBlur(Image& img) {
    const Image src = img;
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            int sum = 0, n = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int sx = x + dx, sy = y + dy;
                    if (sx >= 0 && sy >= 0 && sx < img.width && sy < img.height) {
                        sum += src.at(sx, sy);
                        ++n;
                    }
                }
            }
            img.at(x, y) = static_cast<std::uint8_t>(sum / n);
        }
    }
}

void sharpen(Image& img, int amount) {
    if (amount <= 0) return;
    const Image src = img;
    for (int y = 1; y + 1 < img.height; ++y) {
        for (int x = 1; x + 1 < img.width; ++x) {
            const int lap = 4 * src.at(x, y) - src.at(x - 1, y) - src.at(x + 1, y) -
                            src.at(x, y - 1) - src.at(x, y + 1);
            img.at(x, y) =
                static_cast<std::uint8_t>(std::clamp(src.at(x, y) + lap * amount / 8, 0, 255));
        }
    }
}

void stretch(Image& img) {
    if (img.pixels.empty()) return;
    const auto [lo, hi] = std::minmax_element(img.pixels.begin(), img.pixels.end());
    const int a = *lo, b = *hi;
    if (b <= a) return;
    for (auto& p : img.pixels) p = static_cast<std::uint8_t>((p - a) * 255 / (b - a));
}

}  // namespace

Image shipImage(const Image& sensor, const ShipRequest& r) {
    int x0 = 0, y0 = 0, x1 = sensor.width - 1, y1 = sensor.height - 1;
    if (r.margin >= 0) {
        x0 += r.margin;
        y0 += r.margin;
        x1 -= r.margin;
        y1 -= r.margin;
    } else {
        if (r.left >= 0) x0 = std::min(r.left, sensor.width - 1);
        if (r.right >= 0) x1 = std::min(r.right, sensor.width - 1);
        if (r.top >= 0) y0 = std::min(r.top, sensor.height - 1);
        if (r.bottom >= 0) y1 = std::min(r.bottom, sensor.height - 1);
        // A lone edge may lie beyond its default partner (right 0 alone);
        // the area is then the single row or column at that edge.
        if (x1 < x0) std::swap(x0, x1);
        if (y1 < y0) std::swap(y0, y1);
    }
    Image img = subsample(crop(sensor, x0, y0, x1, y1), r.subsample);
    if (r.flipVertical) {
        for (int y = 0; y < img.height / 2; ++y) {
            std::swap_ranges(&img.at(0, y), &img.at(0, y) + img.width,
                             &img.at(0, img.height - 1 - y));
        }
    }
    if (r.flipHorizontal) {
        for (int y = 0; y < img.height; ++y) std::reverse(&img.at(0, y), &img.at(0, y) + img.width);
    }
    for (int i = 0; i < r.rotate; ++i) img = rotateRight(img);
    if (r.blur) boxBlur(img);
    sharpen(img, r.edge);
    if (r.stretch) stretch(img);
    applyGamma(img, r.gamma);
    return img;
}

Image boxImage(const Picture& pic, const BoxRequest& r) {
    // The offsets give where the bar code sits as seen from the centre of
    // the area, in narrow elements with y counting upwards: a positive Y
    // puts the area below the bar code, where a signature line usually is.
    const long n = pic.narrow;
    const long cx = (pic.barX0 + pic.barX1) / 2 - r.offsetX * n;
    const long cy = (pic.barY0 + pic.barY1) / 2 + r.offsetY * n;
    const long w = r.width * n, h = r.height * n;
    const long x0 = cx - w / 2, y0 = cy - h / 2;
    const long cx0 = std::max(x0, 0L), cy0 = std::max(y0, 0L);
    const long cx1 = std::min(x0 + w - 1, static_cast<long>(pic.image.width - 1));
    const long cy1 = std::min(y0 + h - 1, static_cast<long>(pic.image.height - 1));
    if (cx1 < cx0 || cy1 < cy0) return {};
    Image area = crop(pic.image, static_cast<int>(cx0), static_cast<int>(cy0),
                      static_cast<int>(cx1), static_cast<int>(cy1));
    if (r.resolution > 0 && r.resolution != n) {
        // Nearest-neighbour scaling to R pixels per narrow element. The
        // result is bounded so that a huge R cannot exhaust memory.
        const long ow = area.width * r.resolution / n, oh = area.height * r.resolution / n;
        if (ow < 1 || oh < 1 || ow > 8192 || oh > 8192) return {};
        Image scaled(static_cast<int>(ow), static_cast<int>(oh));
        for (int y = 0; y < scaled.height; ++y) {
            for (int x = 0; x < scaled.width; ++x) {
                scaled.at(x, y) = area.at(static_cast<int>(x * n / r.resolution),
                                          static_cast<int>(y * n / r.resolution));
            }
        }
        area = std::move(scaled);
    }
    applyGamma(area, r.gamma);
    return area;
}

}  // namespace vscanner::detail
