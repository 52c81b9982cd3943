// The scanner's side of the byte contract: frame parsing, the menu table and
// the image commands' modifiers. Nothing here touches a descriptor, so the
// serving thread stays a thin loop around these pieces.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vscanner::detail {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kAck = 0x06;
constexpr unsigned char kEnq = 0x05;
constexpr unsigned char kNak = 0x15;
constexpr unsigned char kSyn = 0x16;
constexpr unsigned char kGs = 0x1D;
constexpr unsigned char kCr = 0x0D;

// One thing the host sent: a framed command, or a raw trigger frame.
struct Frame {
    enum class Kind { Command, TriggerOn, TriggerOff };
    Kind kind = Kind::Command;
    std::string text;        // the command text, without frame and terminator
    char terminator = '.';   // '.' or '!'
    bool truncated = false;  // longer than FrameParser::kMaxText; answered as unknown
};

// Reassembles frames however the bytes are split across reads. Bytes
// outside a frame are line noise and are skipped; a SYN inside a frame
// starts a new one, so that a frame cut off by the host (a purge, a crash)
// cannot swallow the next.
class FrameParser {
  public:
    // Longest command text kept; a longer one is answered as unknown.
    static constexpr std::size_t kMaxText = 4096;

    void feed(const unsigned char* data, std::size_t size, std::vector<Frame>& out);
    void reset();

  private:
    enum class State { Idle, AfterSyn, AfterM, Text, AfterT, AfterU };
    State state_ = State::Idle;
    std::string text_;
    bool overflow_ = false;
};

enum class Verdict { Ack, Nak, Enq };

// The menu settings a host can set and query: a tag of six capitals with a
// decimal value.
class MenuTable {
  public:
    MenuTable();
    // Answers a menu command text (not an image command): one or more
    // commands separated by ';', each answered with its echo (or the queried
    // text) and ACK, NAK or ENQ; the answers are joined by ';'. The
    // terminator is the caller's to add. An accepted setting is kept.
    Bytes handle(const std::string& text);
    std::optional<long> value(const std::string& tag) const;

  private:
    struct Entry {
        long def;
        long min;
        long max;
        long current;
    };
    Bytes one(const std::string& command);
    std::map<std::string, Entry> entries_;
};

// The modifiers of an image command: a decimal number followed by its
// letter(s). Only whole numbers are accepted.
using Modifiers = std::map<std::string, long>;

// Splits "1P0B1IX75J" into {P:1, B:0, IX:1, J:75}; nullopt for text that is
// not a modifier list, a letter the command does not know, or a value beyond
// the signed 16-bit range the host's fields can hold.
std::optional<Modifiers> parseModifiers(const std::string& text,
                                        const std::vector<std::string>& known);

struct SnapRequest {
    int style = 1;  // 0 decoding, 1 photo, 2 manual
    int beep = 0;
    int led = 0;
    int trigger = 0;  // 1: take the picture on a trigger press
    int gain = 1;
    int exposure = -1;  // -1: automatic
};

// Image file formats as the host numbers them.
enum Format : int {
    kKim = 0,
    kTiffBinary = 1,
    kTiffBinaryG4 = 2,
    kTiffGrey = 3,
    kTiffBinaryRaw = 4,
    kTiffGreyRaw = 5,
    kJpeg = 6,
    kBmp = 8,
};

struct ShipRequest {
    int format = kJpeg;
    int depth = 8;
    bool flipVertical = false;    // 1IX
    bool flipHorizontal = false;  // 1IY
    int rotate = 0;               // quarter turns to the right: 1IR, 2IR, 3IR
    int blur = 0;
    int gloss = 0;
    int infinity = 0;
    int stretch = 0;
    int subsample = 1;
    int histogram = 0;
    int quality = 50;
    int gamma = 0;  // 0: none; else percent (100 = unchanged)
    int edge = 0;
    int textFilter = 0;
    int left = -1, right = -1, top = -1, bottom = -1;  // -1: edge not given
    int margin = -1;
};

struct BoxRequest {
    int format = kJpeg;
    int depth = 8;
    int gamma = 0;       // K: percent, 0 none
    int resolution = 0;  // R: pixels per narrow element in the result; 0 = as seen
    int aspect = 0;      // S
    int height = 0;      // H, narrow elements
    int width = 0;       // W, narrow elements
    int offsetX = 0;     // X, narrow elements
    int offsetY = 0;     // Y, narrow elements
};

// Each checks the modifiers against the ranges the host's fields allow and
// fills the request; Nak for a value out of range or a malformed list.
Verdict parseSnap(const std::string& modifiers, SnapRequest& out);
Verdict parseShip(const std::string& modifiers, ShipRequest& out);
Verdict parseBox(const std::string& modifiers, BoxRequest& out);

// The bits a pixel has in the shipped file for a format and asked depth:
// the binary TIFF kinds are always 1 bit, the grey-scale TIFF kinds and JPEG
// always 8 bits (a 1D picture is stored thresholded), KIM and BMP follow D.
int fileDepth(int format, int depth);

}  // namespace vscanner::detail
