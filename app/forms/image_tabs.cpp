#include "image_tabs.h"

#include <array>
#include <limits>

namespace tavorin::image {
namespace {

constexpr int kShortMax = std::numeric_limits<std::int16_t>::max();

// Items several lists share, written once.
constexpr Item kFormats[] = {
    {0, u"ＫＩＭ"},
    {1, u"TIFFバイナリ"},
    {2, u"TIFFバイナリＧ４圧縮"},
    {3, u"TIFFグレースケール"},
    {4, u"非圧縮バイナリTIFF"},
    {5, u"非圧縮TIFFグレースケール"},
    {6, u"ＪＰＥＧ"},
    {8, u"ＢＭＰ"},
};
constexpr Item kGreyScale[] = {{8, u"グレースケール"}, {1, u"白黒"}};
constexpr Item kUse[] = {{0, u"使用しない"}, {1, u"使用する"}};
constexpr Item kOffOn[] = {{0, u"なし"}, {1, u"あり"}};

constexpr Item kStyles[] = {
    {0, u"デコーディングスタイル"}, {1, u"フォトスタイル"}, {2, u"マニュアルスタイル"}};
constexpr Item kTrigger[] = {{0, u"すぐに撮影"}, {1, u"トリガで撮影"}};
constexpr Item kGain[] = {{1, u"なし"}, {2, u"中"}, {4, u"大"}, {8, u"最大"}};
constexpr Item kFlip[] = {{0, u"なし"}, {1, u"上下反転"}, {2, u"左右反転"}};
constexpr Item kRotation[] = {{0, u"なし"}, {1, u"右９０度"}, {2, u"右１８０度"}, {3, u"左９０度"}};
constexpr Item kProtocol[] = {{2, u"なし"}};
constexpr Item kPixels[] = {{1, u"全ピクセル"}, {2, u"２ピクセルごと"}, {3, u"３ピクセルごと"}};
constexpr Item kHistogram[] = {{0, u"行わない"}, {1, u"行う"}};

constexpr FixedText kFlipTexts[] = {{1, "1IX"}, {2, "1IY"}};
constexpr FixedText kRotationTexts[] = {{1, "1IR"}, {2, "2IR"}, {3, "3IR"}};

constexpr Field list(Control c, int index, int label, const char16_t* caption,
                     std::span<const Item> items, int defaultIndex, const char* letter,
                     Place place) {
    Field f{{c, index}, label, caption, Kind::List};
    f.items = items;
    f.defaultIndex = defaultIndex;
    f.letter = letter;
    f.place = place;
    return f;
}

constexpr Field integer(Control c, int index, int label, const char16_t* caption,
                        const char16_t* hint, int maxLength, const char* letter, Rule rule, int min,
                        int max, const char16_t* refusal, Place place) {
    Field f{{c, index}, label, caption, Kind::Integer};
    f.hint = hint;
    f.maxLength = maxLength;
    f.letter = letter;
    f.rule = rule;
    f.min = min;
    f.max = max;
    f.refusal = refusal;
    f.place = place;
    return f;
}

constexpr Field millimetre(int index, int label, const char16_t* caption, bool zeroAllowed,
                           int decimals, Place place) {
    Field f{{Control::TxtImgBoxmm, index}, label, caption, Kind::Millimetre};
    f.hint = u"mm";
    f.maxLength = 10;
    f.rule = Rule::Never;
    f.zeroAllowed = zeroAllowed;
    f.refusal =
        zeroAllowed ? u"０以上の数値を入力してください" : u"０よりも大きい数値を入力してください";
    f.decimals = decimals;
    f.place = place;
    return f;
}

constexpr Field withNote(Field f, const char16_t* note) {
    f.note = note;
    return f;
}
constexpr Field withFixed(Field f, std::span<const FixedText> fixed) {
    f.rule = Rule::ByItemData;
    f.fixed = fixed;
    return f;
}

using S = Section;
constexpr Control kSnpList = Control::CmbImgSnp;
constexpr Control kSnpText = Control::TxtImgSnp;
constexpr Control kShpList = Control::CmbImgShp;
constexpr Control kShpText = Control::TxtImgShp;
constexpr Control kBoxList = Control::CmbImgBox;
constexpr Control kBoxText = Control::TxtImgBox;
constexpr Rule kOpt = Rule::UnlessEmpty;
constexpr Rule kReq = Rule::Required;

const Field kSnpFields[] = {
    list(kSnpList, 0, 0, u"ス タ イ ル：", kStyles, 1, "P", {S::Left, 0}),
    list(kSnpList, 1, 1, u"ビ  ー  プ ：", kOffOn, 0, "B", {S::Left, 1}),
    list(kSnpList, 2, 5, u"読取ＬＥＤ：", kOffOn, 0, "L", {S::Left, 2}),
    list(kSnpList, 3, 6, u"トリガ待ち：", kTrigger, 0, "T", {S::Left, 3}),
    list(kSnpList, 4, 3, u"ゲ   イ   ン ：", kGain, 0, "G", {S::Right, 1}),
    withNote(integer(kSnpText, 0, 2, u"露  出  時  間：", u"0～7874(7874)", 4, "E", kOpt, 0, 7874,
                     u"0～7874の範囲の数値を入力してください", {S::Right, 0}),
             u"(×127μs)"),
    integer(kSnpText, 1, 4, u"許 容 デ ル タ：", u"0～255(255)", 3, "D", kOpt, 0, 255,
            u"0～255の範囲の数値を入力してください", {S::Right, 2}),
    integer(kSnpText, 2, 7, u"ト   ラ   イ   数：", u"0～10(6)", 2, "U", kOpt, 0, 10,
            u"0～10の範囲の数値を入力してください", {S::Right, 3}),
    integer(kSnpText, 3, 8, u"ホ ワ イ ト 値：", u"0～255(125)", 3, "W", kOpt, 0, 255,
            u"0～255の範囲の数値を入力してください", {S::Right, 4}),
    integer(kSnpText, 4, 9, u"セットポイント値：", u"1～99(50)", 2, "%", kOpt, 1, 99,
            u"1～99の範囲の数値を入力してください", {S::Right, 5}),
};

const Field kShpFields[] = {
    list(kShpList, 0, 4, u"ﾌｧｲﾙﾌｫｰﾏｯﾄ：", kFormats, 6, "F", {S::Left, 0}),
    list(kShpList, 1, 2, u"グレースケール：", kGreyScale, 0, "D", {S::Left, 3}),
    withFixed(list(kShpList, 2, 6, u"イ メ ー ジ 反 転：", kFlip, 0, nullptr, {S::Left, 4}),
              kFlipTexts),
    withFixed(list(kShpList, 3, 7, u"イ メ ー ジ 回 転：", kRotation, 0, nullptr, {S::Left, 5}),
              kRotationTexts),
    list(kShpList, 4, 19, u"ぼ か し 効 果：", kUse, 0, "V", {S::Left, 6}),
    list(kShpList, 5, 1, u"光   沢   補   正：", kUse, 0, "C", {S::Right, 1}),
    list(kShpList, 6, 0, u"ｲﾝﾌｨﾆﾃｨﾌｨﾙﾀ：", kUse, 0, "A", {S::Right, 2}),
    list(kShpList, 7, 5, u"ﾋｽﾄｸﾞﾗﾑｽﾄﾚｯﾁ：", kUse, 0, "H", {S::Right, 3}),
    // The protocol list's default position lies past its only item, which
    // the loader's out-of-range rule turns into that item.
    list(kShpList, 8, 16, u"使用プロトコル：", kProtocol, 1, "P", {S::Send, 0}),
    list(kShpList, 9, 17, u"送 信 ピ ク セ ル：", kPixels, 1, "S", {S::Send, 1}),
    list(kShpList, 10, 20, u"ヒストグラム送信：", kHistogram, 0, "W", {S::Send, 2}),
    integer(kShpText, 0, 8, u"JPEGｲﾒｰｼﾞ品質：", u"0～100(50)", 3, "J", kOpt, 0, 100,
            u"0～100の範囲の数値を入力してください", {S::Left, 2}),
    integer(kShpText, 1, 9, u"ガ  ン  マ  補  正：", u"0～1000(0)", 4, "K", kOpt, 0, 1000,
            u"0～1000の範囲の数値を入力してください", {S::Right, 0}),
    integer(kShpText, 2, 3, u"エッジフィルタ：", u"0～24(0)", 2, "E", kOpt, 0, 24,
            u"0～24の範囲の数値を入力してください", {S::Right, 4}),
    integer(kShpText, 3, 18, u"ﾃｷｽﾄｲﾒｰｼﾞﾌｨﾙﾀ：", u"0～255(0)", 3, "U", kOpt, 0, 255,
            u"0～255の範囲の数値を入力してください", {S::Right, 5}),
    integer(kShpText, 4, 11, u"左：", u"(0～1279)", 4, "L", kOpt, 0, 1279,
            u"0～1279の範囲の数値を入力してください", {S::Trim, 0, 0}),
    integer(kShpText, 5, 12, u"右：", u"(0～1279)", 4, "R", kOpt, 0, 1279,
            u"0～1279の範囲の数値を入力してください", {S::Trim, 0, 1}),
    integer(kShpText, 6, 13, u"上：", u"(0～959)", 3, "T", kOpt, 0, 959,
            u"0～959の範囲の数値を入力してください", {S::Trim, 1, 0}),
    integer(kShpText, 7, 14, u"下：", u"(0～959)", 3, "B", kOpt, 0, 959,
            u"0～959の範囲の数値を入力してください", {S::Trim, 1, 1}),
    integer(kShpText, 8, 15, u"マージン：", u"(0～238)", 3, "M", kOpt, 0, 238,
            u"0～238の範囲の数値を入力してください", {S::Trim, 2, 0}),
};

const Field kBoxFields[] = {
    list(kBoxList, 0, 1, u"ﾌｧｲﾙﾌｫｰﾏｯﾄ：", kFormats, 6, "F", {S::Left, 0}),
    list(kBoxList, 1, 0, u"グレースケール：", kGreyScale, 0, "D", {S::Left, 2}),
    integer(kBoxText, 0, 3, u"ガンマ補正：", u"0～100(0)", 3, "K", kOpt, 0, 100,
            u"0～100の範囲の数値を入力してください", {S::Right, 0}),
    // The message says "0 and above" although 0 itself is refused here.
    integer(kBoxText, 1, 4, u"解  像  度：", u"ピクセル", 2, "R", kOpt, 1, kShortMax,
            u"0以上の数値を入力してください", {S::Right, 1}),
    integer(kBoxText, 2, 5, u"バーコード縦横比：", nullptr, 5, "S", kReq, 1, kShortMax,
            u"１以上の数値を入力してください", {S::Computed, 0}),
    integer(kBoxText, 3, 13, u"イメージの高さ：", nullptr, 5, "H", kReq, 1, kShortMax,
            u"１以上の数値を入力してください", {S::Computed, 1}),
    integer(kBoxText, 4, 14, u"イメージの幅：", nullptr, 5, "W", kReq, 1, kShortMax,
            u"１以上の数値を入力してください", {S::Computed, 2}),
    integer(kBoxText, 5, 11, u"水平オフセット：", nullptr, 5, "X", kReq, 0, kShortMax,
            u"０以上の数値を入力してください", {S::Computed, 3}),
    integer(kBoxText, 6, 12, u"垂直オフセット：", nullptr, 5, "Y", kReq, 0, kShortMax,
            u"０以上の数値を入力してください", {S::Computed, 4}),
    millimetre(0, 9, u"細エレメント幅：", false, 3, {S::BarcodeSize, 0}),
    millimetre(1, 10, u"バーコード高さ：", false, 2, {S::BarcodeSize, 1}),
    millimetre(2, 2, u"イメージの高さ：", false, 2, {S::AreaSize, 0}),
    millimetre(3, 6, u"イメージの幅：", false, 2, {S::AreaSize, 1}),
    millimetre(4, 7, u"水平オフセット：", true, 2, {S::AreaPosition, 0}),
    millimetre(5, 8, u"垂直オフセット：", true, 2, {S::AreaPosition, 1}),
};

const TabTable kTables[kTabCount] = {
    {Tab::Snp, u"撮影(IMGSNP)", "IMGSNP", kSnpFields, false, {S::Left, 0}, -1, 10},
    {Tab::Shp, u"画像受信(IMGSHP)", "IMGSHP", kShpFields, true, {S::Left, 1}, 1, 21},
    // The protocol modifier "2P" is part of the fixed beginning here.
    {Tab::Box, u"サインキャプチャ(IMGBOX）", "IMGBOX2P", kBoxFields, true, {S::Left, 1}, 2, 15},
};

}  // namespace

const TabTable& table(Tab tab) {
    return kTables[static_cast<int>(tab)];
}

Tab tabOf(Control control) {
    switch (control) {
        case Control::CmbImgSnp:
        case Control::TxtImgSnp:
            return Tab::Snp;
        case Control::CmbImgShp:
        case Control::TxtImgShp:
            return Tab::Shp;
        default:
            return Tab::Box;
    }
}

int rowOf(FieldId id) {
    const auto fields = table(tabOf(id.control)).fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].id == id) return static_cast<int>(i);
    }
    return -1;
}

const Field* field(FieldId id) {
    const int row = rowOf(id);
    return row < 0 ? nullptr : &table(tabOf(id.control)).fields[static_cast<std::size_t>(row)];
}

int storedFieldCount(Tab tab) {
    return static_cast<int>(table(tab).fields.size());
}

QString sectionCaption(Section section) {
    switch (section) {
        case Section::Trim:
            return QStringLiteral("トリミング");
        case Section::Send:
            return QStringLiteral("送信設定");
        case Section::BarcodeSize:
            return QStringLiteral("バーコードサイズ");
        case Section::AreaSize:
            return QStringLiteral("イメージエリアサイズ");
        case Section::AreaPosition:
            return QStringLiteral("イメージエリアの位置");
        case Section::Computed:
            return QStringLiteral("計算値");
        default:
            return QString();
    }
}

const char* labelArrayName(Tab tab) {
    static const char* const names[] = {"LblSnp", "LblShp", "LblBox"};
    return names[static_cast<int>(tab)];
}

const char* controlName(Control control) {
    static const char* const names[] = {"CmbImgSnp", "TxtImgSnp", "CmbImgShp",  "TxtImgShp",
                                        "CmbImgBox", "TxtImgBox", "TxtImgBoxmm"};
    return names[static_cast<int>(control)];
}

}  // namespace tavorin::image
