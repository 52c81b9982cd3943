// Image replies received through the link library and read back by
// decoders that have nothing to do with the scanner.
#include <chrono>
#include <cstdint>
#include <sstream>
#include <thread>

#include "vscanner_fixture.h"

namespace vscanner::test {
namespace {

struct Kim {
    int width = 0, height = 0, bits = 0, rowBytes = 0;
    Bytes rows;
    int at(int x, int y) const {
        const unsigned char* row = rows.data() + static_cast<std::size_t>(y) * rowBytes;
        return bits == 8 ? row[x] : ((row[x / 8] >> (7 - x % 8)) & 1) * 255;
    }
};

// Reads a KIM file by its documented layout; fails the test on any
// inconsistency.
Kim readKim(const std::string& path) {
    const Bytes b = readAll(path);
    Kim k;
    EXPECT_GE(b.size(), 12u);
    if (b.size() < 12) return k;
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "KIM1");
    k.width = b[4] | b[5] << 8;
    k.height = b[6] | b[7] << 8;
    k.bits = b[8];
    EXPECT_EQ(b[9], 0);
    k.rowBytes = b[10] | b[11] << 8;
    EXPECT_EQ(k.rowBytes, k.bits == 1 ? (k.width + 7) / 8 : k.width);
    EXPECT_EQ(b.size(), 12u + static_cast<std::size_t>(k.rowBytes) * k.height);
    k.rows.assign(b.begin() + 12, b.end());
    return k;
}

class ImageTest : public ScannerTest {
  protected:
    void SetUp() override {
        start();
        h = open();
        ASSERT_GE(h, 0);
    }

    // Ships with `cmd` into `name`; returns the closing reply.
    std::string ship(const std::string& cmd, const std::string& name) {
        EXPECT_EQ(command(h, cmd), 0);
        unsigned char buf[256];
        const int n = Ombrix_ImageRecv(h, file(name).c_str(), buf, sizeof buf, 2);
        return n >= 0 ? text(buf, n) : "error " + std::to_string(n);
    }

    int h = -1;
};

struct FormatCase {
    const char* command;
    const char* extension;
    int width, height, depth;
    const char* tiffCompression;  // what tiffinfo calls it, or null
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.command;
}

class FormatTest : public ImageTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatTest, DecodesWithTheImpliedGeometry) {
    const FormatCase& c = GetParam();
    const std::string name = std::string("picture.") + c.extension;
    ASSERT_EQ(ship(c.command, name), "IMGSHP\x06.");
    const std::string path = file(name);
    if (std::string(c.extension) == "kim") {
        const Kim k = readKim(path);
        EXPECT_EQ(k.width, c.width);
        EXPECT_EQ(k.height, c.height);
        EXPECT_EQ(k.bits, c.depth);
        return;
    }
    // scripts/deps.sh installs ImageMagick: a missing decoder is a broken
    // set-up, not a reason to pass.
    ASSERT_TRUE(haveTool("identify")) << "ImageMagick identify is not installed";
    std::istringstream id(run("identify -format '%w %h %z %m' '" + path + "' 2>/dev/null"));
    int w = 0, hgt = 0, depth = 0;
    std::string magick;
    id >> w >> hgt >> depth >> magick;
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(hgt, c.height);
    EXPECT_EQ(depth, c.depth);
    if (std::string(c.extension) == "jpg") {
        // The asked quality, as the decoder estimates it from the tables.
        const std::string q = std::string(c.command).find("75J") != std::string::npos ? "75" : "50";
        EXPECT_EQ(run("identify -format '%Q' '" + path + "' 2>/dev/null"), q);
    }
    if (c.tiffCompression) {
        EXPECT_EQ(magick, "TIFF");
        if (!haveTool("tiffinfo")) return;
        const std::string info = run("tiffinfo '" + path + "' 2>/dev/null");
        EXPECT_NE(info.find("Bits/Sample: " + std::to_string(c.depth)), std::string::npos) << info;
        EXPECT_NE(info.find(std::string("Compression Scheme: ") + c.tiffCompression),
                  std::string::npos)
            << info;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryFormat, FormatTest,
    ::testing::Values(FormatCase{"IMGSHP0F8D", "kim", 1280, 960, 8, nullptr},
                      FormatCase{"IMGSHP0F1D2S", "kim", 640, 480, 1, nullptr},
                      FormatCase{"IMGSHP1F8D1IR0V0C0A0H2P1S0W", "tif", 960, 1280, 1,
                                 "CCITT Group 3"},
                      FormatCase{"IMGSHP2F1D100L599R", "tif", 500, 960, 1, "CCITT Group 4"},
                      FormatCase{"IMGSHP3F8D3S", "tif", 427, 320, 8, "LZW"},
                      FormatCase{"IMGSHP4F1D10M", "tif", 1260, 940, 1, "None"},
                      FormatCase{"IMGSHP5F8D1IY100T299B", "tif", 1280, 200, 8, "None"},
                      FormatCase{"IMGSHP6F8D0V0C0A0H2P2S0W75J", "jpg", 640, 480, 8, nullptr},
                      FormatCase{"IMGSHP6F1D3IR2S", "jpg", 480, 640, 8, nullptr},
                      FormatCase{"IMGSHP8F8D", "bmp", 1280, 960, 8, nullptr},
                      FormatCase{"IMGSHP8F1D1IX3S0L639R", "bmp", 214, 320, 1, nullptr}),
    [](const ::testing::TestParamInfo<FormatCase>& p) { return std::string(p.param.command + 6); });

TEST_F(ImageTest, FlipRotationAndCropMoveThePixels) {
    ASSERT_EQ(ship("IMGSHP0F8D", "plain.kim"), "IMGSHP\x06.");
    ASSERT_EQ(ship("IMGSHP0F8D1IY", "mirror.kim"), "IMGSHP\x06.");
    ASSERT_EQ(ship("IMGSHP0F8D1IX", "upside.kim"), "IMGSHP\x06.");
    ASSERT_EQ(ship("IMGSHP0F8D1IR", "right.kim"), "IMGSHP\x06.");
    ASSERT_EQ(ship("IMGSHP0F8D3IR", "left.kim"), "IMGSHP\x06.");
    ASSERT_EQ(ship("IMGSHP0F8D100L200T2S", "crop.kim"), "IMGSHP\x06.");
    const Kim p = readKim(file("plain.kim")), m = readKim(file("mirror.kim")),
              u = readKim(file("upside.kim")), r = readKim(file("right.kim")),
              l = readKim(file("left.kim")), c = readKim(file("crop.kim"));
    ASSERT_EQ(r.width, 960);
    ASSERT_EQ(c.width, 590);
    ASSERT_EQ(c.height, 380);
    int differing = 0;
    for (int y = 0; y < 960; y += 37) {
        for (int x = 0; x < 1280; x += 41) {
            EXPECT_EQ(m.at(1279 - x, y), p.at(x, y));
            EXPECT_EQ(u.at(x, 959 - y), p.at(x, y));
            EXPECT_EQ(r.at(959 - y, x), p.at(x, y));  // 90 degrees to the right
            EXPECT_EQ(l.at(y, 1279 - x), p.at(x, y));
            if (x >= 100 && y >= 200 && x % 2 == 0 && y % 2 == 0) {
                EXPECT_EQ(c.at((x - 100) / 2, (y - 200) / 2), p.at(x, y));
            }
            if (m.at(x, y) != p.at(x, y)) ++differing;
        }
    }
    // A scene that is its own mirror image would make the checks above
    // vacuous.
    EXPECT_GT(differing, 100);
}

TEST_F(ImageTest, OutOfRangeModifiersAreRefusedWithoutAFile) {
    const char* refused[] = {"IMGSHP7F8D",
                             "IMGSHP6F4D",
                             "IMGSHP6F8D4S",
                             "IMGSHP6F8D101J",
                             "IMGSHP6F8D1280L",
                             "IMGSHP6F8D960B",
                             "IMGSHP6F8D239M",
                             "IMGSHP6F8D500L400R",
                             "IMGSHP6F8D10M5T",
                             "IMGSHP6F8D1Q",
                             "IMGSHP6F8D3P",
                             "IMGSHP6F8D99999K",
                             "IMGBOX2P6F8D3S200H400W0X",
                             "IMGBOX2P6F8D0S200H400W0X10Y",
                             "IMGBOX2P6F8D3S200H400W-1X10Y"};
    for (const char* cmd : refused) {
        const std::string name = "refused.jpg";
        std::filesystem::remove(file(name));
        EXPECT_EQ(ship(cmd, name), std::string(cmd).substr(0, 6) + "\x15.") << cmd;
        EXPECT_FALSE(std::filesystem::exists(file(name))) << cmd;
    }
}

TEST_F(ImageTest, BoxShipsTheAreaAroundTheBarcode) {
    ASSERT_EQ(ship("IMGBOX2P0F8D3S20H40W0X0Y", "bars.kim"), "IMGBOX\x06.");
    const Kim bars = readKim(file("bars.kim"));
    ASSERT_GT(bars.width, 0);
    ASSERT_GT(bars.height, 0);
    // Centred on the bar code: the area is mostly bars and spaces, so it
    // holds many dark pixels; the same area far below (the signature line
    // region) holds few.
    ASSERT_EQ(ship("IMGBOX2P0F8D3S20H40W0X100Y", "below.kim"), "IMGBOX\x06.");
    const Kim below = readKim(file("below.kim"));
    EXPECT_EQ(below.width, bars.width);
    auto dark = [](const Kim& k) {
        int n = 0;
        for (int y = 0; y < k.height; ++y) {
            for (int x = 0; x < k.width; ++x) n += k.at(x, y) < 80;
        }
        return n;
    };
    EXPECT_GT(dark(bars), bars.width * bars.height / 4);
    EXPECT_LT(dark(below), below.width * below.height / 10);
    // R rescales to R pixels per narrow element: 40 x 20 elements at 2 px.
    ASSERT_EQ(ship("IMGBOX2P0F8D50K2R3S20H40W0X0Y", "scaled.kim"), "IMGBOX\x06.");
    const Kim scaled = readKim(file("scaled.kim"));
    EXPECT_EQ(scaled.width, 80);
    EXPECT_EQ(scaled.height, 40);
    // An area wholly off the sensor cannot be shipped.
    EXPECT_EQ(ship("IMGBOX2P6F8D3S10H10W0X30000Y", "off.jpg"), "IMGBOX\x15.");
}

TEST_F(ImageTest, ImageFaultsReachTheHost) {
    Ombrix_PortClose(h);
    for (Fault f : {Fault::StopMidImage, Fault::DropClosing, Fault::HangUpMidImage}) {
        scanner.reset();
        Options o;
        o.fault = f;
        start(o);
        h = open();
        ASSERT_GE(h, 0);
        const std::string reply = ship("IMGSHP8F8D", "fault.bmp");
        if (f == Fault::StopMidImage) {
            EXPECT_EQ(reply, "error " + std::to_string(OMBRIX_E_TIMEOUT));
        } else if (f == Fault::DropClosing) {
            // The image is complete; only the closing reply is missing.
            EXPECT_EQ(reply, "error " + std::to_string(OMBRIX_E_TIMEOUT));
        } else {
            EXPECT_EQ(reply, "error " + std::to_string(OMBRIX_E_COMM));
            // The host may see the hang-up before the scanner's thread has
            // finished closing its end.
            for (int i = 0; i < 200 && scanner->running(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_FALSE(scanner->running());
            EXPECT_FALSE(std::filesystem::exists(dir.aliasPath(scanner->com())));
        }
        Ombrix_PortClose(h);
    }
}

}  // namespace
}  // namespace vscanner::test
