// What the image tabs decide, without a widget: composing the three image
// commands from a tab's values, checking a number field when the user
// leaves it, the "計算" button's arithmetic, the settings texts that
// remember a tab, and the pieces of running a command that need no window
// (formats and their file names, the classification of the scanner's
// reply). Everything is driven by the tab tables of image_tabs.h.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "common.h"
#include "image_tabs.h"

namespace tavorin::image {

// One field's value as the window holds it: the selected position of a
// list (-1 for none), the text of a number box.
struct Value {
    int listIndex = -1;
    QString text;
};
// A tab's values, parallel to the rows of its table.
using Values = std::vector<Value>;

// The item data of a list's selected item; 0 with nothing selected.
int itemData(const Field& f, const Value& v);

// A composed command, or the reason it was refused: the message for the
// user and the field the focus goes to.
struct Composed {
    bool ok = false;
    QString command;
    QString message;
    std::optional<FieldId> focus;
};

Composed MakeImgSnpCommand(const Values& values);
// Refuses crop edges that contradict each other, and a margin beside them.
Composed MakeImgShpCommand(const Values& values);
// Refuses while one of the five required area values is empty.
Composed MakeImgBoxCommand(const Values& values);
Composed makeCommand(Tab tab, const Values& values);

// The outcome of checking a number field as the user leaves it: whether
// the focus may go, the text the field shows afterwards, and the message
// on refusal.
struct Checked {
    bool accepted = true;
    QString text;
    QString message;
};
// An empty text is accepted; a text that is not a number is refused as
// typed; an integer is rounded half to even and shown that way even when
// its range then refuses it; a length in millimetres is shown with the
// field's decimals once accepted. A value that would not fit the field's
// length or a 16-bit integer is refused with the field's message and left
// as typed, so that the field never shows anything but what it holds.
// Messages are in the current language (language.h).
//
// `Wording::Window` refuses with the field's own text, as the window has
// always shown it ("１以上の数値を入力してください" also for a value above the
// 16-bit range). `Wording::Limits` names the limits the check applies, the
// field's length included, for a caller who cannot see the field.
enum class Wording { Window, Limits };
Checked checkField(const Field& f, const QString& text, Wording wording = Wording::Window);
// What a field that holds no number (or "計算" without a usable narrow
// element width) is told, in the current language.
QString notANumberText();
// The message a refused value of the field gets, in the current language.
QString refusalText(const Field& f);
// The values a number field's check accepts: its range cut to what its
// length can hold, as decimal texts. `aboveLeast`: the least value itself
// is refused (a millimetre length that must be above 0).
struct Limits {
    QString least;
    QString most;
    bool aboveLeast = false;
};
Limits limits(const Field& f);

// "計算": the area values in narrow element widths. `ok` false when the
// narrow element width is unusable (the caller tells the user and focuses
// TxtImgBoxmm (0)). Otherwise `box[i]` holds the new text of TxtImgBox (i)
// where a millimetre value gave one; a result outside 16 bits or too long
// for its field leaves its target alone.
struct ComputedArea {
    bool ok = false;
    std::array<std::optional<QString>, 7> box;
};
ComputedArea computeArea(const std::array<QString, 6>& millimetres);

// The list position a stored text selects: the default for an empty text,
// else the text's value rounded half to even; a position outside the list
// (or 16 bits) selects the first item. -1 for a list without items.
int listIndexOrDefault(int itemCount, const QString& stored, int defaultIndex);
// The stored text, or the default when it is empty; never checked.
QString textOrDefault(const QString& stored, const QString& fallback);
// A remembered piece (a field's text or position, a file's name) as the
// tabs take it: as it stands, or empty when it holds a control character.
// Such a piece was not written by the program, and a file's name with a NUL
// in it would name another file; it is passed over as a position outside
// its list is, and the field shows its default.
QString wellFormed(const QString& stored);

// A tab's values from its settings text; a piece that is not well formed
// counts as missing.
Values loadFields(Tab tab, const QString& stored);
// The settings text of a tab's values: list positions, then texts, with
// "," between them. Texts are stored as they stand, commas included.
QString storeFields(Tab tab, const Values& values);

// What a format code of the file format lists means for the received file.
struct Format {
    QString extension;  // upper case; empty for a code no item carries
    QString filter;     // the save dialog's first filter, "desc|pattern|"
    bool viewer;        // the viewer can show it
};
Format formatFor(int code);
// True when the name's last four characters, upper-cased, are "." and the
// extension.
bool fileNameMatches(const QString& fileName, const QString& extension);
// The tab's file format list (CmbImgShp (0), CmbImgBox (0)); null for a tab
// without a file.
const Field* formatField(Tab tab);
// The format code the tab's values choose: the item data of that list.
int formatCode(Tab tab, const Values& values);
// The file an image of format `code` goes to: the name typed for it, which
// must end in the format's extension, or else the default name of `slot`.
struct ImageFile {
    bool ok = false;
    QString name;
    QString message;  // why a typed name is refused
};
ImageFile imageFileFor(int code, const QString& typed, int slot);
// The save dialog's filters in Qt's form: "desc|pattern|desc|pattern"
// pairs become "desc (pattern);;desc (pattern)".
QString qtFilter(const QString& pipeFilter);
// The filter every save dialog offers last, as a "desc|pattern" pair.
inline const QString kAllFilesFilter = QStringLiteral("全てのファイル|*.*");
// The format's own filter first, "全てのファイル" second, in Qt's form.
QString saveFilter(int code);

// How the scanner answered an image command. The numbers are the ones the
// program has always used for them.
enum class Reply : std::int16_t { Ack = 0, Nak = 1, Enq = 2, Nothing = 4, Other = 9 };
struct ReplyCheck {
    Reply code;
    QString message;  // what to tell the user; empty for an acknowledgement
};
ReplyCheck CheckResponse(const QString& reply, std::int32_t length);
// The same answers for reply bytes read as the terminal reads them: an ACK
// with no NAK or ENQ is an acknowledgement whatever ends the reply ('.' or
// '!'); an ENQ refuses the command, else a NAK refuses a parameter.
ReplyCheck classifyReply(const QByteArray& reply);
// What the user is told when an image command succeeded without a picture
// to show.
QString commandDoneText();
// Whether an image transfer that failed with `result` left its picture in
// the file: the library stores a picture that came whole before it reads
// the closing reply, so a failure after image bytes came that finds the
// file written (its stamp `after` differs from `before`) kept it. A file
// error never keeps one, nor does a FIFO or device, whose writing a cancel
// may have cut short.
bool pictureKept(std::int32_t result, std::int32_t received, const FileStamp& before,
                 const FileStamp& after);
// What the user is told besides the failure when the picture came whole
// and was stored in `file`, but its closing reply did not follow.
QString pictureKeptText(const QString& file);

}  // namespace tavorin::image
