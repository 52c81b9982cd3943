#include <gtest/gtest.h>

#include "numbers.h"

namespace tavorin {
namespace {

TEST(Numbers, LeadingNumberReadsAsMuchAsMakesANumber) {
    struct Row {
        const char* text;
        double value;
    };
    const Row rows[] = {
        {"0050", 50},   {"1E3", 1000},     {"1d3", 1000},  {" ", 0},       {"", 0},
        {"abc", 0},     {"-12.5x", -12.5}, {"+7", 7},      {"1 2 3", 123}, {" 4 . 5", 4.5},
        {"2E", 2},      {"2E+", 2},        {"3e-2", 0.03}, {".5", 0.5},    {"-", 0},
        {"1.2.3", 1.2}, {"12,5", 12},      {"7874", 7874}, {"1E999", 0},
    };
    for (const Row& r : rows) {
        EXPECT_DOUBLE_EQ(LeadingNumber(QString::fromLatin1(r.text)), r.value) << r.text;
    }
}

TEST(Numbers, IsNumberWantsTheWholeText) {
    for (const char* yes : {"1", " 1.5 ", "-0.4", "+3", "1E3", "2.5d-1", ".5", "5."}) {
        EXPECT_TRUE(IsNumber(QString::fromLatin1(yes))) << yes;
    }
    for (const char* no :
         {"", " ", "abc", "1a", "1 2", "--1", "1E", ".", "1.2.3", "0x10", "1E400"}) {
        EXPECT_FALSE(IsNumber(QString::fromLatin1(no))) << no;
    }
}

TEST(Numbers, RoundingAndWritingBack) {
    EXPECT_EQ(RoundHalfEven(1.5), 2);
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(-0.5), 0);
    EXPECT_EQ(RoundHalfEven(-1.5), -2);
    EXPECT_EQ(RoundHalfEven(0.4), 0);

    EXPECT_EQ(PlainDecimal(50), "50");
    EXPECT_EQ(PlainDecimal(-0.0), "0");
    EXPECT_EQ(PlainDecimal(-3), "-3");
    EXPECT_EQ(PlainDecimal(0.25), "0.25");
    EXPECT_EQ(PlainDecimal(0.1 + 0.2), "0.3");
    EXPECT_EQ(PlainDecimal(1e3), "1000");
    EXPECT_EQ(NumberFromText("0050"), "50");
    EXPECT_EQ(NumberFromText("1E3"), "1000");
    EXPECT_EQ(NumberFromText(" "), "0");

    struct Row {
        double value;
        int decimals;
        const char* text;
    };
    const Row rows[] = {
        {0.0005, 3, "0.001"}, {12.5, 2, "12.50"},  {0.125, 2, "0.13"}, {-0.125, 2, "-0.13"},
        {2.675, 2, "2.68"},   {9.995, 2, "10.00"}, {0, 3, "0.000"},    {-0.001, 2, "0.00"},
        {1234.5, 0, "1235"},  {0.4, 2, "0.40"},    {1e-9, 3, "0.000"},
    };
    for (const Row& r : rows) EXPECT_EQ(FixedDecimal(r.value, r.decimals), r.text) << r.value;
}

TEST(Numbers, SplitFieldsKeepsTheRestInTheLastField) {
    EXPECT_EQ(SplitFields("3,5,1,0,0,0,0,3,100", 9),
              (QStringList{"3", "5", "1", "0", "0", "0", "0", "3", "100"}));
    EXPECT_EQ(SplitFields("a,b,c,d", 2), (QStringList{"a", "b,c,d"}));
    EXPECT_EQ(SplitFields("", 9), QStringList{""});
    EXPECT_EQ(SplitFields("a,,b", 5), (QStringList{"a", "", "b"}));
}

}  // namespace
}  // namespace tavorin
