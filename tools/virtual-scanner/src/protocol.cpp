#include "protocol.h"

#include <algorithm>
#include <cctype>

namespace vscanner::detail {

// ---- Frames ------------------------------------------------------------------

void FrameParser::reset() {
    state_ = State::Idle;
    text_.clear();
    overflow_ = false;
}

void FrameParser::feed(const unsigned char* data, std::size_t size, std::vector<Frame>& out) {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char b = data[i];
        // A SYN always begins a frame: commands never carry one, so a frame
        // that was cut short cannot eat the next one.
        if (b == kSyn) {
            state_ = State::AfterSyn;
            continue;
        }
        switch (state_) {
            case State::Idle:
                break;
            case State::AfterSyn:
                state_ = b == 'M'   ? State::AfterM
                         : b == 'T' ? State::AfterT
                         : b == 'U' ? State::AfterU
                                    : State::Idle;
                break;
            case State::AfterM:
                if (b == kCr) {
                    text_.clear();
                    overflow_ = false;
                    state_ = State::Text;
                } else {
                    state_ = State::Idle;
                }
                break;
            case State::AfterT:
            case State::AfterU:
                if (b == kCr) {
                    Frame f;
                    f.kind =
                        state_ == State::AfterT ? Frame::Kind::TriggerOn : Frame::Kind::TriggerOff;
                    out.push_back(std::move(f));
                }
                state_ = State::Idle;
                break;
            case State::Text:
                if (b == '.' || b == '!') {
                    Frame f;
                    f.text = std::move(text_);
                    f.terminator = static_cast<char>(b);
                    f.truncated = overflow_;
                    out.push_back(std::move(f));
                    text_.clear();
                    state_ = State::Idle;
                } else if (text_.size() < kMaxText) {
                    text_.push_back(static_cast<char>(b));
                } else {
                    overflow_ = true;
                }
                break;
        }
    }
}

// ---- Menu table --------------------------------------------------------------

MenuTable::MenuTable() {
    // tag, default, minimum, maximum. BEPBEP is what the host's greeting
    // queries; its one-digit value keeps that reply at nine bytes.
    const struct {
        const char* tag;
        long def, min, max;
    } table[] = {
        {"BEPBEP", 0, 0, 1}, {"BEPLVL", 2, 0, 2},          {"BEPFRQ", 2700, 400, 9000},
        {"TRGMOD", 0, 0, 8}, {"TRGSTO", 30000, 0, 300000}, {"ILLPWR", 100, 0, 100},
        {"AIMMOD", 1, 0, 2}, {"SUFCRL", 1, 0, 1},
    };
    for (const auto& e : table) entries_[e.tag] = Entry{e.def, e.min, e.max, e.def};
}

std::optional<long> MenuTable::value(const std::string& tag) const {
    auto it = entries_.find(tag);
    if (it == entries_.end()) return std::nullopt;
    return it->second.current;
}

Bytes MenuTable::handle(const std::string& text) {
    Bytes reply;
    std::size_t start = 0;
    for (;;) {
        const std::size_t semi = text.find(';', start);
        const std::string part =
            text.substr(start, semi == std::string::npos ? semi : semi - start);
        const Bytes answer = one(part);
        reply.insert(reply.end(), answer.begin(), answer.end());
        if (semi == std::string::npos) break;
        reply.push_back(';');
        start = semi + 1;
    }
    return reply;
}

Bytes MenuTable::one(const std::string& command) {
    auto reply = [](const std::string& body, unsigned char status) {
        Bytes b(body.begin(), body.end());
        b.push_back(status);
        return b;
    };
    const bool tagShaped =
        command.size() >= 6 && std::all_of(command.begin(), command.begin() + 6,
                                           [](char c) { return c >= 'A' && c <= 'Z'; });
    if (!tagShaped) return reply(command, kEnq);
    const std::string tag = command.substr(0, 6);
    auto it = entries_.find(tag);
    if (it == entries_.end()) return reply(command, kEnq);
    Entry& e = it->second;
    const std::string rest = command.substr(6);
    if (rest == "?") return reply(tag + std::to_string(e.current), kAck);
    if (rest == "^") return reply(tag + std::to_string(e.def), kAck);
    if (rest == "*") return reply(tag + std::to_string(e.min) + "-" + std::to_string(e.max), kAck);
    // A value: plain decimal digits; more than nine cannot be in any range
    // and would overflow the arithmetic below.
    if (rest.empty() || rest.size() > 9 ||
        !std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return reply(command, kNak);
    }
    const long v = std::stol(rest);
    if (v < e.min || v > e.max) return reply(command, kNak);
    e.current = v;
    return reply(command, kAck);
}

// ---- Modifiers ---------------------------------------------------------------

std::optional<Modifiers> parseModifiers(const std::string& text,
                                        const std::vector<std::string>& known) {
    Modifiers out;
    std::size_t i = 0;
    while (i < text.size()) {
        bool negative = false;
        if (text[i] == '-') {
            negative = true;
            ++i;
        }
        const std::size_t digits = i;
        long value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            // Past six digits no field of the host can hold the value.
            if (i - digits >= 6) return std::nullopt;
            value = value * 10 + (text[i] - '0');
            ++i;
        }
        if (i == digits) return std::nullopt;
        if (negative) value = -value;
        if (value < -32768 || value > 32767) return std::nullopt;
        // The longest known letter group that matches wins, so "IX" is not
        // read as an unknown "I".
        std::string letter;
        for (const auto& k : known) {
            if (k.size() > letter.size() && text.compare(i, k.size(), k) == 0) letter = k;
        }
        if (letter.empty()) return std::nullopt;
        out[letter] = value;
        i += letter.size();
    }
    return out;
}

namespace {

bool in(const Modifiers& m, const char* key, long lo, long hi) {
    auto it = m.find(key);
    return it == m.end() || (it->second >= lo && it->second <= hi);
}

int get(const Modifiers& m, const char* key, int fallback) {
    auto it = m.find(key);
    return it == m.end() ? fallback : static_cast<int>(it->second);
}

bool validFormat(const Modifiers& m) {
    auto it = m.find("F");
    return it == m.end() || (it->second >= 0 && it->second <= 8 && it->second != 7);
}

bool validDepth(const Modifiers& m) {
    auto it = m.find("D");
    return it == m.end() || it->second == 1 || it->second == 8;
}

}  // namespace

Verdict parseSnap(const std::string& text, SnapRequest& out) {
    auto m = parseModifiers(text, {"P", "B", "L", "T", "G", "E", "D", "U", "W", "%"});
    if (!m) return Verdict::Nak;
    const long gain = get(*m, "G", 1);
    const bool ok = in(*m, "P", 0, 2) && in(*m, "B", 0, 1) && in(*m, "L", 0, 1) &&
                    in(*m, "T", 0, 1) && (gain == 1 || gain == 2 || gain == 4 || gain == 8) &&
                    in(*m, "E", 0, 7874) && in(*m, "D", 0, 255) && in(*m, "U", 0, 10) &&
                    in(*m, "W", 0, 255) && in(*m, "%", 1, 99);
    if (!ok) return Verdict::Nak;
    out.style = get(*m, "P", 1);
    out.beep = get(*m, "B", 0);
    out.led = get(*m, "L", 0);
    out.trigger = get(*m, "T", 0);
    out.gain = static_cast<int>(gain);
    out.exposure = get(*m, "E", -1);
    return Verdict::Ack;
}

Verdict parseShip(const std::string& text, ShipRequest& out) {
    auto m = parseModifiers(text, {"F", "D", "IX", "IY", "IR", "V", "C", "A", "H", "P", "S",
                                   "W", "J", "K",  "E",  "U",  "L", "R", "T", "B", "M"});
    if (!m) return Verdict::Nak;
    const bool ok = validFormat(*m) && validDepth(*m) && in(*m, "IX", 0, 1) && in(*m, "IY", 0, 1) &&
                    in(*m, "IR", 0, 3) && in(*m, "V", 0, 1) && in(*m, "C", 0, 1) &&
                    in(*m, "A", 0, 1) && in(*m, "H", 0, 1) && in(*m, "P", 2, 2) &&
                    in(*m, "S", 1, 3) && in(*m, "W", 0, 1) && in(*m, "J", 0, 100) &&
                    in(*m, "K", 0, 1000) && in(*m, "E", 0, 24) && in(*m, "U", 0, 255) &&
                    in(*m, "L", 0, 1279) && in(*m, "R", 0, 1279) && in(*m, "T", 0, 959) &&
                    in(*m, "B", 0, 959) && in(*m, "M", 0, 238);
    if (!ok) return Verdict::Nak;
    ShipRequest r;
    r.format = get(*m, "F", kJpeg);
    r.depth = get(*m, "D", 8);
    r.flipVertical = get(*m, "IX", 0) == 1;
    r.flipHorizontal = get(*m, "IY", 0) == 1;
    r.rotate = get(*m, "IR", 0);
    r.blur = get(*m, "V", 0);
    r.gloss = get(*m, "C", 0);
    r.infinity = get(*m, "A", 0);
    r.stretch = get(*m, "H", 0);
    r.subsample = get(*m, "S", 1);
    r.histogram = get(*m, "W", 0);
    r.quality = get(*m, "J", 50);
    r.gamma = get(*m, "K", 0);
    r.edge = get(*m, "E", 0);
    r.textFilter = get(*m, "U", 0);
    r.left = get(*m, "L", -1);
    r.right = get(*m, "R", -1);
    r.top = get(*m, "T", -1);
    r.bottom = get(*m, "B", -1);
    r.margin = get(*m, "M", -1);
    // Edges are inclusive pixel positions, so an edge pair may name a single
    // column but never a reversed one; a margin trims all four sides and
    // therefore cannot be combined with explicit edges.
    if (r.left >= 0 && r.right >= 0 && r.right < r.left) return Verdict::Nak;
    if (r.top >= 0 && r.bottom >= 0 && r.bottom < r.top) return Verdict::Nak;
    if (r.margin >= 0 && (r.left >= 0 || r.right >= 0 || r.top >= 0 || r.bottom >= 0)) {
        return Verdict::Nak;
    }
    out = r;
    return Verdict::Ack;
}

Verdict parseBox(const std::string& text, BoxRequest& out) {
    auto m = parseModifiers(text, {"P", "F", "D", "K", "R", "S", "H", "W", "X", "Y"});
    if (!m) return Verdict::Nak;
    for (const char* required : {"S", "H", "W", "X", "Y"}) {
        if (!m->count(required)) return Verdict::Nak;
    }
    const bool ok = in(*m, "P", 2, 2) && validFormat(*m) && validDepth(*m) && in(*m, "K", 0, 100) &&
                    in(*m, "R", 1, 32767) && in(*m, "S", 1, 32767) && in(*m, "H", 1, 32767) &&
                    in(*m, "W", 1, 32767) && in(*m, "X", 0, 32767) && in(*m, "Y", 0, 32767);
    if (!ok) return Verdict::Nak;
    out.format = get(*m, "F", kJpeg);
    out.depth = get(*m, "D", 8);
    out.gamma = get(*m, "K", 0);
    out.resolution = get(*m, "R", 0);
    out.aspect = get(*m, "S", 0);
    out.height = get(*m, "H", 0);
    out.width = get(*m, "W", 0);
    out.offsetX = get(*m, "X", 0);
    out.offsetY = get(*m, "Y", 0);
    return Verdict::Ack;
}

int fileDepth(int format, int depth) {
    switch (format) {
        case kTiffBinary:
        case kTiffBinaryG4:
        case kTiffBinaryRaw:
            return 1;
        case kTiffGrey:
        case kTiffGreyRaw:
        case kJpeg:
            return 8;
        default:
            return depth == 1 ? 1 : 8;
    }
}

}  // namespace vscanner::detail
