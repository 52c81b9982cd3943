#include "image_tabs.h"

#include <array>
#include <limits>

namespace tavorin::image {
namespace {

constexpr int kShortMax = std::numeric_limits<std::int16_t>::max();

// Items several lists share, written once.
constexpr Item kFormats[] = {
    {0, u"ＫＩＭ", "kim"},
    {1, u"TIFFバイナリ", "tiff-binary"},
    {2, u"TIFFバイナリＧ４圧縮", "tiff-g4"},
    {3, u"TIFFグレースケール", "tiff-grey"},
    {4, u"非圧縮バイナリTIFF", "tiff-raw-binary"},
    {5, u"非圧縮TIFFグレースケール", "tiff-raw-grey"},
    {6, u"ＪＰＥＧ", "jpeg"},
    {8, u"ＢＭＰ", "bmp"},
};
constexpr Item kGreyScale[] = {{8, u"グレースケール", "grey"}, {1, u"白黒", "bw"}};
constexpr Item kUse[] = {{0, u"使用しない", "off"}, {1, u"使用する", "on"}};
constexpr Item kOffOn[] = {{0, u"なし", "off"}, {1, u"あり", "on"}};

constexpr Item kStyles[] = {{0, u"デコーディングスタイル", "decoding"},
                            {1, u"フォトスタイル", "photo"},
                            {2, u"マニュアルスタイル", "manual"}};
constexpr Item kTrigger[] = {{0, u"すぐに撮影", "now"}, {1, u"トリガで撮影", "trigger"}};
constexpr Item kGain[] = {
    {1, u"なし", "none"}, {2, u"中", "medium"}, {4, u"大", "high"}, {8, u"最大", "max"}};
constexpr Item kFlip[] = {
    {0, u"なし", "none"}, {1, u"上下反転", "vertical"}, {2, u"左右反転", "horizontal"}};
constexpr Item kRotation[] = {{0, u"なし", "none"},
                              {1, u"右９０度", "right-90"},
                              {2, u"右１８０度", "180"},
                              {3, u"左９０度", "left-90"}};
constexpr Item kProtocol[] = {{2, u"なし", "none"}};
constexpr Item kPixels[] = {
    {1, u"全ピクセル", "1"}, {2, u"２ピクセルごと", "2"}, {3, u"３ピクセルごと", "3"}};
constexpr Item kHistogram[] = {{0, u"行わない", "off"}, {1, u"行う", "on"}};

constexpr FixedText kFlipTexts[] = {{1, "1IX"}, {2, "1IY"}};
constexpr FixedText kRotationTexts[] = {{1, "1IR"}, {2, "2IR"}, {3, "3IR"}};

constexpr Field list(Control c, int index, const char* option, int label, const char16_t* caption,
                     std::span<const Item> items, int defaultIndex, const char* letter,
                     Place place) {
    Field f{{c, index}, label, caption, Kind::List};
    f.option = option;
    f.items = items;
    f.defaultIndex = defaultIndex;
    f.letter = letter;
    f.place = place;
    return f;
}

constexpr Field integer(Control c, int index, const char* option, int label,
                        const char16_t* caption, const char16_t* hint, int maxLength,
                        const char* letter, Rule rule, int min, int max, const char16_t* refusal,
                        Place place) {
    Field f{{c, index}, label, caption, Kind::Integer};
    f.option = option;
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

constexpr Field millimetre(int index, const char* option, int label, const char16_t* caption,
                           bool zeroAllowed, int decimals, Place place) {
    Field f{{Control::TxtImgBoxmm, index}, label, caption, Kind::Millimetre};
    f.option = option;
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
    list(kSnpList, 0, "style", 0, u"ス タ イ ル：", kStyles, 1, "P", {S::Left, 0}),
    list(kSnpList, 1, "beep", 1, u"ビ  ー  プ ：", kOffOn, 0, "B", {S::Left, 1}),
    list(kSnpList, 2, "led", 5, u"読取ＬＥＤ：", kOffOn, 0, "L", {S::Left, 2}),
    list(kSnpList, 3, "trigger", 6, u"トリガ待ち：", kTrigger, 0, "T", {S::Left, 3}),
    list(kSnpList, 4, "gain", 3, u"ゲ   イ   ン ：", kGain, 0, "G", {S::Right, 1}),
    withNote(integer(kSnpText, 0, "exposure", 2, u"露  出  時  間：", u"0～7874(7874)", 4, "E",
                     kOpt, 0, 7874, u"0～7874の範囲の数値を入力してください", {S::Right, 0}),
             u"(×127μs)"),
    integer(kSnpText, 1, "delta", 4, u"許 容 デ ル タ：", u"0～255(255)", 3, "D", kOpt, 0, 255,
            u"0～255の範囲の数値を入力してください", {S::Right, 2}),
    integer(kSnpText, 2, "tries", 7, u"ト   ラ   イ   数：", u"0～10(6)", 2, "U", kOpt, 0, 10,
            u"0～10の範囲の数値を入力してください", {S::Right, 3}),
    integer(kSnpText, 3, "white", 8, u"ホ ワ イ ト 値：", u"0～255(125)", 3, "W", kOpt, 0, 255,
            u"0～255の範囲の数値を入力してください", {S::Right, 4}),
    integer(kSnpText, 4, "set-point", 9, u"セットポイント値：", u"1～99(50)", 2, "%", kOpt, 1, 99,
            u"1～99の範囲の数値を入力してください", {S::Right, 5}),
};

const Field kShpFields[] = {
    list(kShpList, 0, "format", 4, u"ﾌｧｲﾙﾌｫｰﾏｯﾄ：", kFormats, 6, "F", {S::Left, 0}),
    list(kShpList, 1, "depth", 2, u"グレースケール：", kGreyScale, 0, "D", {S::Left, 3}),
    withFixed(list(kShpList, 2, "flip", 6, u"イ メ ー ジ 反 転：", kFlip, 0, nullptr, {S::Left, 4}),
              kFlipTexts),
    withFixed(
        list(kShpList, 3, "rotate", 7, u"イ メ ー ジ 回 転：", kRotation, 0, nullptr, {S::Left, 5}),
        kRotationTexts),
    list(kShpList, 4, "blur", 19, u"ぼ か し 効 果：", kUse, 0, "V", {S::Left, 6}),
    list(kShpList, 5, "gloss", 1, u"光   沢   補   正：", kUse, 0, "C", {S::Right, 1}),
    list(kShpList, 6, "infinity-filter", 0, u"ｲﾝﾌｨﾆﾃｨﾌｨﾙﾀ：", kUse, 0, "A", {S::Right, 2}),
    list(kShpList, 7, "stretch", 5, u"ﾋｽﾄｸﾞﾗﾑｽﾄﾚｯﾁ：", kUse, 0, "H", {S::Right, 3}),
    // The protocol list's default position lies past its only item, which
    // the loader's out-of-range rule turns into that item.
    list(kShpList, 8, "protocol", 16, u"使用プロトコル：", kProtocol, 1, "P", {S::Send, 0}),
    list(kShpList, 9, "pixels", 17, u"送 信 ピ ク セ ル：", kPixels, 1, "S", {S::Send, 1}),
    list(kShpList, 10, "histogram", 20, u"ヒストグラム送信：", kHistogram, 0, "W", {S::Send, 2}),
    integer(kShpText, 0, "jpeg-quality", 8, u"JPEGｲﾒｰｼﾞ品質：", u"0～100(50)", 3, "J", kOpt, 0, 100,
            u"0～100の範囲の数値を入力してください", {S::Left, 2}),
    integer(kShpText, 1, "gamma", 9, u"ガ  ン  マ  補  正：", u"0～1000(0)", 4, "K", kOpt, 0, 1000,
            u"0～1000の範囲の数値を入力してください", {S::Right, 0}),
    integer(kShpText, 2, "edge", 3, u"エッジフィルタ：", u"0～24(0)", 2, "E", kOpt, 0, 24,
            u"0～24の範囲の数値を入力してください", {S::Right, 4}),
    integer(kShpText, 3, "text-filter", 18, u"ﾃｷｽﾄｲﾒｰｼﾞﾌｨﾙﾀ：", u"0～255(0)", 3, "U", kOpt, 0, 255,
            u"0～255の範囲の数値を入力してください", {S::Right, 5}),
    integer(kShpText, 4, "left", 11, u"左：", u"(0～1279)", 4, "L", kOpt, 0, 1279,
            u"0～1279の範囲の数値を入力してください", {S::Trim, 0, 0}),
    integer(kShpText, 5, "right", 12, u"右：", u"(0～1279)", 4, "R", kOpt, 0, 1279,
            u"0～1279の範囲の数値を入力してください", {S::Trim, 0, 1}),
    integer(kShpText, 6, "top", 13, u"上：", u"(0～959)", 3, "T", kOpt, 0, 959,
            u"0～959の範囲の数値を入力してください", {S::Trim, 1, 0}),
    integer(kShpText, 7, "bottom", 14, u"下：", u"(0～959)", 3, "B", kOpt, 0, 959,
            u"0～959の範囲の数値を入力してください", {S::Trim, 1, 1}),
    integer(kShpText, 8, "margin", 15, u"マージン：", u"(0～238)", 3, "M", kOpt, 0, 238,
            u"0～238の範囲の数値を入力してください", {S::Trim, 2, 0}),
};

const Field kBoxFields[] = {
    list(kBoxList, 0, "format", 1, u"ﾌｧｲﾙﾌｫｰﾏｯﾄ：", kFormats, 6, "F", {S::Left, 0}),
    list(kBoxList, 1, "depth", 0, u"グレースケール：", kGreyScale, 0, "D", {S::Left, 2}),
    integer(kBoxText, 0, "gamma", 3, u"ガンマ補正：", u"0～100(0)", 3, "K", kOpt, 0, 100,
            u"0～100の範囲の数値を入力してください", {S::Right, 0}),
    // The message says "0 and above" although 0 itself is refused here.
    integer(kBoxText, 1, "resolution", 4, u"解  像  度：", u"ピクセル", 2, "R", kOpt, 1, kShortMax,
            u"0以上の数値を入力してください", {S::Right, 1}),
    integer(kBoxText, 2, "aspect", 5, u"バーコード縦横比：", nullptr, 5, "S", kReq, 1, kShortMax,
            u"１以上の数値を入力してください", {S::Computed, 0}),
    integer(kBoxText, 3, "height", 13, u"イメージの高さ：", nullptr, 5, "H", kReq, 1, kShortMax,
            u"１以上の数値を入力してください", {S::Computed, 1}),
    integer(kBoxText, 4, "width", 14, u"イメージの幅：", nullptr, 5, "W", kReq, 1, kShortMax,
            u"１以上の数値を入力してください", {S::Computed, 2}),
    integer(kBoxText, 5, "x-offset", 11, u"水平オフセット：", nullptr, 5, "X", kReq, 0, kShortMax,
            u"０以上の数値を入力してください", {S::Computed, 3}),
    integer(kBoxText, 6, "y-offset", 12, u"垂直オフセット：", nullptr, 5, "Y", kReq, 0, kShortMax,
            u"０以上の数値を入力してください", {S::Computed, 4}),
    millimetre(0, "narrow-mm", 9, u"細エレメント幅：", false, 3, {S::BarcodeSize, 0}),
    millimetre(1, "barcode-height-mm", 10, u"バーコード高さ：", false, 2, {S::BarcodeSize, 1}),
    millimetre(2, "area-height-mm", 2, u"イメージの高さ：", false, 2, {S::AreaSize, 0}),
    millimetre(3, "area-width-mm", 6, u"イメージの幅：", false, 2, {S::AreaSize, 1}),
    millimetre(4, "area-x-mm", 7, u"水平オフセット：", true, 2, {S::AreaPosition, 0}),
    millimetre(5, "area-y-mm", 8, u"垂直オフセット：", true, 2, {S::AreaPosition, 1}),
};

const TabTable kTables[kTabCount] = {
    {Tab::Snp, u"撮影(IMGSNP)", "IMGSNP", kSnpFields, false, {S::Left, 0}, -1, 10, "snap"},
    {Tab::Shp, u"画像受信(IMGSHP)", "IMGSHP", kShpFields, true, {S::Left, 1}, 1, 21, "ship"},
    // The protocol modifier "2P" is part of the fixed beginning here.
    {Tab::Box,
     u"サインキャプチャ(IMGBOX）",
     "IMGBOX2P",
     kBoxFields,
     true,
     {S::Left, 1},
     2,
     15,
     "box"},
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
