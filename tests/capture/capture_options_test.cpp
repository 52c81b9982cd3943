// tavorin-capture's command line: what it composes, what it refuses and
// with which status and message, where its connection and file come from.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "capture_options.h"
#include "common.h"
#include "language.h"
#include "ombrix.h"

using namespace tavorin;
using namespace tavorin::capture;

namespace {

QStringList split(const QString& line) {
    return line.split(u' ', Qt::SkipEmptyParts);
}

Parsed parseLine(const QString& line) {
    return parse(split(line));
}

// The options of the tool itself.
const char* const kGeneral[] = {"--port",    "--line",   "--flow", "--timeout", "--list",
                                "--snap",    "--ship",   "--box",  "--raw",     "--settings",
                                "--compute", "--output", "--json", "--help"};

class English {
  public:
    English() { setLanguage(Language::English); }
    ~English() { setLanguage(Language::Japanese); }
};

TEST(CaptureOptions, ComposesWhatTheTabsCompose) {
    struct Row {
        const char* args;
        const char* command;
        const char* output;
    };
    const Row rows[] = {
        {"--ship", "IMGSHP6F8D0V0C0A0H2P2S0W", "Tavorin_Image1.JPG"},
        {"--ship --format bmp --depth bw --flip horizontal --rotate left-90 --jpeg-quality 75 "
         "--left 100 --right 500",
         "IMGSHP8F1D1IY3IR0V0C0A0H2P2S0W75J100L500R", "Tavorin_Image1.BMP"},
        // Items by their captions too; a lone crop edge is sent alone.
        {"--ship --format ＫＩＭ --left 600", "IMGSHP0F8D0V0C0A0H2P2S0W600L", "Tavorin_Image1.KIM"},
        {"--ship --margin 10 --format=tiff-g4", "IMGSHP2F8D0V0C0A0H2P2S0W10M",
         "Tavorin_Image1.TIF"},
        {"--box --aspect 3 --height 200 --width 400 --x-offset 0 --y-offset 10",
         "IMGBOX2P6F8D3S200H400W0X10Y", "Tavorin_Image1.JPG"},
        {"--box --gamma 50 --resolution 20 --aspect 3 --height 200 --width 400 --x-offset 0 "
         "--y-offset 10",
         "IMGBOX2P6F8D50K20R3S200H400W0X10Y", "Tavorin_Image1.JPG"},
        // The field's own rounding, as when the user leaves it.
        {"--snap --tries 9.5 --set-point 50", "IMGSNP1P0B0L0T1G10U50%", ""},
        {"--snap --trigger trigger --gain max", "IMGSNP1P0B0L1T8G", ""},
        // The "計算" button: 10 / 0.33 = 30.3 narrow elements, 66 / 0.33 = 200.
        {"--box --compute --narrow-mm 0.33 --barcode-height-mm 10 --area-height-mm 66 "
         "--area-width-mm 132 --area-x-mm 0 --area-y-mm 3.3",
         "IMGBOX2P6F8D30S200H400W0X10Y", "Tavorin_Image1.JPG"},
        {"--raw IMGSHP8F8D", "IMGSHP8F8D", "Tavorin_Image1.BMP"},
        {"--raw IMGBOX2P0F1D3S9H9W0X0Y", "IMGBOX2P0F1D3S9H9W0X0Y", "Tavorin_Image1.KIM"},
        {"--raw IMGSHP6F --output x.jpg", "IMGSHP6F", "x.jpg"},
        {"--raw BEPLVL?", "BEPLVL?", ""},
        // An option word is no value, but the rest of a word after "=" is.
        {"--raw=--json", "--json", ""},
    };
    for (const Row& row : rows) {
        const Parsed p = parseLine(QStringLiteral("--port COM5 ") + QString::fromUtf8(row.args));
        ASSERT_EQ(p.status, kAck) << row.args << ": " << p.message.toStdString();
        EXPECT_EQ(p.request.command.toStdString(), row.command) << row.args;
        EXPECT_EQ(p.request.output.toStdString(), row.output) << row.args;
        EXPECT_EQ(p.request.image, *row.output != '\0') << row.args;
        EXPECT_EQ(p.request.com, 5);
    }
    EXPECT_TRUE(parseLine("--port COM5 --snap --trigger trigger").request.waitsForTrigger);
    EXPECT_TRUE(parseLine("--port COM5 --raw IMGSNP1T").request.snap);
    EXPECT_FALSE(parseLine("--port COM5 --snap").request.waitsForTrigger);
}

TEST(CaptureOptions, RefusesWithTheTabsOwnChecksAndDistinctStatuses) {
    struct Row {
        const char* args;
        int status;
        const char* message;
        const char* english;
    };
    const Row rows[] = {
        {"--ship --jpeg-quality 101", kRefused,
         "--jpeg-quality: 0～100の範囲の数値を入力してください",
         "--jpeg-quality: enter a number from 0 to 100"},
        {"--ship --jpeg-quality abc", kRefused, "--jpeg-quality: 数値を入力してください",
         "--jpeg-quality: enter a number"},
        {"--ship --left 500 --right 500", kRefused,
         "--right: 右には左より大きな数値を入力してください",
         "--right: the right edge must be greater than the left one"},
        {"--ship --top 0 --margin 10", kRefused,
         "--margin: 左・右・上・下を指定した場合、マージンは指定できません", nullptr},
        {"--box --aspect 3 --height 200 --width 400 --x-offset 0", kRefused,
         "--y-offset: 数値を入力してください", nullptr},
        // The limits the check applies, the field's length and the 16-bit
        // range included, rather than the window's "0 or more".
        {"--box --resolution 0", kRefused, "--resolution: 1～99の範囲の数値を入力してください",
         "--resolution: enter a number from 1 to 99"},
        {"--box --aspect 32768", kRefused, "--aspect: 1～32767の範囲の数値を入力してください",
         "--aspect: enter a number from 1 to 32767"},
        {"--box --narrow-mm 0", kRefused,
         "--narrow-mm: ０よりも大きく999999.999以下の数値を入力してください",
         "--narrow-mm: enter a number greater than 0 and not above 999999.999"},
        {"--box --area-x-mm 1e308", kRefused,
         "--area-x-mm: 0～9999999.99の範囲の数値を入力してください",
         "--area-x-mm: enter a number from 0 to 9999999.99"},
        {"--box --compute --barcode-height-mm 10", kRefused, "--narrow-mm: 数値を入力してください",
         nullptr},
        {"--snap --tries 12.7", kRefused, "--tries: 0～10の範囲の数値を入力してください", nullptr},
        {"--ship --jpeg-quality 99999", kRefused,
         "--jpeg-quality: 0～100の範囲の数値を入力してください", nullptr},
        {"--ship --format bmp --output x.jpg", kRefused,
         "--output: ファイルフォーマットとファイル名が合っていません",
         "--output: the file name does not end in the file format's extension"},
        {"--ship --timeout 0", kRefused,
         "--timeout: タイムアウトには１以上の数値を入力してください",
         "--timeout: enter a time-out of 1 or more"},
        {"--ship --flip sideways", kUsage, "--flip の値は次のどれかです: none|vertical|horizontal",
         "--flip is one of: none|vertical|horizontal"},
        {"--snap --jpeg-quality 50", kUsage, "--jpeg-quality はこのコマンドの項目ではありません",
         nullptr},
        {"--ship --box", kUsage, "--snap、--ship、--box、--raw のどれか一つを指定してください",
         nullptr},
        {"--ship --colour red", kUsage, "不明なオプションです: --colour", nullptr},
        {"--ship --left", kUsage, "--left には値が必要です", nullptr},
        // A forgotten value does not swallow the option after it.
        {"--raw --json --left 5", kUsage, "--raw には値が必要です", "--raw needs a value"},
        {"--ship --left --right=5", kUsage, "--left には値が必要です", nullptr},
        {"--json=yes --ship", kUsage, "--json は値を取りません", nullptr},
        {"--ship --line 115200,9,N,1", kUsage, "通信設定にない値です: 9", nullptr},
        {"--ship --line 115200,8,N", kUsage, nullptr, nullptr},
        {"--ship --flow sideways", kUsage, nullptr, nullptr},
        {"--snap --output x.jpg", kUsage, nullptr, nullptr},
        {"--raw BEPLVL? --output x.jpg", kUsage, nullptr, nullptr},
        {"--list --ship", kUsage, nullptr, nullptr},
        {"--ship --settings /nonexistent/Tavorin.ini", kUsage, nullptr, nullptr},
        {"--compute --ship", kUsage, nullptr, nullptr},
        {"ship", kUsage, nullptr, nullptr},
    };
    for (const Row& row : rows) {
        const QString line = QStringLiteral("--port COM5 ") + QString::fromUtf8(row.args);
        const Parsed p = parseLine(line);
        EXPECT_EQ(p.status, row.status) << row.args << ": " << p.message.toStdString();
        if (row.message) {
            EXPECT_EQ(p.message.toStdString(), row.message) << row.args;
        }
        if (row.english) {
            English english;
            EXPECT_EQ(parseLine(line).message.toStdString(), row.english) << row.args;
        }
    }
    EXPECT_EQ(parseLine("--ship").status, kUsage) << "no port";
    EXPECT_EQ(parseLine("--port COM0 --ship").status, kUsage);
    EXPECT_EQ(parseLine("--port COM257 --ship").status, kUsage);
}

TEST(CaptureOptions, LineSettingsComeFromTheConnectionDialog) {
    using namespace comsetting;
    // The dialog's first choices when nothing is remembered.
    Parsed p = parseLine("--port /dev/ttyUSB0 --ship");
    ASSERT_EQ(p.status, kAck);
    EXPECT_EQ(p.request.com, 0);
    EXPECT_EQ(p.request.devicePath.toStdString(), "/dev/ttyUSB0");
    EXPECT_EQ(p.request.line, (Positions{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(p.request.timeout, 100);

    p = parseLine("--port com7 --ship --line 115200,8,N,1 --flow rts --timeout 2.5");
    ASSERT_EQ(p.status, kAck) << p.message.toStdString();
    EXPECT_EQ(p.request.com, 7);
    const OpenArgs a = openArgs(p.request.line, p.request.timeout);
    EXPECT_EQ(a.baud, 9);
    EXPECT_EQ(a.dataBits, 1);
    EXPECT_EQ(a.stopBits, 0);
    EXPECT_EQ(a.parity, 0);
    EXPECT_EQ(a.flow, 2);
    EXPECT_EQ(p.request.timeout, 2);  // halves to even, as the dialog reads it

    struct Row {
        List list;
        const char* value;
        int position;
    };
    const Row rows[] = {
        {Baud, "300", 0},   {Baud, "19200", 6}, {Baud, "115.2K bps", 9},
        {Baud, "1234", -1}, {DataBits, "7", 0}, {DataBits, "8", 1},
        {StopBits, "2", 1}, {Parity, "E", 1},   {Parity, "odd", 2},
        {Parity, "x", -1},  {Flow, "none", 0},  {Flow, "xon", 2},
        {Flow, "RTS", 1},   {Flow, "両方", 3},  {Flow, "rts/cts&&xon/xoff", 3},
        {Flow, "", -1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(choiceIndex(row.list, QString::fromUtf8(row.value)), row.position) << row.value;
    }
}

TEST(CaptureOptions, SettingsFileGivesTheRememberedTabConnectionAndFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString ini = dir.filePath("Tavorin.ini");
    QFile f(ini);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(
        "SCANNER1=5,9,1,0,0,1,0,3,250\r\n"
        "IMGSHP=7,1,2,3,0,0,0,0,0,1,0,75,,,,100,500,,,\r\n"
        "IMGSHPFL=pic.bmp\r\n"
        "IMGBOX=6,0,,,3,200,400,0,10,,,,,,\r\n");
    f.close();

    Parsed p = parse({"--settings", ini, "--ship"});
    ASSERT_EQ(p.status, kAck) << p.message.toStdString();
    EXPECT_EQ(p.request.com, 5);
    EXPECT_EQ(p.request.timeout, 250);
    EXPECT_EQ(comsetting::openArgs(p.request.line, 250).flow, 2);
    EXPECT_EQ(p.request.command.toStdString(), "IMGSHP8F1D1IY3IR0V0C0A0H2P2S0W75J100L500R");
    EXPECT_EQ(p.request.output.toStdString(), "pic.bmp");

    // An option overrides its remembered field, and the remembered name
    // must still fit the format.
    p = parse({"--settings", ini, "--ship", "--format", "jpeg"});
    EXPECT_EQ(p.status, kRefused);
    p = parse(
        {"--settings", ini, "--ship", "--format", "jpeg", "--output", "a.jpg", "--port", "COM9"});
    ASSERT_EQ(p.status, kAck);
    EXPECT_EQ(p.request.com, 9);
    EXPECT_EQ(p.request.command.toStdString(), "IMGSHP6F1D1IY3IR0V0C0A0H2P2S0W75J100L500R");

    p = parse({"--settings", ini, "--box"});
    ASSERT_EQ(p.status, kAck) << p.message.toStdString();
    EXPECT_EQ(p.request.command.toStdString(), "IMGBOX2P6F8D3S200H400W0X10Y");
    EXPECT_EQ(p.request.output.toStdString(), "Tavorin_Image1.JPG");
}

// A remembered value the options leave in place is checked as its option
// would be, and a refusal names the file and its line.
TEST(CaptureOptions, RememberedValuesAreCheckedAsOptionsAndNameTheirFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString ini = dir.filePath("Tavorin.ini");
    struct Row {
        const char* lines;
        const char* args;
        int status;
        const char* message;  // %1: the settings file
    };
    const Row rows[] = {
        {"SCANNER1=300,9,1,0,0,0,0,0,100", "--raw BEPLVL?", kUsage,
         "%1 の SCANNER1= (--port): COM 番号は 1～256 です: COM300"},
        {"SCANNER1=300,9,1,0,0,0,0,0,100", "--raw BEPLVL? --port COM5", kAck, nullptr},
        {"SCANNER1=5,9,1,0,0,0,0,0,0", "--raw BEPLVL?", kRefused,
         "%1 の SCANNER1= (--timeout): タイムアウトには１以上の数値を入力してください"},
        {"SCANNER1=5,12,1,0,0,0,0,0,100", "--raw BEPLVL?", kUsage,
         "%1 の SCANNER1= (--line): 通信設定にない値です: 12"},
        {"IMGSHP=6,0,0,0,0,0,0,0,0,1,0,abc,,,,,,,,", "--ship --port COM5", kRefused,
         "%1 の IMGSHP= (--jpeg-quality): 数値を入力してください"},
        {"IMGSHP=6,0,0,0,0,0,0,0,0,1,0,500,,,,,,,,", "--ship --port COM5", kRefused,
         "%1 の IMGSHP= (--jpeg-quality): 0～100の範囲の数値を入力してください"},
        {"IMGSHP=6,0,0,0,0,0,0,0,0,1,0,abc,,,,,,,,", "--ship --port COM5 --jpeg-quality 50", kAck,
         nullptr},
        {"IMGSHP=6,0,0,0,0,0,0,0,0,1,0,,,,,500,500,,,", "--ship --port COM5", kRefused,
         "%1 の IMGSHP= (--right): 右には左より大きな数値を入力してください"},
        {"IMGSHPFL=pic.bmp", "--ship --port COM5", kRefused,
         "%1 の IMGSHPFL= (--output): ファイルフォーマットとファイル名が合っていません"},
        // "テスト.JPG" in Shift-JIS: bytes that are no text of this locale.
        {"IMGSHPFL=\x83\x65\x83\x58\x83\x67.JPG", "--ship --port COM5", kRefused,
         "%1 の IMGSHPFL= (--output): ファイル名にこのシステムの文字コードにない文字があります"},
        {"IMGSHPFL=\x83\x65\x83\x58\x83\x67.JPG", "--ship --port COM5 --output a.jpg", kAck,
         nullptr},
    };
    for (const Row& row : rows) {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray(row.lines) + "\r\n");
        f.close();
        const Parsed p = parse(QStringList{"--settings", ini} + split(QString::fromUtf8(row.args)));
        EXPECT_EQ(p.status, row.status) << row.lines << ": " << p.message.toStdString();
        if (row.message) {
            EXPECT_EQ(p.message.toStdString(),
                      QString::fromUtf8(row.message).arg(ini).toStdString())
                << row.lines;
        }
    }
    English english;
    const Parsed p = parse({"--settings", ini, "--ship", "--port", "COM5"});
    EXPECT_EQ(p.message.toStdString(),
              ("IMGSHPFL= in " + ini +
               " (--output): the file name holds bytes that are no text in this system's encoding")
                  .toStdString());
}

// Names and commands go on as the bytes given, or are refused: never as a
// stand-in for bytes the locale's encoding cannot read.
TEST(CaptureOptions, ValuesAreTheBytesGivenOrRefused) {
    const Parsed ok = parse(QList<QByteArray>{"--port", "COM5", "--raw", "IMGSHP6F\xef\xbd\xb1",
                                              "--output", "\xc3\xbc.JPG"});
    ASSERT_EQ(ok.status, kAck) << ok.message.toStdString();
    EXPECT_EQ(QFile::encodeName(ok.request.output), QByteArray("\xc3\xbc.JPG"));
    EXPECT_EQ(ok.request.command.toLocal8Bit(), QByteArray("IMGSHP6F\xef\xbd\xb1"));
    const QList<QByteArray> refused[] = {
        {"--port", "COM5", "--raw", "IMG\xff\xfeZ"},
        {"--port", "COM5", "--raw", "IMGSHP6F", "--output", "\xff\xfe.JPG"},
        {"--settings", "\xff.ini", "--ship"},
        {"--port", "/dev/tty\xff", "--ship"},
    };
    for (const QList<QByteArray>& args : refused) {
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, kUsage) << args.join(' ').toStdString();
        EXPECT_TRUE(p.message.contains("<FF>")) << p.message.toStdString();
    }
}

TEST(CaptureOptions, LanguageFollowsTheLocaleAndJapaneseStaysTheDefault) {
    struct Row {
        const char* all;
        const char* messages;
        const char* lang;
        Language expected;
    };
    const Row rows[] = {
        {nullptr, nullptr, nullptr, Language::Japanese},
        {nullptr, nullptr, "en_US.UTF-8", Language::English},
        {nullptr, nullptr, "en", Language::English},
        {nullptr, nullptr, "ja_JP.UTF-8", Language::Japanese},
        {nullptr, nullptr, "C.UTF-8", Language::Japanese},
        {"C", nullptr, "en_US.UTF-8", Language::Japanese},
        {"", "en_GB@euro", "ja_JP", Language::English},
        {"", "", "eng", Language::Japanese},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(languageOf(r.all, r.messages, r.lang), r.expected)
            << (r.all ? r.all : "-") << " " << (r.messages ? r.messages : "-") << " "
            << (r.lang ? r.lang : "-");
    }
    English english;
    EXPECT_EQ(ErrorMessageText(-3).toStdString(), "receive time-out");
    setLanguage(Language::Japanese);
    EXPECT_EQ(ErrorMessageText(-3).toStdString(), "受信タイムアウト");
}

// Every field can be named on the command line, and a name means one thing.
TEST(CaptureOptions, EveryFieldAndItemHasOneNameOfItsOwn) {
    for (int t = 0; t < image::kTabCount; ++t) {
        const image::TabTable& tab = image::table(static_cast<image::Tab>(t));
        ASSERT_TRUE(tab.option);
        QSet<QString> names;
        for (const image::Field& f : tab.fields) {
            ASSERT_TRUE(f.option) << tab.keyword << " row " << image::rowOf(f.id);
            const QString name = QString::fromLatin1(f.option);
            EXPECT_FALSE(names.contains(name)) << f.option;
            names.insert(name);
            // No field shadows an option of the tool itself.
            for (const char* general : kGeneral) EXPECT_NE(name, QLatin1String(general + 2));
            QSet<QString> items;
            for (std::size_t i = 0; i < f.items.size(); ++i) {
                ASSERT_TRUE(f.items[i].name) << f.option;
                const QString item = QString::fromLatin1(f.items[i].name);
                EXPECT_FALSE(items.contains(item)) << f.option << " " << f.items[i].name;
                items.insert(item);
                EXPECT_EQ(itemIndex(f, item.toUpper()), static_cast<int>(i));
            }
        }
    }
}

// The status and message of a reply: a ship or box command acknowledged
// without a picture took none, and --raw, being any command, is never
// called an image command; a refusal is a refusal whatever came before it.
TEST(CaptureOptions, AReplyTellsWhetherThePictureTheCommandWasForCame) {
    const struct {
        std::optional<image::Tab> tab;
        bool picture;
        const char* reply;
        int status;
        const char* message;
    } rows[] = {
        {image::Tab::Shp, true, "IMGSHP\x06.", kAck, "イメージコマンド正常終了"},
        {image::Tab::Box, false, "IMGBOX\x06.", kNoPicture,
         "スキャナが画像なしで応答しました: IMGBOX<ACK>."},
        {image::Tab::Snp, false, "IMGSNP\x06.", kAck, "イメージコマンド正常終了"},
        {image::Tab::Shp, false, "IMGSHP\x15.", kNak, "パラメータエラー"},
        {std::nullopt, false, "BEPLVL2\x06.", kAck, "コマンド正常終了"},
        {std::nullopt, true, "IMGSHP\x06.", kAck, "コマンド正常終了"},
    };
    for (const auto& r : rows) {
        const ReplyOutcome o = replyOutcome(r.tab, r.picture, QByteArray(r.reply));
        EXPECT_EQ(o.status, r.status) << r.reply;
        EXPECT_EQ(o.message.toStdString(), r.message) << r.reply;
    }
    EXPECT_EQ(statusForOpen(OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_TURNED_AWAY), kBusy);
    EXPECT_EQ(statusForOpen(OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_HELD), 11);
}

TEST(CaptureOptions, StatusesAreDistinctAndDocumentedInHelpAndManualPage) {
    QSet<int> seen;
    for (const StatusRow& s : statuses()) {
        EXPECT_FALSE(seen.contains(s.status)) << s.status;
        seen.insert(s.status);
    }
    for (std::int32_t code = -1; code >= -8; --code) {
        EXPECT_TRUE(seen.contains(statusForLibrary(code))) << code;
    }
    EXPECT_EQ(statusForLibrary(OMBRIX_E_CANCELLED), kCancelled);
    EXPECT_TRUE(seen.contains(statusForLibrary(OMBRIX_E_NO_WATCHER)));
    for (image::Reply r : {image::Reply::Ack, image::Reply::Nak, image::Reply::Enq,
                           image::Reply::Nothing, image::Reply::Other}) {
        EXPECT_TRUE(seen.contains(statusForReply(r)));
    }

    std::ifstream in(TAVORIN_SOURCE_DIR "/packaging/tavorin-capture.1");
    ASSERT_TRUE(in) << "no manual page";
    std::stringstream page;
    page << in.rdbuf();
    const QString man = QString::fromStdString(page.str());
    const QString help = helpText();
    for (const StatusRow& s : statuses()) {
        const QString meaning = QString::fromUtf8(s.meaning.en);
        EXPECT_TRUE(help.contains(QStringLiteral("%1  %2").arg(s.status, 2).arg(meaning)))
            << s.status;
        EXPECT_TRUE(man.contains(QStringLiteral(".B %1\n%2").arg(s.status).arg(meaning)))
            << "the manual page lacks status " << s.status;
    }
    // The options of the tool itself, and at least three worked examples.
    for (const char* o : kGeneral) {
        EXPECT_TRUE(help.contains(QLatin1String(o))) << o;
        EXPECT_TRUE(man.contains(QString(QLatin1String(o)).replace(u'-', QStringLiteral("\\-"))))
            << "the manual page lacks " << o;
    }
    EXPECT_GE(help.count(QStringLiteral("\n  tavorin-capture ")), 3);
    EXPECT_GE(man.count(QStringLiteral("tavorin\\-capture \\-\\-")), 3);
}

}  // namespace
