// The scanner's parsers on their own, where a split or a stray byte can be
// placed exactly.
#include <gtest/gtest.h>

#include "protocol.h"

namespace vscanner::detail {
namespace {

TEST(FrameParser, EverySplitGivesTheSameFrames) {
    const std::string wire = "\x16M\rBEPLVL1.zz\x16T\r\x16M\rIMGSNP1T!\x16U\r";
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        FrameParser p;
        std::vector<Frame> out;
        p.feed(reinterpret_cast<const unsigned char*>(wire.data()), cut, out);
        p.feed(reinterpret_cast<const unsigned char*>(wire.data()) + cut, wire.size() - cut, out);
        ASSERT_EQ(out.size(), 4u) << cut;
        EXPECT_EQ(out[0].text, "BEPLVL1");
        EXPECT_EQ(out[1].kind, Frame::Kind::TriggerOn);
        EXPECT_EQ(out[2].text, "IMGSNP1T");
        EXPECT_EQ(out[2].terminator, '!');
        EXPECT_EQ(out[3].kind, Frame::Kind::TriggerOff);
    }
}

TEST(FrameParser, OverlongTextIsMarkedNotKept) {
    FrameParser p;
    std::vector<Frame> out;
    std::string wire = "\x16M\r" + std::string(FrameParser::kMaxText + 10, 'A') + ".";
    p.feed(reinterpret_cast<const unsigned char*>(wire.data()), wire.size(), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].truncated);
    EXPECT_EQ(out[0].text.size(), FrameParser::kMaxText);
}

TEST(Modifiers, ParseLettersValuesAndRefusals) {
    auto m = parseModifiers("8F1D1IY3IR0V75J-5K", {"F", "D", "IX", "IY", "IR", "V", "J", "K"});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->at("F"), 8);
    EXPECT_EQ(m->at("IY"), 1);
    EXPECT_EQ(m->at("IR"), 3);
    EXPECT_EQ(m->at("K"), -5);
    EXPECT_FALSE(parseModifiers("F", {"F"}));       // no number
    EXPECT_FALSE(parseModifiers("12", {"F"}));      // no letter
    EXPECT_FALSE(parseModifiers("1Z", {"F"}));      // unknown letter
    EXPECT_FALSE(parseModifiers("40000F", {"F"}));  // beyond 16 bits
    EXPECT_FALSE(parseModifiers("99999999999F", {"F"}));
    ShipRequest r;
    EXPECT_EQ(parseShip("", r), Verdict::Ack);
    EXPECT_EQ(r.format, kJpeg);
    EXPECT_EQ(parseShip("100L100R", r), Verdict::Ack);  // a single inclusive column
    EXPECT_EQ(parseShip("5S", r), Verdict::Nak);
    SnapRequest s;
    EXPECT_EQ(parseSnap("1P0B0L0T3G", s), Verdict::Nak);
    EXPECT_EQ(parseSnap("2P1B1L1T8G7874E255D10U255W99%", s), Verdict::Ack);
    EXPECT_EQ(s.trigger, 1);
}

}  // namespace
}  // namespace vscanner::detail
