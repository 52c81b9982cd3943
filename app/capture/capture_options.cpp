#include "capture_options.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <limits>

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
    {11, {u"ポートを開けない", "the port could not be opened"}},
    {12, {u"ファイルを作成・書き込みできない", "the image file could not be written"}},
    {13, {u"受信タイムアウト", "receive time-out"}},
    {kCancelled, {u"キャンセル (SIGINT・SIGTERM を含む)", "cancelled (also by SIGINT or SIGTERM)"}},
    {15, {u"ライブラリへのパラメータエラー", "parameter error in the library"}},
    {16,
     {u"通信エラー (回線が切れた、ヘッダが不正)", "communication error (line gone, bad header)"}},
    {17, {u"バッファ・ポート表に空きがない", "no room (a reply too long, the port table full)"}},
    {18, {u"ポートが使用中", "the port is busy"}},
    {19, {u"その他のライブラリのエラー", "any other failure of the library"}},
};

// The options that are no field of a tab, in the order --help shows them.
struct Option {
    const char* name;
    const char* argument;  // null for a flag
    const char* help;
};
constexpr Option kOptions[] = {
    {"port", "COM<n>|PATH",
     "the scanner's port: a COM number as the library resolves it, or a device path such as "
     "/dev/ttyUSB0 or /dev/serial/by-id/... (default: the port of SCANNER1 in --settings)"},
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
     "start from the fields, file name and connection remembered in the program's Tavorin.ini"},
    {"compute", nullptr, "IMGBOX: the \"計算\" button: the area values from the -mm options"},
    {"output", "FILE",
     "where the image goes, written whole or not at all (default: the program's default name, "
     "Tavorin_Image1.<EXT>, in the current directory)"},
    {"json", nullptr,
     "print one JSON object at the end: result, message, command, file, bytes, seconds, "
     "bytes_per_s, reply"},
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

Parsed failure(int status, const QString& message) {
    Parsed p;
    p.status = status;
    p.message = message;
    return p;
}
Parsed usage(const Text& text) {
    return failure(kUsage, localized(text));
}
Parsed usage(const Text& text, const QString& arg) {
    return failure(kUsage, localized(text).arg(arg));
}

// The settings text and the remembered file name of a tab.
QString storedFields(const Common& c, Tab tab) {
    switch (tab) {
        case Tab::Snp:
            return c.ImgSnpSetting;
        case Tab::Shp:
            return c.ImgShpSetting;
        default:
            return c.ImgBoxSetting;
    }
}
QString storedFile(const Common& c, Tab tab) {
    return tab == Tab::Shp   ? c.ImgShpFileSetting
           : tab == Tab::Box ? c.ImgBoxFileSetting
                             : QString();
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

// What a number field accepts, said from its row.
QString acceptedRange(const Field& f) {
    if (f.kind == Kind::Millimetre)
        return f.zeroAllowed ? QStringLiteral(">= 0") : QStringLiteral("> 0");
    if (f.max >= std::numeric_limits<std::int16_t>::max())
        return QStringLiteral(">= %1").arg(f.min);
    return QStringLiteral("%1..%2").arg(f.min).arg(f.max);
}

}  // namespace

std::span<const StatusRow> statuses() {
    return kStatuses;
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

Parsed parse(const QStringList& args) {
    // The arguments as (name, value) pairs; "--name=value" or "--name value".
    struct Arg {
        QString name;
        QString value;
        bool hasValue;
    };
    std::vector<Arg> list;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!a.startsWith(QStringLiteral("--")) || a.size() == 2) {
            return usage({u"余分な引数があります: %1", "unexpected argument: %1"}, a);
        }
        Arg arg;
        const qsizetype eq = a.indexOf(u'=');
        arg.name = a.mid(2, eq < 0 ? -1 : eq - 2);
        arg.hasValue = eq >= 0;
        if (arg.hasValue) arg.value = a.mid(eq + 1);
        const Option* o = optionNamed(arg.name);
        const bool needsValue = o ? o->argument != nullptr : isFieldOption(arg.name);
        if (!o && !needsValue) {
            return usage({u"不明なオプションです: --%1", "unknown option: --%1"}, arg.name);
        }
        if (needsValue && !arg.hasValue) {
            if (i + 1 >= args.size()) {
                return usage({u"--%1 には値が必要です", "--%1 needs a value"}, arg.name);
            }
            arg.value = args[++i];
            arg.hasValue = true;
        } else if (!needsValue && arg.hasValue) {
            return usage({u"--%1 は値を取りません", "--%1 takes no value"}, arg.name);
        }
        list.push_back(arg);
    }

    Parsed out;
    Request& r = out.request;
    auto has = [&](const char* name) {
        return std::any_of(list.begin(), list.end(),
                           [&](const Arg& a) { return a.name == QLatin1String(name); });
    };
    if (list.empty() || has("help")) {
        r.action = Action::Help;
        return out;
    }
    r.json = has("json");

    // Which command: exactly one of the tabs' options or --raw, unless the
    // ports are listed.
    int commands = 0;
    bool raw = false;
    for (const Arg& a : list) {
        for (int t = 0; t < image::kTabCount; ++t) {
            if (a.name == QLatin1String(image::table(static_cast<Tab>(t)).option)) {
                r.tab = static_cast<Tab>(t);
                ++commands;
            }
        }
        if (a.name == QLatin1String("raw")) {
            raw = true;
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
        return out;
    }
    if (commands != 1) {
        return usage({u"--snap、--ship、--box、--raw のどれか一つを指定してください",
                      "give exactly one of --snap, --ship, --box and --raw"});
    }
    if (raw && r.command.isEmpty()) return usage({u"--raw のテキストが空です", "--raw is empty"});

    // Where everything starts: the remembered texts of --settings, or the
    // first-start state of the tab and the connection dialog.
    Common remembered;
    for (const Arg& a : list) {
        if (a.name != QLatin1String("settings")) continue;
        QFileInfo info(a.value);
        if (!info.isFile() || !info.isReadable()) {
            return usage({u"設定ファイルを読めません: %1", "cannot read the settings file %1"},
                         a.value);
        }
        LoadSettings(remembered, a.value);
    }
    const comsetting::Record record = comsetting::parseRecord(remembered.ComSetting[0]);
    r.com = record.com;
    r.line = record.positions;
    QString timeoutText = record.timeoutText;
    image::Values values;
    QString file;
    if (r.tab) {
        values = image::loadFields(*r.tab, storedFields(remembered, *r.tab));
        file = storedFile(remembered, *r.tab);
    }

    bool outputGiven = false;
    bool compute = false;
    for (const Arg& a : list) {
        const QString& n = a.name;
        if (n == QLatin1String("port")) {
            static const QRegularExpression comName(QStringLiteral("^COM(\\d{1,3})$"),
                                                    QRegularExpression::CaseInsensitiveOption);
            const QRegularExpressionMatch m = comName.match(a.value);
            if (m.hasMatch()) {
                r.com = m.captured(1).toInt();
                r.devicePath.clear();
                if (r.com < 1 || r.com > 256) {
                    return usage({u"COM 番号は 1～256 です: %1", "COM numbers are 1 to 256: %1"},
                                 a.value);
                }
            } else if (a.value.isEmpty()) {
                return usage({u"--port が空です", "--port is empty"});
            } else {
                r.com = 0;
                r.devicePath = a.value;
            }
        } else if (n == QLatin1String("line")) {
            const QStringList parts = a.value.split(u',');
            constexpr comsetting::List order[] = {comsetting::Baud, comsetting::DataBits,
                                                  comsetting::Parity, comsetting::StopBits};
            if (parts.size() != 4) {
                return usage({u"--line は 速度,データビット,パリティ,ストップビット です: %1",
                              "--line is BAUD,DATA,PARITY,STOP: %1"},
                             a.value);
            }
            for (int i = 0; i < 4; ++i) {
                const int at = choiceIndex(order[i], parts[i]);
                if (at < 0) {
                    return usage({u"通信設定にない値です: %1", "no such line setting: %1"},
                                 parts[i]);
                }
                r.line[static_cast<std::size_t>(order[i])] = at;
            }
        } else if (n == QLatin1String("flow")) {
            const int at = choiceIndex(comsetting::Flow, a.value);
            if (at < 0) {
                return usage({u"ハンドシェイクにない値です: %1", "no such flow control: %1"},
                             a.value);
            }
            r.line[comsetting::Flow] = at;
        } else if (n == QLatin1String("timeout")) {
            timeoutText = a.value;
        } else if (n == QLatin1String("output")) {
            r.output = a.value;
            outputGiven = true;
        } else if (n == QLatin1String("compute")) {
            compute = true;
        } else if (!optionNamed(n)) {
            const Field* f = r.tab ? fieldNamed(*r.tab, n) : nullptr;
            if (!f) {
                return usage({u"--%1 はこのコマンドの項目ではありません",
                              "--%1 is no field of this command"},
                             n);
            }
            image::Value& v = values[static_cast<std::size_t>(image::rowOf(f->id))];
            if (f->kind == Kind::List) {
                v.listIndex = itemIndex(*f, a.value);
                if (v.listIndex < 0) {
                    QStringList names;
                    for (const image::Item& item : f->items) names << QLatin1String(item.name);
                    return failure(
                        kUsage, localized({u"--%1 の値は次のどれかです: %2", "--%1 is one of: %2"})
                                    .arg(n, names.join(u'|')));
                }
            } else {
                // As the field checks itself when the user leaves it.
                const image::Checked checked = image::checkField(*f, a.value);
                if (!checked.accepted) {
                    return failure(kRefused, QStringLiteral("--") + n + QStringLiteral(": ") +
                                                 checked.message);
                }
                v.text = checked.text;
            }
        }
    }

    if (compute) {
        if (r.tab != Tab::Box) {
            return usage({u"--compute は --box だけのものです", "--compute belongs to --box"});
        }
        std::array<QString, 6> mm;
        for (int i = 0; i < 6; ++i) {
            mm[static_cast<std::size_t>(i)] =
                values[static_cast<std::size_t>(image::rowOf({image::Control::TxtImgBoxmm, i}))]
                    .text;
        }
        const image::ComputedArea area = image::computeArea(mm);
        if (!area.ok) {
            return failure(kRefused, optionOf({image::Control::TxtImgBoxmm, 0}) +
                                         QStringLiteral(": ") + image::notANumberText());
        }
        for (int i = 0; i < 7; ++i) {
            if (const auto& t = area.box[static_cast<std::size_t>(i)]) {
                values[static_cast<std::size_t>(image::rowOf({image::Control::TxtImgBox, i}))]
                    .text = *t;
            }
        }
    }

    const comsetting::TimeoutCheck timeout = comsetting::checkTimeout(timeoutText, 6);
    if (!timeout.ok) return failure(kRefused, QStringLiteral("--timeout: ") + timeout.message);
    r.timeout = timeout.value;

    if (r.tab) {
        const image::Composed composed = image::makeCommand(*r.tab, values);
        if (!composed.ok) {
            const QString where = composed.focus ? optionOf(*composed.focus) : QString();
            return failure(kRefused, where.isEmpty()
                                         ? composed.message
                                         : where + QStringLiteral(": ") + composed.message);
        }
        r.command = composed.command;
    }
    // A raw command awaits what the terminal would await for it.
    r.image =
        r.tab ? *r.tab != Tab::Snp : terminal::recvModeFor(r.command) == terminal::RecvMode::Image;
    r.snap = r.command.startsWith(QLatin1String(image::table(Tab::Snp).keyword));
    if (!r.image && outputGiven) {
        return usage({u"このコマンドはファイルを受信しません", "this command receives no file"});
    }
    if (r.tab == Tab::Snp) {
        const Field* trigger = image::field({image::Control::CmbImgSnp, 3});
        r.waitsForTrigger =
            image::itemData(*trigger,
                            values[static_cast<std::size_t>(image::rowOf(trigger->id))]) == 1;
    }
    if (r.com <= 0 && r.devicePath.isEmpty()) {
        return usage({u"--port を指定してください", "give the scanner's port with --port"});
    }
    if (!r.image) return out;
    if (r.tab) {
        const image::ImageFile chosen = image::imageFileFor(image::formatCode(*r.tab, values),
                                                            outputGiven ? r.output : file, 0);
        if (!chosen.ok) return failure(kRefused, chosen.message);
        r.output = chosen.name;
    } else if (!outputGiven) {
        const int code = rawFormatCode(r.command);
        r.output = MakeImageFileName(0, image::formatFor(code < 0 ? 0 : code).extension);
    }
    return out;
}

QString helpText() {
    QString h = QStringLiteral(
        "Usage: tavorin-capture --port COM<n>|PATH (--snap|--ship|--box) [FIELD OPTIONS] "
        "[options]\n"
        "       tavorin-capture --port COM<n>|PATH --raw TEXT [options]\n"
        "       tavorin-capture --list [--json]\n\n"
        "Sends one image command to a 2D imaging scanner on a serial port, as the program\n"
        "Tavorin_WIN composes and sends it, and receives the picture into a file.\n"
        "Fields are checked as the program checks them, and refused with its message\n"
        "(Japanese; English under an English locale) before anything is sent.\n\n"
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
        "      `timeout 30 tavorin-capture ...` ends it cleanly with status 14)\n"
        "  tavorin-capture --settings Tavorin.ini --box --json\n"
        "      the signature area as the program's IMGBOX tab was last used, on its port,\n"
        "      and a JSON report on standard output\n\n"
        "A progress bar appears on standard error when it is a terminal. SIGINT and\n"
        "SIGTERM cancel the transfer: the port is left usable and no partial file remains.\n");
    return h;
}

}  // namespace tavorin::capture
