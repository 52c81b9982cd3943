// The three image tabs as data: one row per field, in the order the
// commands and the settings texts take them (lists by index, then text boxes
// by index). The window builds its tabs from these rows, the composers read
// the letters and rules, the field checks read the ranges and messages, and
// the settings texts are split and joined along them. Nothing here knows a
// widget.
#pragma once

#include <QString>
#include <cstdint>
#include <span>

namespace tavorin::image {

// The tabs in their order on the tab control; the number is the index of
// the tab and of its run and revert buttons.
enum class Tab { Snp = 0, Shp = 1, Box = 2 };
constexpr int kTabCount = 3;

// The control arrays of the tabs; a field is an array and an index in it.
enum class Control {
    CmbImgSnp,
    TxtImgSnp,
    CmbImgShp,
    TxtImgShp,
    CmbImgBox,
    TxtImgBox,
    TxtImgBoxmm
};

struct FieldId {
    Control control;
    int index;
    friend bool operator==(const FieldId&, const FieldId&) = default;
};

enum class Kind {
    List,        // a drop-down list the user can only pick from
    Integer,     // a number box holding a whole number
    Millimetre,  // a number box holding a length in millimetres
};

// How a field enters its command.
enum class Rule {
    Always,       // the item data (or the number) and the letter, every time
    UnlessEmpty,  // the number and the letter, left out for an empty text
    Required,     // the number and the letter; an empty text refuses the command
    ByItemData,   // a fixed text chosen by the item data, nothing for the others
    Never,        // only feeds another field
};

struct Item {
    std::int16_t data;  // what the command sends for the item
    const char16_t* text;
    const char* name;  // how a command line names the item
};

// The fixed modifier a list sends for one item data (flip, rotation).
struct FixedText {
    std::int16_t data;
    const char* text;
};

// Where a field stands on its tab: a section (a column or a group), the
// row inside it and, in groups laid out as a grid, the column.
enum class Section {
    Left,
    Right,
    Trim,          // "トリミング"
    Send,          // "送信設定"
    BarcodeSize,   // "バーコードサイズ"
    AreaSize,      // "イメージエリアサイズ"
    AreaPosition,  // "イメージエリアの位置"
    Computed,      // "計算値"
};
struct Place {
    Section section;
    int row;
    int column = 0;
};

struct Field {
    FieldId id;
    int label;  // index in the tab's label array
    const char16_t* caption;
    Kind kind;
    std::span<const Item> items = {};
    const char16_t* hint = nullptr;  // the hint or unit beside a number box
    int maxLength = 0;
    int defaultIndex = 0;
    const char* letter = nullptr;
    Rule rule = Rule::Always;
    std::span<const FixedText> fixed = {};
    // Integer fields: the accepted range; open ranges end at the 16-bit
    // limit. Millimetre fields: min 0 with zeroAllowed false means "above 0".
    int min = 0;
    int max = 0;
    bool zeroAllowed = true;
    const char16_t* refusal = nullptr;
    int decimals = 0;  // millimetre fields: digits after the point
    Place place = {Section::Left, 0};
    const char16_t* note = nullptr;  // a second caption line under the label
    const char* option = nullptr;    // the command line's option for the field
};

struct TabTable {
    Tab tab;
    const char16_t* caption;  // the tab's caption
    const char* keyword;      // what every command of the tab starts with
    std::span<const Field> fields;
    bool hasFile;        // a save file row, a display check box and a browse button
    Place displayCheck;  // where the image display check box stands, when the tab has one
    int fileLabel;       // index of LblFname
    int labelCount;      // size of the tab's label array
    const char* option;  // the command line's option that runs the tab's command
};

const TabTable& table(Tab tab);
// The position of a field's row in its tab's table, or -1.
int rowOf(FieldId id);
// The field's row; null for an id that names no field.
const Field* field(FieldId id);
// The tab a control array lives on.
Tab tabOf(Control control);
// How many fields of the tab a settings text holds: every list and text box.
int storedFieldCount(Tab tab);
// The caption of a group section; empty for the plain columns.
QString sectionCaption(Section section);

// Texts the window shows beside the fields.
inline const QString kDisplayCaption = QStringLiteral("イメージ表示");
inline const QString kFileCaption = QStringLiteral("保存ファイル名：");
inline const QString kBrowseCaption = QStringLiteral("参照");
inline const QString kRunCaption = QStringLiteral("実行");
inline const QString kRevertCaption = QStringLiteral("元に戻す");
inline const QString kComputeCaption = QStringLiteral("計算");
inline const QString kComputePrompt =
    QStringLiteral("サイズと位置を入力してクリックしてください。 ==>");
inline const QString kPositionNote =
    QStringLiteral("※イメージエリアの中心から見たバーコードの位置");

// The label arrays' names, as the window's objects are called.
const char* labelArrayName(Tab tab);
const char* controlName(Control control);

}  // namespace tavorin::image
