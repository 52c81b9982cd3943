#include <gtest/gtest.h>

#include <array>
#include <iterator>
#include <optional>
#include <set>
#include <vector>

#include "image_logic.h"

namespace tavorin::image {
namespace {

using enum Control;

// One change to a tab's first-start values: a list position for a list, the
// text for a number box.
struct Edit {
    Control control;
    int index;
    const char* value;
};

Values firstStartWith(Tab tab, const std::vector<Edit>& edits) {
    Values v = loadFields(tab, QString());
    for (const Edit& e : edits) {
        const FieldId id{e.control, e.index};
        Value& target = v[static_cast<std::size_t>(rowOf(id))];
        if (field(id)->kind == Kind::List) {
            target.listIndex = QString(e.value).toInt();
        } else {
            target.text = e.value;
        }
    }
    return v;
}

Composed compose(Tab tab, const Values& v) {
    switch (tab) {
        case Tab::Snp:
            return MakeImgSnpCommand(v);
        case Tab::Shp:
            return MakeImgShpCommand(v);
        default:
            return MakeImgBoxCommand(v);
    }
}

const QString kNotANumber = "数値を入力してください";

// The five values the area command cannot go without.
const std::vector<Edit> kBoxArea = {
    {TxtImgBox, 2, "3"}, {TxtImgBox, 3, "200"}, {TxtImgBox, 4, "400"},
    {TxtImgBox, 5, "0"}, {TxtImgBox, 6, "10"},
};
// Every list of the tab, and every text, away from its first-start value.
const std::vector<Edit> kSnpAll = {
    {CmbImgSnp, 0, "2"},   {CmbImgSnp, 1, "1"},   {CmbImgSnp, 2, "1"},   {CmbImgSnp, 3, "1"},
    {CmbImgSnp, 4, "3"},   {TxtImgSnp, 0, "100"}, {TxtImgSnp, 1, "255"}, {TxtImgSnp, 2, "6"},
    {TxtImgSnp, 3, "125"}, {TxtImgSnp, 4, "50"},
};
// Every modifier kind of the tab at once: item data, fixed texts, numbers.
const std::vector<Edit> kShpAll = {
    {CmbImgShp, 0, "7"},  {CmbImgShp, 1, "1"},   {CmbImgShp, 2, "2"},   {CmbImgShp, 3, "3"},
    {TxtImgShp, 0, "75"}, {TxtImgShp, 4, "100"}, {TxtImgShp, 5, "500"},
};
std::vector<Edit> boxAreaWith(std::vector<Edit> extra) {
    std::vector<Edit> all = kBoxArea;
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

TEST(ImageLogic, CommandsComposed) {
    struct Row {
        Tab tab;
        std::vector<Edit> edits;
        const char* command;
    };
    const Row rows[] = {
        {Tab::Snp, {}, "IMGSNP1P0B0L0T1G"},
        {Tab::Snp, kSnpAll, "IMGSNP2P1B1L1T8G100E255D6U125W50%"},
        {Tab::Snp, {{TxtImgSnp, 4, "99"}}, "IMGSNP1P0B0L0T1G99%"},
        {Tab::Snp, {{TxtImgSnp, 0, "0"}}, "IMGSNP1P0B0L0T1G0E"},
        {Tab::Snp, {{CmbImgSnp, 4, "1"}}, "IMGSNP1P0B0L0T2G"},
        // Texts go out in plain decimal form; only an exactly empty text is
        // left out, blanks and letters read as 0.
        {Tab::Snp, {{TxtImgSnp, 0, "0050"}}, "IMGSNP1P0B0L0T1G50E"},
        {Tab::Snp, {{TxtImgSnp, 0, "1E3"}}, "IMGSNP1P0B0L0T1G1000E"},
        {Tab::Snp, {{TxtImgSnp, 0, "  "}}, "IMGSNP1P0B0L0T1G0E"},
        {Tab::Snp, {{TxtImgSnp, 0, "abc"}}, "IMGSNP1P0B0L0T1G0E"},

        {Tab::Shp, {}, "IMGSHP6F8D0V0C0A0H2P2S0W"},
        {Tab::Shp, kShpAll, "IMGSHP8F1D1IY3IR0V0C0A0H2P2S0W75J100L500R"},
        {Tab::Shp, {{CmbImgShp, 2, "1"}, {CmbImgShp, 3, "1"}}, "IMGSHP6F8D1IX1IR0V0C0A0H2P2S0W"},
        {Tab::Shp, {{CmbImgShp, 3, "2"}}, "IMGSHP6F8D2IR0V0C0A0H2P2S0W"},
        // One edge alone, a margin alone, and edges the composer does not
        // range-check.
        {Tab::Shp, {{TxtImgShp, 4, "600"}}, "IMGSHP6F8D0V0C0A0H2P2S0W600L"},
        {Tab::Shp, {{TxtImgShp, 8, "10"}}, "IMGSHP6F8D0V0C0A0H2P2S0W10M"},
        {Tab::Shp, {{TxtImgShp, 4, "-5"}, {TxtImgShp, 5, "10"}}, "IMGSHP6F8D0V0C0A0H2P2S0W-5L10R"},

        {Tab::Box, kBoxArea, "IMGBOX2P6F8D3S200H400W0X10Y"},
        {Tab::Box, boxAreaWith({{CmbImgBox, 0, "7"}, {CmbImgBox, 1, "1"}}),
         "IMGBOX2P8F1D3S200H400W0X10Y"},
        {Tab::Box, boxAreaWith({{TxtImgBox, 0, "50"}, {TxtImgBox, 1, "20"}}),
         "IMGBOX2P6F8D50K20R3S200H400W0X10Y"},
        // Millimetres only feed the compute button.
        {Tab::Box,
         boxAreaWith({{TxtImgBoxmm, 0, "0.330"}, {TxtImgBoxmm, 1, "10.00"}, {TxtImgBoxmm, 4, "1"}}),
         "IMGBOX2P6F8D3S200H400W0X10Y"},
        // A required field only has to be non-empty.
        {Tab::Box, boxAreaWith({{TxtImgBox, 2, "x"}}), "IMGBOX2P6F8D0S200H400W0X10Y"},
    };
    for (const Row& r : rows) {
        const Composed c = compose(r.tab, firstStartWith(r.tab, r.edits));
        EXPECT_TRUE(c.ok) << r.command << ": " << c.message.toStdString();
        EXPECT_EQ(c.command.toStdString(), r.command);
        EXPECT_TRUE(c.message.isEmpty()) << r.command;
        EXPECT_FALSE(c.focus.has_value()) << r.command;
    }
}

TEST(ImageLogic, CommandsRefused) {
    struct Row {
        Tab tab;
        std::vector<Edit> edits;
        QString message;
        FieldId focus;
    };
    const QString rightAfterLeft = "右には左より大きな数値を入力してください";
    const QString noMargin = "左・右・上・下を指定した場合、マージンは指定できません";
    const Row rows[] = {
        {Tab::Shp,
         {
             {TxtImgShp, 4, "500"},
             {TxtImgShp, 5, "500"},
         },
         rightAfterLeft,
         {TxtImgShp, 5}},
        // Compared by value, not by text.
        {Tab::Shp, {{TxtImgShp, 4, "0100"}, {TxtImgShp, 5, "100"}}, rightAfterLeft, {TxtImgShp, 5}},
        // Both pairs wrong: the horizontal check comes first.
        {Tab::Shp,
         {{TxtImgShp, 6, "100"}, {TxtImgShp, 7, "50"}, {TxtImgShp, 4, "10"}, {TxtImgShp, 5, "5"}},
         rightAfterLeft,
         {TxtImgShp, 5}},
        {Tab::Shp,
         {{TxtImgShp, 6, "100"}, {TxtImgShp, 7, "50"}},
         "下には上より大きな数値を入力してください",
         {TxtImgShp, 7}},
        // A margin beside any edge, even a zero one.
        {Tab::Shp, {{TxtImgShp, 8, "10"}, {TxtImgShp, 6, "0"}}, noMargin, {TxtImgShp, 8}},
        {Tab::Shp, {{TxtImgShp, 8, "10"}, {TxtImgShp, 4, "0"}}, noMargin, {TxtImgShp, 8}},
        // The first empty required field takes the focus.
        {Tab::Box, {}, kNotANumber, {TxtImgBox, 2}},
        {Tab::Box, boxAreaWith({{TxtImgBox, 6, ""}}), kNotANumber, {TxtImgBox, 6}},
        {Tab::Box,
         boxAreaWith({{TxtImgBox, 6, ""}, {TxtImgBox, 3, ""}}),
         kNotANumber,
         {TxtImgBox, 3}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        const Composed c = compose(r.tab, firstStartWith(r.tab, r.edits));
        EXPECT_FALSE(c.ok) << "row " << i << ": " << c.command.toStdString();
        EXPECT_EQ(c.message, r.message) << "row " << i << ": " << c.message.toStdString();
        EXPECT_EQ(c.focus, std::optional<FieldId>(r.focus)) << "row " << i;
    }
}

TEST(ImageLogic, FieldChecks) {
    struct Row {
        FieldId id;
        QString typed;
        bool accepted;
        QString shown;
        QString message;
    };
    const QString snpTries = "0～10の範囲の数値を入力してください";
    const QString atLeast0 = "０以上の数値を入力してください";
    const QString above0 = "０よりも大きい数値を入力してください";
    const QString atLeast1 = "１以上の数値を入力してください";
    const Row rows[] = {
        {{TxtImgSnp, 0}, "", true, "", ""},
        {{TxtImgBoxmm, 0}, "", true, "", ""},
        {{TxtImgSnp, 0}, "abc", false, "abc", kNotANumber},
        {{TxtImgSnp, 0}, "1,000", false, "1,000", kNotANumber},
        {{TxtImgShp, 4}, "12a", false, "12a", kNotANumber},
        {{TxtImgBoxmm, 1}, "12a", false, "12a", kNotANumber},
        // Rounded half to even and shown rounded even when the range refuses.
        {{TxtImgSnp, 2}, "12.7", false, "13", snpTries},
        {{TxtImgSnp, 2}, "9.5", true, "10", ""},
        {{TxtImgSnp, 2}, "10.5", true, "10", ""},
        {{TxtImgSnp, 2}, "2.5", true, "2", ""},
        {{TxtImgSnp, 2}, "3.5", true, "4", ""},
        {{TxtImgSnp, 2}, "-0.5", true, "0", ""},
        {{TxtImgSnp, 0}, "1E3", true, "1000", ""},
        {{TxtImgSnp, 0}, " 42 ", true, "42", ""},
        // Each field's own minimum and message.
        {{TxtImgBox, 1}, "0", false, "0", "0以上の数値を入力してください"},
        {{TxtImgBox, 1}, "1", true, "1", ""},
        {{TxtImgBox, 5}, "-3", false, "-3", atLeast0},
        {{TxtImgBox, 5}, "0", true, "0", ""},
        {{TxtImgBox, 2}, "0", false, "0", atLeast1},
        // Beyond 16 bits or too long for the field: left as typed.
        {{TxtImgBox, 2}, "32767", true, "32767", ""},
        {{TxtImgBox, 2}, "32768", false, "32768", atLeast1},
        {{TxtImgBox, 2}, "99999", false, "99999", atLeast1},
        {{TxtImgBox, 1}, "1E3", false, "1E3", "0以上の数値を入力してください"},
        {{TxtImgBoxmm, 1}, "12345678.9", false, "12345678.9", above0},
        // Millimetres: shown with the field's decimals once accepted.
        {{TxtImgBoxmm, 0}, "0", false, "0", above0},
        {{TxtImgBoxmm, 0}, "0.0004", true, "0.000", ""},
        {{TxtImgBoxmm, 0}, "0.0005", true, "0.001", ""},
        {{TxtImgBoxmm, 0}, "0.33", true, "0.330", ""},
        {{TxtImgBoxmm, 1}, "10", true, "10.00", ""},
        {{TxtImgBoxmm, 1}, "12.5", true, "12.50", ""},
        {{TxtImgBoxmm, 1}, "-1", false, "-1", above0},
        {{TxtImgBoxmm, 4}, "-1", false, "-1", atLeast0},
        {{TxtImgBoxmm, 4}, "0", true, "0.00", ""},
    };
    for (const Row& r : rows) {
        const Field* f = field(r.id);
        ASSERT_NE(f, nullptr);
        const Checked c = checkField(*f, r.typed);
        const std::string at = controlName(r.id.control) + ("(" + std::to_string(r.id.index)) +
                               ") " + r.typed.toStdString();
        EXPECT_EQ(c.accepted, r.accepted) << at;
        EXPECT_EQ(c.text.toStdString(), r.shown.toStdString()) << at;
        EXPECT_EQ(c.message, r.message) << at << ": " << c.message.toStdString();
    }
}

TEST(ImageLogic, ComputeButton) {
    struct Row {
        std::array<QString, 6> mm;
        bool ok;
        std::array<const char*, 7> box;  // null: target left alone
    };
    const Row rows[] = {
        {{"0.33", "10", "", "", "", ""}, true, {nullptr, nullptr, "30"}},
        {{"2", "", "5", "", "", ""}, true, {nullptr, nullptr, nullptr, "2"}},
        {{"2", "", "7", "", "", ""}, true, {nullptr, nullptr, nullptr, "4"}},
        {{"1", "1", "2", "3", "4", "5"}, true, {nullptr, nullptr, "1", "2", "3", "4", "5"}},
        {{"1", "abc", "", "7", "", ""}, true, {nullptr, nullptr, nullptr, nullptr, "7"}},
        // Outside 16 bits, and inside 16 bits but too long for the field.
        {{"0.001", "1000", "", "", "", ""}, true, {}},
        {{"1", "-20000", "-5", "", "", ""}, true, {nullptr, nullptr, nullptr, "-5"}},
        // An unusable width computes nothing.
        {{"", "10", "10", "10", "10", "10"}, false, {}},
        {{"0", "10", "", "", "", ""}, false, {}},
        {{"0.000", "10", "", "", "", ""}, false, {}},
        {{"abc", "10", "", "", "", ""}, false, {}},
        {{"-1", "10", "", "", "", ""}, false, {}},
    };
    for (const Row& r : rows) {
        const ComputedArea a = computeArea(r.mm);
        const std::string at = (r.mm[0] + "|" + r.mm[1] + "|" + r.mm[2]).toStdString();
        EXPECT_EQ(a.ok, r.ok) << at;
        for (std::size_t i = 0; i < a.box.size(); ++i) {
            const auto want = r.box[i] ? std::optional<QString>(r.box[i]) : std::nullopt;
            EXPECT_EQ(a.box[i], want) << at << " box " << i;
        }
    }
}

TEST(ImageLogic, ListPositionFromSettings) {
    struct Row {
        int count;
        QString stored;
        int defaultIndex;
        int expected;
    };
    const Row rows[] = {
        {2, "9", 1, 0},          {2, "-1", 1, 0},
        {100000, "99999", 1, 0}, {3, "1.5", 0, 2},
        {3, "2.5", 0, 2},        {3, "", 2, 2},
        {3, "abc", 2, 0},        {0, "0", 0, -1},
        {0, "", 0, -1},          {40000, "32767", 0, 32767},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(listIndexOrDefault(r.count, r.stored, r.defaultIndex), r.expected)
            << r.count << " items, stored " << r.stored.toStdString();
    }
}

TEST(ImageLogic, SettingsTexts) {
    struct Row {
        Tab tab;
        QString stored;
        QString restored;  // storeFields(loadFields(stored))
    };
    const Row rows[] = {
        // First start; the protocol list's default lies past its only item.
        {Tab::Shp, "", "6,0,0,0,0,0,0,0,0,1,0,,,,,,,,,"},
        {Tab::Snp, "", "1,0,0,0,0,,,,,"},
        {Tab::Box, "", "6,0,,,,,,,,,,,,,"},
        // Fewer fields: the rest default or stay empty.
        {Tab::Snp, "2,1", "2,1,0,0,0,,,,,"},
        {Tab::Box, "7,1,1,2,3,4,5,6,7", "7,1,1,2,3,4,5,6,7,,,,,,"},
        // Positions outside a list fall back to its first item.
        {Tab::Snp, "9,-1,1.5,0,4,,,,,", "0,0,0,0,0,,,,,"},
        // A piece with a control character is passed over: the list's
        // default, an empty text.
        {Tab::Snp,
         QStringLiteral("2\t,1,1,1,3,10\x01"
                        "0,5"),
         "1,1,1,1,3,,5,,,"},
        // The last text keeps further commas.
        {Tab::Snp, "1,0,0,0,0,1,2,3,4,5,6", "1,0,0,0,0,1,2,3,4,5,6"},
        // Texts longer than their fields come back whole: a field's length
        // limits typing, not what the settings hold.
        {Tab::Snp, "1,0,0,0,0,12345,1234,123,1234,123", "1,0,0,0,0,12345,1234,123,1234,123"},
        // Full valid texts come back unchanged.
        {Tab::Snp, "2,1,1,1,3,100,255,6,125,50", "2,1,1,1,3,100,255,6,125,50"},
        {Tab::Shp, "7,1,2,3,1,1,1,1,0,2,1,75,10,5,20,100,500,100,200,",
         "7,1,2,3,1,1,1,1,0,2,1,75,10,5,20,100,500,100,200,"},
        {Tab::Box, "7,1,50,20,3,200,400,0,10,0.330,10.00,20.00,30.00,0.00,1.00",
         "7,1,50,20,3,200,400,0,10,0.330,10.00,20.00,30.00,0.00,1.00"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(storeFields(r.tab, loadFields(r.tab, r.stored)).toStdString(),
                  r.restored.toStdString());
    }

    EXPECT_EQ(storeFields(Tab::Snp, firstStartWith(Tab::Snp, {{TxtImgSnp, 0, "100"}})),
              "1,0,0,0,0,100,,,,");
    EXPECT_EQ(field({CmbImgShp, 8})->defaultIndex, 1);
    EXPECT_EQ(loadFields(Tab::Shp, "")[static_cast<std::size_t>(rowOf({CmbImgShp, 8}))].listIndex,
              0);

    const Values snp = loadFields(Tab::Snp, "1,0,0,0,0,1,2,3,4,5,6");
    EXPECT_EQ(snp[static_cast<std::size_t>(rowOf({TxtImgSnp, 4}))].text, "5,6");
    const Values box = loadFields(Tab::Box, "7,1,1,2,3,4,5,6,7");
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(box[static_cast<std::size_t>(rowOf({TxtImgBoxmm, i}))].text.isEmpty()) << i;
    }

    // Settings are trusted as stored: a value the check would refuse still
    // loads and is sent.
    const Values shp = loadFields(Tab::Shp, "6,0,0,0,0,0,0,0,0,1,0,,,,,-5");
    EXPECT_EQ(shp[static_cast<std::size_t>(rowOf({TxtImgShp, 4}))].text, "-5");
    EXPECT_FALSE(checkField(*field({TxtImgShp, 4}), "-5").accepted);
    EXPECT_EQ(MakeImgShpCommand(shp).command, "IMGSHP6F8D0V0C0A0H2P2S0W-5L");
}

TEST(ImageLogic, FormatsAndFileNames) {
    struct FormatRow {
        int code;
        QString extension;
        bool viewer;
    };
    const FormatRow formats[] = {{0, "KIM", false}, {1, "TIF", false}, {3, "TIF", false},
                                 {5, "TIF", false}, {6, "JPG", true},  {8, "BMP", true},
                                 {7, "", true}};
    for (const FormatRow& r : formats) {
        const Format f = formatFor(r.code);
        EXPECT_EQ(f.extension, r.extension) << r.code;
        EXPECT_EQ(f.viewer, r.viewer) << r.code;
    }

    struct NameRow {
        QString name;
        QString extension;
        bool matches;
    };
    const NameRow names[] = {
        {"a.jpg", "JPG", true}, {"A.JPG", "JPG", true}, {"a.jpeg", "JPG", false},
        {"x.bmp", "BMP", true}, {"x.BMP", "BMP", true}, {".jpg", "BMP", false},
        {"jpg", "JPG", false},  {"", "", false},
    };
    for (const NameRow& r : names) {
        EXPECT_EQ(fileNameMatches(r.name, r.extension), r.matches) << r.name.toStdString();
    }

    EXPECT_EQ(saveFilter(6), "JPEG(*.JPG);;全てのファイル (*.*)");
    EXPECT_TRUE(saveFilter(8).startsWith("ビットマップファイル(*.BMP);;"))
        << saveFilter(8).toStdString();
    EXPECT_EQ(saveFilter(7), "全てのファイル (*.*)");
}

TEST(ImageLogic, ReplyClassification) {
    struct Row {
        QString reply;
        int length;
        Reply code;
        QString message;
    };
    const QString broken = "通信エラー発生！";
    const Row rows[] = {
        {"", 0, Reply::Nothing, "レスポンスが受信できませんでした"},
        {"\x06.", 2, Reply::Ack, ""},
        {"IMGSHP\x06.", 8, Reply::Ack, ""},
        {"\x15.", 2, Reply::Nak, "パラメータエラー"},
        {"\x05.", 2, Reply::Enq, "コマンドエラー"},
        // Only the received length counts.
        {"\x06.junk", 2, Reply::Ack, ""},
        {".", 1, Reply::Other, broken},
        {"ABC!", 4, Reply::Other, broken},
        {"\x06!", 2, Reply::Other, broken},
        {"x.", 2, Reply::Other, broken},
    };
    for (const Row& r : rows) {
        const ReplyCheck c = CheckResponse(r.reply, r.length);
        EXPECT_EQ(static_cast<int>(c.code), static_cast<int>(r.code)) << r.reply.toStdString();
        EXPECT_EQ(c.message, r.message) << r.reply.toStdString();
    }
}

TEST(ImageLogic, TableFacts) {
    struct ListRow {
        FieldId id;
        int defaultIndex;
        std::vector<int> data;
    };
    const std::vector<int> formats = {0, 1, 2, 3, 4, 5, 6, 8};
    const std::vector<int> grey = {8, 1};
    const std::vector<int> offOn = {0, 1};
    const ListRow lists[] = {
        {{CmbImgSnp, 0}, 1, {0, 1, 2}},    {{CmbImgSnp, 1}, 0, offOn},
        {{CmbImgSnp, 2}, 0, offOn},        {{CmbImgSnp, 3}, 0, offOn},
        {{CmbImgSnp, 4}, 0, {1, 2, 4, 8}}, {{CmbImgShp, 0}, 6, formats},
        {{CmbImgShp, 1}, 0, grey},         {{CmbImgShp, 2}, 0, {0, 1, 2}},
        {{CmbImgShp, 3}, 0, {0, 1, 2, 3}}, {{CmbImgShp, 4}, 0, offOn},
        {{CmbImgShp, 5}, 0, offOn},        {{CmbImgShp, 6}, 0, offOn},
        {{CmbImgShp, 7}, 0, offOn},        {{CmbImgShp, 8}, 1, {2}},
        {{CmbImgShp, 9}, 1, {1, 2, 3}},    {{CmbImgShp, 10}, 0, offOn},
        {{CmbImgBox, 0}, 6, formats},      {{CmbImgBox, 1}, 0, grey},
    };
    for (const ListRow& r : lists) {
        const Field* f = field(r.id);
        ASSERT_NE(f, nullptr) << controlName(r.id.control) << r.id.index;
        std::vector<int> data;
        for (const Item& item : f->items) data.push_back(item.data);
        EXPECT_EQ(f->defaultIndex, r.defaultIndex) << controlName(r.id.control) << r.id.index;
        EXPECT_EQ(data, r.data) << controlName(r.id.control) << r.id.index;
    }

    const int counts[kTabCount] = {10, 20, 15};
    std::size_t listCount = 0;
    for (int t = 0; t < kTabCount; ++t) {
        const TabTable& tab = table(static_cast<Tab>(t));
        EXPECT_EQ(storedFieldCount(tab.tab), counts[t]);
        std::set<int> labels;
        for (const Field& f : tab.fields) {
            if (f.kind == Kind::List) ++listCount;
            if (f.kind == Kind::Integer) {
                EXPECT_NE(f.refusal, nullptr) << controlName(f.id.control) << f.id.index;
                EXPECT_GT(f.maxLength, 0) << controlName(f.id.control) << f.id.index;
            }
            EXPECT_TRUE(labels.insert(f.label).second) << tab.keyword << " label " << f.label;
            EXPECT_GE(f.label, 0);
            EXPECT_LT(f.label, tab.labelCount) << tab.keyword;
        }
        if (tab.tab == Tab::Shp) {
            EXPECT_EQ(labels.count(10), 0u);
        }
    }
    // Every list of the three tabs is in the table above.
    EXPECT_EQ(listCount, std::size(lists));
}

}  // namespace
}  // namespace tavorin::image
