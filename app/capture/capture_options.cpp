#include "capture_options.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <limits>

#include "binding.h"
#include "common.h"
#include "numbers.h"
#include "ombrix.h"
#include "terminal_logic.h"

namespace tavorin::capture {
namespace {

using image::Field;
using image::Kind;
using image::Tab;

constexpr StatusRow kStatuses[] = {
    {kAck, {u"スキャナが ACK で応答した", "the scanner acknowledged (ACK)"}},
    {kUsage, {u"コマンドラインの誤り", "the command line is wrong"}},
    {kRefused,
     {u"項目のチェック、コマンドの組み立てまたはファイル名が拒否した",
      "a field's check, the command's composition or the file name refused"}},
    {kNak, {u"スキャナがパラメータを拒否した (NAK)", "the scanner refused a parameter (NAK)"}},
    {kEnq, {u"スキャナがコマンドを拒否した (ENQ)", "the scanner refused the command (ENQ)"}},
    {kNoReply, {u"レスポンスが空だった", "the scanner's reply was empty"}},
    {kOtherReply,
     {u"ACK・NAK・ENQ のどれでもないレスポンス", "a reply that is neither ACK, NAK nor ENQ"}},
    {kNoLibrary, {u"リンクライブラリを読み込めない", "the link library could not be loaded"}},
    {kOutputLost, {u"標準出力に書き込めない", "standard output could not be written"}},
    {11, {u"ポートを開けない", "the port could not be opened"}},
    {12, {u"ファイルを作成・書き込みできない", "the image file could not be written"}},
    {13,
     {u"受信タイムアウト (全体が届いた画像は残す)",
      "receive time-out (a picture that came whole is kept)"}},
    {kCancelled,
     {u"キャンセル (SIGINT・SIGTERM・SIGHUP などのシグナルを含む)",
      "cancelled (also by a signal: SIGINT, SIGTERM, SIGHUP ...)"}},
    {15, {u"ライブラリへのパラメータエラー", "parameter error in the library"}},
    {16,
     {u"通信エラー (回線が切れた、ヘッダが不正)", "communication error (line gone, bad header)"}},
    {17, {u"バッファ・ポート表に空きがない", "no room (a reply too long, the port table full)"}},
    {kBusy,
     {u"ポートが使用中 (ネットワークポートのサーバーが他の接続に使われている)",
      "the port is busy (a network port's server serves another connection)"}},
    {19, {u"その他のライブラリのエラー", "any other failure of the library"}},
    {kNoPicture,
     {u"IMGSHP・IMGBOX にスキャナが画像なしで応答した",
      "the scanner answered a ship or box command without a picture"}},
};

// The options that are no field of a tab, in the order --help shows them.
struct Option {
    const char* name;
    const char* argument;  // null for a flag
    const char* help;
    bool path = false;  // its value is a file's name, taken as the system gives it
};
constexpr Option kOptions[] = {
    {"port", "COM<n>|PATH|URL",
     "the scanner's port: a COM number as the library resolves it, a device path such as "
     "/dev/ttyUSB0 or /dev/serial/by-id/..., or a network port rfc2217://HOST:PORT or "
     "socket://HOST:PORT (default: the port of SCANNER1 in --settings)",
     true},
    {"line", "BAUD,DATA,PARITY,STOP",
     "line settings, e.g. 115200,8,N,1 (default: SCANNER1's in --settings, else the connection "
     "dialog's first choices; see below)"},
    {"flow", "none|rts|xon", "flow control: RTS/CTS or XON/XOFF (default as --line)"},
    {"timeout", "MS", "the data time-out in ms, as the connection dialog's (default as --line)"},
    {"list", nullptr, "list the ports the connection dialog offers: COM number, device, name"},
    {"snap", nullptr, "send IMGSNP, composed from the 撮影(IMGSNP) options below"},
    {"ship", nullptr, "send IMGSHP, composed from the 画像受信(IMGSHP) options below"},
    {"box", nullptr, "send IMGBOX, composed from the サインキャプチャ(IMGBOX) options below"},
    {"raw", "TEXT", "send TEXT as typed (any command; an image reply goes to --output)"},
    {"settings", "FILE",
     "start from the fields, file name and connection remembered in the program's Tavorin.ini; "
     "they are checked as the options are, and one that holds a control character (a NUL, a "
     "line break) is refused",
     true},
    {"compute", nullptr, "IMGBOX: the \"計算\" button: the area values from the -mm options"},
    {"output", "FILE",
     "where the image goes, written whole or not at all (default: the program's default name, "
     "Tavorin_Image1.<EXT>, in the current directory; an empty name is refused); a picture "
     "that came whole is kept even when the scanner's closing reply then fails to come",
     true},
    {"json", nullptr,
     "print one JSON object at the end: result, message, command, file (the picture written, "
     "also when a failure followed it), bytes (the picture's bytes that arrived, also when the "
     "transfer broke), seconds, bytes_per_s, reply"},
    {"help", nullptr, "show this text"},
};

const Option* optionNamed(const QString& name) {
    for (const Option& o : kOptions) {
        if (name == QLatin1String(o.name)) return &o;
    }
    return nullptr;
}

const Field* fieldNamed(Tab tab, const QString& name) {
    for (const Field& f : image::table(tab).fields) {
        if (f.option && name == QLatin1String(f.option)) return &f;
    }
    return nullptr;
}

// Any tab's field of that name, to tell a misplaced option from an unknown one.
bool isFieldOption(const QString& name) {
    for (int t = 0; t < image::kTabCount; ++t) {
        if (fieldNamed(static_cast<Tab>(t), name)) return true;
    }
    return false;
}

// The settings texts that remember a tab's fields and its file name.
QString Common::*fieldsText(Tab tab) {
    return tab == Tab::Snp   ? &Common::ImgSnpSetting
           : tab == Tab::Shp ? &Common::ImgShpSetting
                             : &Common::ImgBoxSetting;
}
QString Common::*fileText(Tab tab) {
    return tab == Tab::Shp   ? &Common::ImgShpFileSetting
           : tab == Tab::Box ? &Common::ImgBoxFileSetting
                             : nullptr;
}

QString optionOf(const image::FieldId& id) {
    const Field* f = image::field(id);
    return f && f->option ? QStringLiteral("--") + QLatin1String(f->option) : QString();
}

// The first token of a description piece, lower case: ",RTS/CTS" -> "rts".
QString leadingToken(const char* piece) {
    const QString text = QString::fromLatin1(piece).toLower();
    static const QRegularExpression token(QStringLiteral("[a-z0-9]+"));
    const QRegularExpressionMatch m = token.match(text);
    return m.hasMatch() ? m.captured() : QString();
}

// What a number field accepts, said from the limits its check applies.
QString acceptedRange(const Field& f) {
    const image::Limits l = image::limits(f);
    if (l.aboveLeast) return QStringLiteral("> %1, <= %2").arg(l.least, l.most);
    return QStringLiteral("%1..%2").arg(l.least, l.most);
}

}  // namespace

std::span<const StatusRow> statuses() {
    return kStatuses;
}

QString statusMeaning(int status) {
    for (const StatusRow& s : kStatuses) {
        if (s.status == status) return localized(s.meaning);
    }
    return QString();
}

int statusForLibrary(std::int32_t code) {
    if (code >= OMBRIX_E_BUSY && code <= OMBRIX_E_NOT_OPEN) return kLibraryBase - code;
    return kLibraryBase + 9;
}

int statusForReply(image::Reply reply) {
    switch (reply) {
        case image::Reply::Ack:
            return kAck;
        case image::Reply::Nak:
            return kNak;
        case image::Reply::Enq:
            return kEnq;
        case image::Reply::Nothing:
            return kNoReply;
        default:
            return kOtherReply;
    }
}

int statusForOpen(std::int32_t code, std::int32_t reason) {
    return reason == OMBRIX_OPEN_TURNED_AWAY ? kBusy : statusForLibrary(code);
}

ReplyOutcome replyOutcome(std::optional<image::Tab> tab, bool picture, const QByteArray& reply) {
    // Read as the terminal reads a reply: by its ACK, NAK or ENQ, whether
    // it ends in '.' or '!'.
    const image::ReplyCheck check = image::classifyReply(reply);
    if (check.code != image::Reply::Ack) return {statusForReply(check.code), check.message};
    if (!tab) return {kAck, localized({u"コマンド正常終了", "the command completed"})};
    if (*tab != image::Tab::Snp && !picture) {
        return {kNoPicture, localized({u"スキャナが画像なしで応答しました: %1",
                                       "the scanner answered without a picture: %1"})
                                .arg(terminal::render(reply).text)};
    }
    return {kAck, image::commandDoneText()};
}

int itemIndex(const Field& f, const QString& value) {
    for (std::size_t i = 0; i < f.items.size(); ++i) {
        const image::Item& item = f.items[i];
        if ((item.name && value.compare(QLatin1String(item.name), Qt::CaseInsensitive) == 0) ||
            value == QString::fromUtf16(item.text)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int choiceIndex(comsetting::List list, const QString& value) {
    const std::vector<comsetting::Choice>& choices = comsetting::list(list).choices;
    const QString word = value.trimmed().toLower();
    if (word.isEmpty()) return -1;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        const comsetting::Choice& c = choices[i];
        if (value == QString::fromUtf16(c.entry)) return static_cast<int>(i);
        if (list == comsetting::Baud) {
            // "115.2Kbps" is 115200 bits a second.
            const QString piece = QString::fromLatin1(c.piece);
            const double bps = LeadingNumber(piece) * (piece.contains(u'K') ? 1000 : 1);
            if (IsNumber(word) && std::lround(bps) == std::lround(LeadingNumber(word))) {
                return static_cast<int>(i);
            }
            continue;
        }
        const QString whole = QString::fromLatin1(c.piece).toLower().remove(u',');
        if (word == whole || leadingToken(c.piece).startsWith(word)) return static_cast<int>(i);
    }
    return -1;
}

int rawFormatCode(const QString& command) {
    for (Tab tab : {Tab::Shp, Tab::Box}) {
        const QString keyword = QString::fromLatin1(image::table(tab).keyword).left(6);
        if (!command.startsWith(keyword)) continue;
        const Field* format = image::formatField(tab);
        // Modifiers are a number followed by its letters.
        static const QRegularExpression modifier(QStringLiteral("(\\d+)([A-Za-z%]+)"));
        auto it = modifier.globalMatch(command.mid(keyword.size()));
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            if (m.captured(2) == QLatin1String(format->letter)) return m.captured(1).toInt();
        }
        const int index = image::listIndexOrDefault(static_cast<int>(format->items.size()),
                                                    QString(), format->defaultIndex);
        return format->items[static_cast<std::size_t>(index)].data;
    }
    return -1;
}

namespace {

// One option as it was read: "--name=value" or "--name value".
struct Arg {
    QString name;
    QString value;
};

// The name in an option word: "left" in "--left" and "--left=5".
QByteArray nameIn(const QByteArray& word) {
    const qsizetype eq = word.indexOf('=');
    return word.mid(2, eq < 0 ? -1 : eq - 2);
}

// Whether a word names one of the tool's options or fields, with or
// without a value: "--json", "--left=5".
bool isOptionWord(const QByteArray& word) {
    if (!word.startsWith("--")) return false;
    const QString name = QString::fromLatin1(nameIn(word));
    return optionNamed(name) || isFieldOption(name);
}

// Where a value came from, as a message names it: the option, or the line
// of the settings file it was remembered in (and the option that would
// give it instead).
struct Origin {
    QString key;     // the settings file's key; empty: an option or the default
    QString option;  // "--jpeg-quality"
};

// The command line read in the order of its steps: the words into options,
// the action they ask for, the remembered state they start from, the
// options over it, and the checks of what results. Each step either moves
// the request on or ends the parse with a status and a message.
class Parser {
  public:
    Parsed run(const QList<QByteArray>& words) {
        if (!readArguments(words) || !pickAction()) return out_;
        if (out_.request.action != Action::Capture) return out_;
        if (startFromSettings() && applyOptions()) check();
        return out_;
    }

  private:
    // Ends the parse.
    bool fail(int status, const QString& message) {
        out_.status = status;
        out_.message = message;
        return false;
    }
    bool usage(const Text& text) { return fail(kUsage, localized(text)); }
    bool usage(const Text& text, const QString& arg) {
        return fail(kUsage, localized(text).arg(arg));
    }
    // A refusal of a value, named by where it came from.
    bool refuse(int status, const Origin& from, const QString& why) {
        QString where = from.option;
        if (!from.key.isEmpty()) {
            where = localized({u"%1 の %2 (%3)", "%2 in %1 (%3)"})
                        .arg(settingsFile_, from.key, from.option);
        }
        return fail(status, where.isEmpty() ? why : where + QStringLiteral(": ") + why);
    }
    bool has(const char* name) const {
        return std::any_of(args_.begin(), args_.end(),
                           [&](const Arg& a) { return a.name == QLatin1String(name); });
    }
    // Whether the connection's part that `option` would give is the
    // settings file's: remembered there, and not given.
    bool fromRecord(const char* option) const { return haveRecord_ && !has(option); }
    // ---- Step 1: the words into options ----

    // A value is the rest of its word after "=", else the next word unless
    // that word is itself an option: a forgotten value must not swallow the
    // option after it ("--raw --json" would send "--json" and still print
    // JSON). "--raw=--json" sends such a text.
    bool readArguments(const QList<QByteArray>& words) {
        for (qsizetype i = 0; i < words.size(); ++i) {
            const QByteArray& word = words[i];
            if (!word.startsWith("--") || word.size() == 2) {
                return usage({u"余分な引数があります: %1", "unexpected argument: %1"}, shown(word));
            }
            const qsizetype eq = word.indexOf('=');
            Arg arg;
            arg.name = QString::fromLatin1(nameIn(word));
            const bool hasValue = eq >= 0;
            QByteArray value = hasValue ? word.mid(eq + 1) : QByteArray();
            const Option* o = optionNamed(arg.name);
            const bool needsValue = o ? o->argument != nullptr : isFieldOption(arg.name);
            if (!o && !needsValue) {
                return usage({u"不明なオプションです: --%1", "unknown option: --%1"},
                             shown(nameIn(word)));
            }
            if (needsValue && !hasValue) {
                if (i + 1 >= words.size() || isOptionWord(words[i + 1])) {
                    return usage({u"--%1 には値が必要です", "--%1 needs a value"}, arg.name);
                }
                value = words[++i];
            } else if (!needsValue && hasValue) {
                return usage({u"--%1 は値を取りません", "--%1 takes no value"}, arg.name);
            }
            // A value goes on as the text it spells, or not at all: a name
            // or command with bytes that are no text of the locale would
            // be created or sent as something else.
            const std::optional<QString> text =
                o && o->path ? fileNameOfBytes(value) : textOfBytes(value);
            if (!text) {
                return fail(kUsage, localized({u"--%1 の値はこのシステムの文字コードの文字列では"
                                               u"ないため、そのままでは使えません: %2",
                                               "the value of --%1 is no text in this system's "
                                               "encoding and cannot be used as it is: %2"})
                                        .arg(arg.name, shown(value)));
            }
            arg.value = *text;
            args_.push_back(arg);
        }
        out_.request.json = has("json");
        return true;
    }

    // Bytes as a message can show them: text as it reads, any other byte
    // by its code, as the terminal shows a reply.
    static QString shown(const QByteArray& bytes) {
        if (const std::optional<QString> text = textOfBytes(bytes)) return *text;
        return terminal::render(bytes).text;
    }

    // ---- Step 2: the action ----

    // Exactly one of the tabs' options or --raw, unless help or the list
    // of ports is asked for.
    bool pickAction() {
        Request& r = out_.request;
        if (args_.empty() || has("help")) {
            r.action = Action::Help;
            return true;
        }
        int commands = 0;
        for (const Arg& a : args_) {
            for (int t = 0; t < image::kTabCount; ++t) {
                if (a.name == QLatin1String(image::table(static_cast<Tab>(t)).option)) {
                    r.tab = static_cast<Tab>(t);
                    ++commands;
                }
            }
            if (a.name == QLatin1String("raw")) {
                r.command = a.value;
                ++commands;
            }
        }
        if (has("list")) {
            if (commands > 0) {
                return usage({u"--list はコマンドと一緒に指定できません",
                              "--list cannot be combined with a command"});
            }
            r.action = Action::List;
            return true;
        }
        if (commands != 1) {
            return usage({u"--snap、--ship、--box、--raw のどれか一つを指定してください",
                          "give exactly one of --snap, --ship, --box and --raw"});
        }
        if (has("raw") && r.command.isEmpty())
            return usage({u"--raw のテキストが空です", "--raw is empty"});
        r.action = Action::Capture;
        return true;
    }

    // ---- Step 3: where everything starts ----

    // The remembered texts of --settings (the last one named), or the
    // first-start state of the tab and the connection dialog. What comes
    // from the file is marked so, to be checked once the options have had
    // their say.
    bool startFromSettings() {
        Common c;
        QStringList garbled;
        for (const Arg& a : args_) {
            if (a.name != QLatin1String("settings")) continue;
            QFileInfo info(a.value);
            if (!info.isFile() || !info.isReadable()) {
                return usage({u"設定ファイルを読めません: %1", "cannot read the settings file %1"},
                             a.value);
            }
            garbled.clear();
            LoadSettings(c, a.value, &garbled);
            settingsFile_ = a.value;
        }
        Request& r = out_.request;
        const comsetting::Record record = comsetting::parseRecord(c.ComSetting[0]);
        haveRecord_ = !settingsFile_.isEmpty() && !c.ComSetting[0].isEmpty();
        storedRecord_ = c.ComSetting[0];
        r.com = record.com;
        r.line = record.positions;
        timeoutText_ = record.timeoutText;
        if (r.tab) {
            const QString& fields = c.*fieldsText(*r.tab);
            storedFields_ = fields;
            values_ = image::loadFields(*r.tab, fields);
            fromFile_.assign(values_.size(), !fields.isEmpty());
            if (QString Common::*file = fileText(*r.tab)) {
                file_ = c.*file;
                fileGarbled_ = garbled.contains(SettingsKey(file));
            }
        }
        return true;
    }

    // ---- Step 4: the options over it ----

    bool applyOptions() {
        for (const Arg& a : args_) {
            const QString& n = a.name;
            if (n == QLatin1String("port")) {
                if (!takePort(a.value)) return false;
            } else if (n == QLatin1String("line")) {
                if (!takeLine(a.value)) return false;
            } else if (n == QLatin1String("flow")) {
                const int at = choiceIndex(comsetting::Flow, a.value);
                if (at < 0) {
                    return usage({u"ハンドシェイクにない値です: %1", "no such flow control: %1"},
                                 a.value);
                }
                out_.request.line[comsetting::Flow] = at;
            } else if (n == QLatin1String("timeout")) {
                timeoutText_ = a.value;
            } else if (n == QLatin1String("output")) {
                // No file has an empty name; the default name is had by
                // leaving the option out.
                if (a.value.isEmpty()) return usage({u"--output が空です", "--output is empty"});
                file_ = a.value;
            } else if (!optionNamed(n)) {
                if (!takeField(n, a.value)) return false;
            }
        }
        return true;
    }

    // The port: a COM number, or a device path or network port name for
    // which one is found when the port is opened. Every spelling of a port is told apart here.
    bool takePort(const QString& value) {
        Request& r = out_.request;
        static const QRegularExpression comName(QStringLiteral("^COM(\\d{1,3})$"),
                                                QRegularExpression::CaseInsensitiveOption);
        const QRegularExpressionMatch m = comName.match(value);
        if (m.hasMatch()) {
            r.com = m.captured(1).toInt();
            r.devicePath.clear();
            return comInRange(r.com, {}, value);
        }
        if (value.isEmpty()) return usage({u"--port が空です", "--port is empty"});
        r.com = 0;
        r.devicePath = value;
        return true;
    }
    bool comInRange(int com, const Origin& from, const QString& spelled) {
        if (com >= 1 && com <= OMBRIX_COM_MAX) return true;
        return refuse(kUsage, from,
                      localized({u"COM 番号は 1～%2 です: %1", "COM numbers are 1 to %2: %1"})
                          .arg(spelled)
                          .arg(OMBRIX_COM_MAX));
    }

    bool takeLine(const QString& value) {
        const QStringList parts = value.split(u',');
        if (parts.size() != 4) {
            return usage({u"--line は 速度,データビット,パリティ,ストップビット です: %1",
                          "--line is BAUD,DATA,PARITY,STOP: %1"},
                         value);
        }
        for (int i = 0; i < 4; ++i) {
            const int at = choiceIndex(kLineOrder[i], parts[i]);
            if (at < 0) return usage(kNoSuchLineSetting, parts[i]);
            out_.request.line[static_cast<std::size_t>(kLineOrder[i])] = at;
        }
        return true;
    }

    bool takeField(const QString& name, const QString& value) {
        const Field* f = out_.request.tab ? fieldNamed(*out_.request.tab, name) : nullptr;
        if (!f) {
            return usage(
                {u"--%1 はこのコマンドの項目ではありません", "--%1 is no field of this command"},
                name);
        }
        const auto row = static_cast<std::size_t>(image::rowOf(f->id));
        fromFile_[row] = false;
        image::Value& v = values_[row];
        if (f->kind == Kind::List) {
            v.listIndex = itemIndex(*f, value);
            if (v.listIndex >= 0) return true;
            QStringList names;
            for (const image::Item& item : f->items) names << QLatin1String(item.name);
            return fail(kUsage, localized({u"--%1 の値は次のどれかです: %2", "--%1 is one of: %2"})
                                    .arg(name, names.join(u'|')));
        }
        v.text = value;
        return checkText(*f, v, {QString(), optionOf(f->id)});
    }

    // A number field checked as when the user leaves it, its text then
    // shown as the check left it; the refusal names the limits the check
    // applies, since the caller cannot see the field.
    bool checkText(const Field& f, image::Value& v, const Origin& from) {
        const image::Checked checked = image::checkField(f, v.text, image::Wording::Limits);
        if (!checked.accepted) return refuse(kRefused, from, checked.message);
        v.text = checked.text;
        return true;
    }

    // ---- Step 5: the checks of what results ----

    bool check() {
        Request& r = out_.request;
        if (!checkRemembered()) return false;
        if (has("compute") && !computeArea()) return false;
        // What the settings file gave, and no option or "計算" replaced, is
        // checked as the options were.
        if (r.tab) {
            const QString key = SettingsKey(fieldsText(*r.tab));
            for (std::size_t row = 0; row < values_.size(); ++row) {
                const Field& f = image::table(*r.tab).fields[row];
                if (!fromFile_[row] || f.kind == Kind::List) continue;
                if (!checkText(f, values_[row], {key, optionOf(f.id)})) return false;
            }
        }
        if (fromRecord("port") && r.com != 0 &&
            !comInRange(r.com, {SettingsKey(0), QStringLiteral("--port")},
                        QStringLiteral("COM%1").arg(r.com))) {
            return false;
        }
        // A remembered list position outside its list names no setting.
        const struct {
            comsetting::List list;
            const char* option;
        } remembered[] = {{comsetting::Baud, "line"},
                          {comsetting::DataBits, "line"},
                          {comsetting::Parity, "line"},
                          {comsetting::StopBits, "line"},
                          {comsetting::Flow, "flow"}};
        for (const auto& l : remembered) {
            const int at = r.line[static_cast<std::size_t>(l.list)];
            if (!fromRecord(l.option) ||
                (at >= 0 && at < static_cast<int>(comsetting::list(l.list).choices.size()))) {
                continue;
            }
            return refuse(kUsage, {SettingsKey(0), QStringLiteral("--") + QLatin1String(l.option)},
                          localized(kNoSuchLineSetting).arg(at));
        }

        const comsetting::TimeoutCheck timeout = comsetting::checkTimeout(timeoutText_, 6);
        if (!timeout.ok) {
            return refuse(
                kRefused,
                {fromRecord("timeout") ? SettingsKey(0) : QString(), QStringLiteral("--timeout")},
                timeout.message);
        }
        r.timeout = timeout.value;

        if (r.tab) {
            const image::Composed composed = image::makeCommand(*r.tab, values_);
            if (!composed.ok) {
                Origin from;
                if (composed.focus) {
                    from.option = optionOf(*composed.focus);
                    const auto row = static_cast<std::size_t>(image::rowOf(*composed.focus));
                    if (fromFile_[row]) from.key = SettingsKey(fieldsText(*r.tab));
                }
                return refuse(kRefused, from, composed.message);
            }
            r.command = composed.command;
        }
        // A raw command awaits what the terminal would await for it.
        r.image = r.tab ? *r.tab != Tab::Snp
                        : terminal::recvModeFor(r.command) == terminal::RecvMode::Image;
        r.snap = r.command.startsWith(QLatin1String(image::table(Tab::Snp).keyword));
        if (!r.image && has("output")) {
            return usage(
                {u"このコマンドはファイルを受信しません", "this command receives no file"});
        }
        if (r.tab == Tab::Snp) {
            const Field* trigger = image::field({image::Control::CmbImgSnp, 3});
            r.waitsForTrigger =
                image::itemData(*trigger,
                                values_[static_cast<std::size_t>(image::rowOf(trigger->id))]) == 1;
        }
        if (r.com <= 0 && r.devicePath.isEmpty()) {
            return usage({u"--port を指定してください", "give the scanner's port with --port"});
        }
        if (r.image) return chooseOutput();
        return true;
    }

    // A remembered text that holds a control character is malformed however
    // the rest of it reads (a file name cut at its NUL names another file),
    // unless an option gives the value instead.
    bool checkRemembered() {
        const Request& r = out_.request;
        auto refuseControl = [&](const QString& key, const QString& option, char16_t c) {
            const QString code = QStringLiteral("%1").arg(c, 4, 16, QChar(u'0')).toUpper();
            return refuse(
                kRefused, {key, option},
                localized({u"制御文字 U+%1 が含まれています", "holds the control character U+%1"})
                    .arg(code));
        };
        for (const char* option : {"port", "line", "flow", "timeout"}) {
            if (!fromRecord(option)) continue;
            if (const auto c = ControlCharacterIn(storedRecord_)) {
                return refuseControl(SettingsKey(0), QStringLiteral("--") + QLatin1String(option),
                                     *c);
            }
            break;
        }
        if (!r.tab) return true;
        const auto fields = image::table(*r.tab).fields;
        const QStringList pieces = SplitFields(storedFields_, static_cast<int>(fields.size()));
        for (std::size_t row = 0; row < fields.size() && row < std::size_t(pieces.size()); ++row) {
            if (!fromFile_[row]) continue;
            if (const auto c = ControlCharacterIn(pieces[static_cast<qsizetype>(row)])) {
                return refuseControl(SettingsKey(fieldsText(*r.tab)), optionOf(fields[row].id), *c);
            }
        }
        if (QString Common::*file = fileText(*r.tab); file && !has("output")) {
            if (const auto c = ControlCharacterIn(file_)) {
                return refuseControl(SettingsKey(file), QStringLiteral("--output"), *c);
            }
        }
        return true;
    }

    // The "計算" button: the area values from the millimetre fields.
    bool computeArea() {
        if (out_.request.tab != Tab::Box) {
            return usage({u"--compute は --box だけのものです", "--compute belongs to --box"});
        }
        std::array<QString, 6> mm;
        for (int i = 0; i < 6; ++i) {
            mm[static_cast<std::size_t>(i)] =
                values_[static_cast<std::size_t>(image::rowOf({image::Control::TxtImgBoxmm, i}))]
                    .text;
        }
        const image::ComputedArea area = image::computeArea(mm);
        if (!area.ok) {
            return refuse(kRefused, {QString(), optionOf({image::Control::TxtImgBoxmm, 0})},
                          image::notANumberText());
        }
        for (int i = 0; i < 7; ++i) {
            if (const auto& t = area.box[static_cast<std::size_t>(i)]) {
                const auto row =
                    static_cast<std::size_t>(image::rowOf({image::Control::TxtImgBox, i}));
                values_[row].text = *t;
                fromFile_[row] = false;
            }
        }
        return true;
    }

    // Where the picture goes: the name given or remembered for the tab,
    // which must fit the format, else the program's default name.
    bool chooseOutput() {
        Request& r = out_.request;
        const bool given = has("output");
        if (!r.tab) {
            const int code = rawFormatCode(r.command);
            r.output = given
                           ? file_
                           : MakeImageFileName(0, image::formatFor(code < 0 ? 0 : code).extension);
            return true;
        }
        const Origin from{given ? QString() : SettingsKey(fileText(*r.tab)),
                          QStringLiteral("--output")};
        if (!given && fileGarbled_) {
            return refuse(kRefused, from,
                          localized({u"ファイル名にこのシステムの文字コードにない文字があります",
                                     "the file name holds bytes that are no text in this "
                                     "system's encoding"}));
        }
        const image::ImageFile chosen =
            image::imageFileFor(image::formatCode(*r.tab, values_), file_, 0);
        if (!chosen.ok) return refuse(kRefused, from, chosen.message);
        r.output = chosen.name;
        return true;
    }

    static constexpr comsetting::List kLineOrder[] = {comsetting::Baud, comsetting::DataBits,
                                                      comsetting::Parity, comsetting::StopBits};
    static constexpr Text kNoSuchLineSetting = {u"通信設定にない値です: %1",
                                                "no such line setting: %1"};

    std::vector<Arg> args_;
    Parsed out_;
    QString settingsFile_;
    // Per row of the tab's table: the value is the settings file's.
    std::vector<bool> fromFile_;
    image::Values values_;
    QString file_;
    bool fileGarbled_ = false;
    QString timeoutText_;
    // The settings file's texts as they stood, for the check of what they
    // hold: the connection, and the tab's fields.
    QString storedRecord_;
    QString storedFields_;
    // The settings file remembers a connection.
    bool haveRecord_ = false;
};

}  // namespace

Parsed parse(const QList<QByteArray>& args) {
    return Parser().run(args);
}

Parsed parse(const QStringList& args) {
    QList<QByteArray> bytes;
    for (const QString& a : args) bytes << a.toLocal8Bit();
    return parse(bytes);
}

QString helpText() {
    QString h = QStringLiteral(
        "Usage: tavorin-capture --port COM<n>|PATH|URL (--snap|--ship|--box) [FIELD OPTIONS] "
        "[options]\n"
        "       tavorin-capture --port COM<n>|PATH|URL --raw TEXT [options]\n"
        "       tavorin-capture --list [--json]\n\n"
        "Sends one image command to a 2D imaging scanner on a serial port, as the program\n"
        "Tavorin_WIN composes and sends it, and receives the picture into a file.\n"
        "Fields are checked as the program checks them, and refused with a message\n"
        "(Japanese; English under an English locale) before anything is sent; so are the\n"
        "values remembered in --settings. An option's value is the rest of its word after\n"
        "\"=\", else the next word unless that is an option too (--raw=--json sends "
        "\"--json\").\n\n"
        "Options:\n");
    // The right column wrapped at word boundaries to 80 columns.
    auto line = [&](const QString& left, const QString& right) {
        constexpr int kLeft = 33;
        QString row = QStringLiteral("  ") + left.leftJustified(kLeft - 3) + u' ';
        qsizetype width = row.size();
        for (const QString& word : right.split(u' ')) {
            if (width > kLeft && width + 1 + word.size() > 80) {
                row += u'\n' + QString(kLeft, u' ');
                width = kLeft;
            } else if (width > kLeft) {
                row += u' ';
                ++width;
            }
            row += word;
            width += word.size();
        }
        h += row + u'\n';
    };
    for (const Option& o : kOptions) {
        QString left = QStringLiteral("--") + QLatin1String(o.name);
        if (o.argument) left += u' ' + QLatin1String(o.argument);
        line(left, QString::fromUtf8(o.help));
    }
    for (int t = 0; t < image::kTabCount; ++t) {
        const image::TabTable& tab = image::table(static_cast<Tab>(t));
        h += QStringLiteral("\nFields of --%1, %2 (default: the program's first start):\n")
                 .arg(QLatin1String(tab.option), QString::fromUtf16(tab.caption));
        for (const Field& f : tab.fields) {
            QString left = QStringLiteral("--") + QLatin1String(f.option) + u' ';
            QString right = QString::fromUtf16(f.caption);
            if (f.kind == Kind::List) {
                QStringList names;
                for (const image::Item& item : f.items) names << QLatin1String(item.name);
                left += names.join(u'|');
                const int d = image::listIndexOrDefault(static_cast<int>(f.items.size()), QString(),
                                                        f.defaultIndex);
                right += QStringLiteral(" (default %1)")
                             .arg(QLatin1String(f.items[static_cast<std::size_t>(d)].name));
            } else {
                left += f.kind == Kind::Millimetre ? QStringLiteral("MM") : QStringLiteral("N");
                if (f.hint) right += u' ' + QString::fromUtf16(f.hint);
                right += QStringLiteral(" (%1%2)").arg(
                    f.rule == image::Rule::Required ? QStringLiteral("required; ") : QString(),
                    acceptedRange(f));
            }
            if (left.size() > 30) {
                h += QStringLiteral("  ") + left + u'\n';
                left.clear();
            }
            line(left, right);
        }
    }
    const comsetting::Record first = comsetting::parseRecord(QString());
    h += QStringLiteral("\nThe connection dialog's first choices: %1\n")
             .arg(comsetting::openArgs(first.positions, first.timeoutText.toInt()).description);
    h += QStringLiteral("\nExit status:\n");
    for (const StatusRow& s : kStatuses) {
        h += QStringLiteral("  %1  %2\n").arg(s.status, 2).arg(QString::fromUtf8(s.meaning.en));
    }
    h += QStringLiteral(
        "\nExamples:\n"
        "  tavorin-capture --port COM5 --line 115200,8,N,1 --ship --format bmp --depth bw \\\n"
        "      --left 0 --right 639 --output label.bmp\n"
        "      a black-and-white BMP of the left half of the picture\n"
        "  tavorin-capture --port /dev/ttyUSB0 --line 115200,8,N,1 --snap --trigger trigger\n"
        "      take a picture once the scanner's trigger is pressed (waits without limit;\n"
        "      `timeout --preserve-status 30 tavorin-capture ...` gives up cleanly after\n"
        "      30 s with status 14; without --preserve-status, timeout exits with 124)\n"
        "  tavorin-capture --settings Tavorin.ini --box --json\n"
        "      the signature area as the program's IMGBOX tab was last used, on its port,\n"
        "      and a JSON report on standard output\n\n"
        "The picture file is written whole or not at all: a transfer that fails or is\n"
        "cancelled before the picture is whole leaves the file as it was. A picture that\n"
        "came whole is kept even when the scanner's closing reply then fails to come: the\n"
        "status is that failure's (13 for a time-out), the message says the picture was\n"
        "kept, and the JSON's \"file\" names it.\n\n"
        "A file that must keep its identity (a hard link, a file in a folder that takes\n"
        "no new file, another user's file in a sticky folder) is rewritten in place,\n"
        "only once room for the whole picture is reserved and no other writer holds it;\n"
        "a disk too full leaves the old picture as it was (status 12, with the reason).\n\n"
        "A progress bar appears on standard error when it is a terminal; every message\n"
        "starts with \"tavorin-capture:\". SIGINT, SIGTERM, SIGHUP and every other\n"
        "signal that would end the program (SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM ...)\n"
        "cancel the transfer, also one waiting for a FIFO's reader: the port is left\n"
        "usable and no partial file remains. SIGPIPE is ignored: a closed pipe is a\n"
        "failed write. A second signal ends the program at once, with status 14.\n");
    return h;
}

}  // namespace tavorin::capture
