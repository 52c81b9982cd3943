#include "image_logic.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <limits>

#include "common.h"
#include "language.h"
#include "numbers.h"
#include "ombrix.h"
#include "terminal_logic.h"

namespace tavorin::image {
namespace {

constexpr std::int64_t kShortMin = std::numeric_limits<std::int16_t>::min();
constexpr std::int64_t kShortMax = std::numeric_limits<std::int16_t>::max();

const Text kNotANumber = {u"数値を入力してください", "enter a number"};
// The wording of a closed range, which most fields' own texts follow.
const Text kRange = {u"%1～%2の範囲の数値を入力してください", "enter a number from %1 to %2"};
const Text kAboveZeroUpTo = {u"０よりも大きく%1以下の数値を入力してください",
                             "enter a number greater than 0 and not above %1"};

const Text kParameterError = {u"パラメータエラー", "parameter error"};
const Text kCommandError = {u"コマンドエラー", "command error"};
const Text kOtherReply = {u"通信エラー発生！", "communication error occurred"};
const Text kNoReply = {u"レスポンスが受信できませんでした", "no response was received"};

// The largest value whose text fits `length` characters: all nines, with
// `decimals` of them after a decimal point when there are any.
double longestValue(int length, int decimals) {
    const int whole = decimals > 0 ? length - decimals - 1 : length;
    return std::pow(10.0, whole) - std::pow(10.0, -decimals);
}

QString text(const char16_t* s) {
    return s ? QString::fromUtf16(s) : QString();
}

const Value& valueOf(const Values& values, FieldId id) {
    static const Value none;
    int row = rowOf(id);
    return row >= 0 && static_cast<std::size_t>(row) < values.size()
               ? values[static_cast<std::size_t>(row)]
               : none;
}

Composed refuse(const QString& message, FieldId focus) {
    Composed c;
    c.message = message;
    c.focus = focus;
    return c;
}

// The crop edges must not contradict each other, and a margin crops on its
// own: the first failing check decides.
std::optional<Composed> cropRefusal(const Values& values) {
    auto t = [&](int index) -> const QString& {
        return valueOf(values, {Control::TxtImgShp, index}).text;
    };
    auto n = [&](int index) { return LeadingNumber(t(index)); };
    if (!t(4).isEmpty() && !t(5).isEmpty() && n(5) <= n(4)) {
        return refuse(localized({u"右には左より大きな数値を入力してください",
                                 "the right edge must be greater than the left one"}),
                      {Control::TxtImgShp, 5});
    }
    if (!t(6).isEmpty() && !t(7).isEmpty() && n(7) <= n(6)) {
        return refuse(localized({u"下には上より大きな数値を入力してください",
                                 "the bottom edge must be greater than the top one"}),
                      {Control::TxtImgShp, 7});
    }
    if (!t(8).isEmpty() &&
        (!t(4).isEmpty() || !t(5).isEmpty() || !t(6).isEmpty() || !t(7).isEmpty())) {
        return refuse(localized({u"左・右・上・下を指定した場合、マージンは指定できません",
                                 "a margin cannot be given together with left, right, top or "
                                 "bottom"}),
                      {Control::TxtImgShp, 8});
    }
    return std::nullopt;
}

// What a field accepts, said from the check itself.
QString limitsText(const Field& f) {
    const Limits l = limits(f);
    return l.aboveLeast ? localized(kAboveZeroUpTo).arg(l.most)
                        : localized(kRange).arg(l.least, l.most);
}

}  // namespace

Limits limits(const Field& f) {
    if (f.kind == Kind::Millimetre) {
        const QString most = FixedDecimal(longestValue(f.maxLength, f.decimals), f.decimals);
        return {QStringLiteral("0"), most, !f.zeroAllowed};
    }
    std::int64_t most = std::min<std::int64_t>(f.max, kShortMax);
    std::int64_t least = std::max<std::int64_t>(f.min, kShortMin);
    if (f.maxLength > 0) {
        most = std::min(most, static_cast<std::int64_t>(longestValue(f.maxLength, 0)));
        // A minus sign takes one of the characters.
        least = std::max(least, -static_cast<std::int64_t>(longestValue(f.maxLength - 1, 0)));
    }
    return {QString::number(least), QString::number(most), false};
}

QString notANumberText() {
    return localized(kNotANumber);
}

QString refusalText(const Field& f) {
    // The windows speak only Japanese, with each field's own text; the
    // English is said from the limits the check applies, so that it cannot
    // promise anything else.
    if (language() != Language::English) return text(f.refusal);
    return limitsText(f);
}

int itemData(const Field& f, const Value& v) {
    if (v.listIndex < 0 || static_cast<std::size_t>(v.listIndex) >= f.items.size()) return 0;
    return f.items[static_cast<std::size_t>(v.listIndex)].data;
}

Composed makeCommand(Tab tab, const Values& values) {
    const TabTable& t = table(tab);
    if (tab == Tab::Shp) {
        if (auto refused = cropRefusal(values)) return *refused;
    }
    // Only the first empty required field is reported.
    for (const Field& f : t.fields) {
        if (f.rule == Rule::Required && valueOf(values, f.id).text.isEmpty()) {
            return refuse(notANumberText(), f.id);
        }
    }
    Composed c;
    c.ok = true;
    c.command = QString::fromLatin1(t.keyword);
    for (const Field& f : t.fields) {
        const Value& v = valueOf(values, f.id);
        const QString letter = QString::fromLatin1(f.letter);
        switch (f.rule) {
            case Rule::Always:
                c.command += QString::number(itemData(f, v)) + letter;
                break;
            case Rule::ByItemData:
                for (const FixedText& fixed : f.fixed) {
                    if (fixed.data == itemData(f, v)) c.command += QString::fromLatin1(fixed.text);
                }
                break;
            case Rule::UnlessEmpty:
                // Only an exactly empty text is left out; blanks count as 0.
                if (v.text.isEmpty()) break;
                [[fallthrough]];
            case Rule::Required:
                c.command += NumberFromText(v.text) + letter;
                break;
            case Rule::Never:
                break;
        }
    }
    return c;
}

Composed MakeImgSnpCommand(const Values& values) {
    return makeCommand(Tab::Snp, values);
}
Composed MakeImgShpCommand(const Values& values) {
    return makeCommand(Tab::Shp, values);
}
Composed MakeImgBoxCommand(const Values& values) {
    return makeCommand(Tab::Box, values);
}

Checked checkField(const Field& f, const QString& typed, Wording wording) {
    Checked out;
    out.text = typed;
    if (typed.isEmpty() || f.kind == Kind::List) return out;
    auto refuse = [&](const QString& message) {
        out.accepted = false;
        out.message = message;
        return out;
    };
    if (!IsNumber(typed)) return refuse(notANumberText());
    const double x = LeadingNumber(typed);
    const QString refusal = wording == Wording::Limits ? limitsText(f) : refusalText(f);
    if (f.kind == Kind::Integer) {
        const std::int64_t v = RoundHalfEven(x);
        if (v < kShortMin || v > kShortMax) return refuse(refusal);
        const QString normalised = QString::number(v);
        if (f.maxLength > 0 && normalised.size() > f.maxLength) return refuse(refusal);
        // Shown in its rounded form before the range decides, so that a
        // refused value is seen as the number it was taken for.
        out.text = normalised;
        if (v < f.min || v > f.max) return refuse(refusal);
        return out;
    }
    if (f.zeroAllowed ? x < 0 : x <= 0) return refuse(refusal);
    const QString formatted = FixedDecimal(x, f.decimals);
    if (f.maxLength > 0 && formatted.size() > f.maxLength) return refuse(refusal);
    out.text = formatted;
    return out;
}

ComputedArea computeArea(const std::array<QString, 6>& mm) {
    ComputedArea out;
    if (mm[0].isEmpty() || !IsNumber(mm[0])) return out;
    const double width = LeadingNumber(mm[0]);
    if (!(width > 0)) return out;
    out.ok = true;
    for (int i = 1; i < 6; ++i) {
        const QString& source = mm[static_cast<std::size_t>(i)];
        if (source.isEmpty() || !IsNumber(source)) continue;
        const std::int64_t v = RoundHalfEven(LeadingNumber(source) / width);
        const Field* target = field({Control::TxtImgBox, i + 1});
        const QString result = QString::number(v);
        if (v < kShortMin || v > kShortMax || result.size() > target->maxLength) continue;
        out.box[static_cast<std::size_t>(i + 1)] = result;
    }
    return out;
}

int listIndexOrDefault(int itemCount, const QString& stored, int defaultIndex) {
    if (itemCount <= 0) return -1;
    const std::int64_t wanted =
        stored.isEmpty() ? defaultIndex : RoundHalfEven(LeadingNumber(stored));
    if (wanted < 0 || wanted >= itemCount || wanted > kShortMax) return 0;
    return static_cast<int>(wanted);
}

QString textOrDefault(const QString& stored, const QString& fallback) {
    return stored.isEmpty() ? fallback : stored;
}

QString wellFormed(const QString& stored) {
    return ControlCharacterIn(stored) ? QString() : stored;
}

Values loadFields(Tab tab, const QString& stored) {
    const auto fields = table(tab).fields;
    const QStringList pieces = SplitFields(stored, static_cast<int>(fields.size()));
    Values values(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const QString piece = static_cast<qsizetype>(i) < pieces.size()
                                  ? wellFormed(pieces[static_cast<qsizetype>(i)])
                                  : QString();
        const Field& f = fields[i];
        if (f.kind == Kind::List) {
            values[i].listIndex =
                listIndexOrDefault(static_cast<int>(f.items.size()), piece, f.defaultIndex);
        } else {
            values[i].text = textOrDefault(piece, QString());
        }
    }
    return values;
}

QString storeFields(Tab tab, const Values& values) {
    const auto fields = table(tab).fields;
    QString lists;
    QStringList texts;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Value v = i < values.size() ? values[i] : Value{};
        if (fields[i].kind == Kind::List) {
            lists += QString::number(v.listIndex) + u',';
        } else {
            texts << v.text;
        }
    }
    return lists + texts.join(u',');
}

Format formatFor(int code) {
    switch (code) {
        case 0:
            return {QStringLiteral("KIM"), QStringLiteral("KIM(*.KIM)|*.KIM|"), false};
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
            return {QStringLiteral("TIF"), QStringLiteral("TIFF(*.TIF)|*.TIF|"), false};
        case 6:
            return {QStringLiteral("JPG"), QStringLiteral("JPEG(*.JPG)|*.JPG|"), true};
        case 8:
            return {QStringLiteral("BMP"), QStringLiteral("ビットマップファイル(*.BMP)|*.BMP|"),
                    true};
        default:
            return {QString(), QString(), code >= 6};
    }
}

bool fileNameMatches(const QString& fileName, const QString& extension) {
    return fileName.right(4).toUpper() == u'.' + extension;
}

const Field* formatField(Tab tab) {
    switch (tab) {
        case Tab::Shp:
            return field({Control::CmbImgShp, 0});
        case Tab::Box:
            return field({Control::CmbImgBox, 0});
        default:
            return nullptr;
    }
}

int formatCode(Tab tab, const Values& values) {
    const Field* f = formatField(tab);
    return f ? itemData(*f, valueOf(values, f->id)) : 0;
}

ImageFile imageFileFor(int code, const QString& typed, int slot) {
    const Format format = formatFor(code);
    // A bare default name: the picture lands in the current directory.
    if (typed.isEmpty()) return {true, MakeImageFileName(slot, format.extension), QString()};
    if (!fileNameMatches(typed, format.extension)) {
        return {false, QString(),
                localized({u"ファイルフォーマットとファイル名が合っていません",
                           "the file name does not end in the file format's extension"})};
    }
    return {true, typed, QString()};
}

QString qtFilter(const QString& pipeFilter) {
    const QStringList parts = pipeFilter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& desc = parts[i];
        const QString& pattern = parts[i + 1];
        if (desc.isEmpty() && pattern.isEmpty()) continue;
        // Qt takes the patterns from the description's last parentheses;
        // a description that already shows its pattern there needs nothing.
        if (desc.endsWith(u'(' + pattern + u')')) {
            filters << desc;
        } else {
            filters << desc + QStringLiteral(" (") + pattern + u')';
        }
    }
    return filters.join(QStringLiteral(";;"));
}

QString saveFilter(int code) {
    return qtFilter(formatFor(code).filter + kAllFilesFilter);
}

ReplyCheck CheckResponse(const QString& reply, std::int32_t length) {
    if (length == 0) return {Reply::Nothing, localized(kNoReply)};
    if (length >= 2 && length <= reply.size() && reply[length - 1] == u'.') {
        switch (reply[length - 2].unicode()) {
            case 0x05:
                return {Reply::Enq, localized(kCommandError)};
            case 0x06:
                return {Reply::Ack, QString()};
            case 0x15:
                return {Reply::Nak, localized(kParameterError)};
            default:
                break;
        }
    }
    return {Reply::Other, localized(kOtherReply)};
}

ReplyCheck classifyReply(const QByteArray& reply) {
    if (reply.isEmpty()) return {Reply::Nothing, localized(kNoReply)};
    switch (terminal::render(reply).ack) {
        case terminal::Acked:
            return {Reply::Ack, QString()};
        case terminal::Refused:
            if (reply.contains('\x05')) return {Reply::Enq, localized(kCommandError)};
            return {Reply::Nak, localized(kParameterError)};
        default:
            return {Reply::Other, localized(kOtherReply)};
    }
}

QString commandDoneText() {
    return localized({u"イメージコマンド正常終了", "the image command completed"});
}

bool pictureKept(std::int32_t result, std::int32_t received, const FileStamp& before,
                 const FileStamp& after) {
    return result < 0 && result != OMBRIX_E_FILE && received > 0 && after.regular &&
           !(after == before);
}

QString pictureKeptText(const QString& file) {
    return localized({u"画像は %1 に保存しましたが、スキャナの終了応答がありませんでした",
                      "the picture was stored whole in %1, but the scanner's closing reply did "
                      "not come"})
        .arg(file);
}

}  // namespace tavorin::image
