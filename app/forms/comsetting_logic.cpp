#include "comsetting_logic.h"

#include <QRegularExpression>
#include <limits>
#include <optional>

#include "common.h"
#include "numbers.h"
#include "ombrix.h"
#include "portget.h"

namespace tavorin::comsetting {
namespace {

const std::array<ListSpec, kListCount>& table() {
    static const std::array<ListSpec, kListCount> t = {{
        {"CmbBaud",
         {{u"300 bps", 0, "300bps"},
          {u"600 bps", 1, "600bps"},
          {u"1200 bps", 2, "1200bps"},
          {u"2400 bps", 3, "2400bps"},
          {u"4800 bps", 4, "4800bps"},
          {u"9600 bps", 5, "9600bps"},
          {u"19.2K bps", 6, "19.2Kbps"},
          {u"38.4K bps", 7, "38.4Kbps"},
          {u"57.6K bps", 8, "57.6Kbps"},
          {u"115.2K bps", 9, "115.2Kbps"}},
         {u"", 5, "9600bps"}},
        {"CmbDataB", {{u"７ビット", 0, ",7bit"}, {u"８ビット", 1, ",8bit"}}, {u"", 1, ",8bit"}},
        {"CmbStopB", {{u"１ビット", 0, ",1"}, {u"２ビット", 1, ",2"}}, {u"", 1, ",2"}},
        {"CmbParity",
         {{u"なし", 0, ",NONE"}, {u"偶数", 1, ",EVEN"}, {u"奇数", 2, ",ODD"}},
         {u"", 2, ",ODD"}},
        // Flow flags as the library reads them: 2 hardware, 1 software.
        {"CmbFlow",
         {{u"なし", 0, ",NONE"},
          {u"RTS/CTS", 2, ",RTS/CTS"},
          {u"XON/XOFF", 1, ",XON/XOFF"},
          {u"両方", 3, ",RTS/CTS&&XON/XOFF"}},
         {u"", 0, ",FLOW-NONE"}},
        {"CmbPrefix", {{u"なし", 0, ",<>-"}, {u"STX", 1, ",<STX>-"}}, {u"", 0, ",<STX>-"}},
        {"CmbPostfix",
         {{u"なし", 0, "<>"},
          {u"ETX", 1, "<ETX>"},
          {u"TAB", 2, "<TAB>"},
          {u"CR+LF", 3, "<CR><LF>"}},
         {u"", 0, "<>"}},
    }};
    return t;
}

int toInt(double v) {
    std::int64_t r = RoundHalfEven(v);
    if (r > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (r < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(r);
}

}  // namespace

const ListSpec& list(List which) {
    return table()[static_cast<std::size_t>(which)];
}

QStringList entries(List which) {
    QStringList out;
    for (const Choice& c : list(which).choices) out << QString::fromUtf16(c.entry);
    return out;
}

const Choice& choiceAt(List which, int position) {
    const ListSpec& l = list(which);
    if (position < 0 || position >= static_cast<int>(l.choices.size())) return l.none;
    return l.choices[static_cast<std::size_t>(position)];
}

Record parseRecord(const QString& text) {
    QStringList fields = SplitFields(text, 9);
    while (fields.size() < 9) fields << QString();
    Record r;
    r.com = toInt(LeadingNumber(fields[0]));
    for (int i = 0; i < kListCount; ++i) {
        r.positions[static_cast<std::size_t>(i)] = toInt(LeadingNumber(fields[i + 1]));
    }
    r.timeoutText = fields[8].isEmpty() ? QStringLiteral("100") : NumberFromText(fields[8]);
    return r;
}

QString makeRecord(int com, const Positions& positions, std::int32_t timeout) {
    QStringList fields{QString::number(com)};
    for (int p : positions) fields << QString::number(p);
    fields << QString::number(timeout);
    return fields.join(u',');
}

TimeoutCheck checkTimeout(const QString& text, int maxLength) {
    TimeoutCheck c;
    if (!IsNumber(text)) {
        c.message = localized(kTimeoutNotNumber);
        return c;
    }
    double v = LeadingNumber(text);
    // Beyond the signed 32-bit range the time-out cannot be held; such a
    // text is as unusable as letters.
    if (v >= 2147483647.5 || v < -2147483648.5) {
        c.message = localized(kTimeoutNotNumber);
        return c;
    }
    c.value = static_cast<std::int32_t>(RoundHalfEven(v));
    if (QString::number(c.value).size() > maxLength) {
        c.message = localized(kTimeoutNotNumber);
        return c;
    }
    c.rewrite = true;
    if (c.value < 1) {
        c.message = localized(kTimeoutTooSmall);
        return c;
    }
    c.ok = true;
    return c;
}

namespace {

// A line setting's name, and a value of it spelled as the dialog's lists
// would spell it, for a server that did not set it as asked.
struct SettingWords {
    std::int32_t setting;
    Text name;
    Text value;               // %1: the number, or the word below
    std::vector<Text> words;  // values 0, 1, 2 by word, where they have one
};

const std::vector<SettingWords>& settingWords() {
    static const std::vector<SettingWords> table = {
        {OMBRIX_LINE_SPEED, {u"ボーレート", "speed"}, {u"%1 bps", "%1 bps"}, {}},
        {OMBRIX_LINE_DATA,
         {u"データビット", "data bits"},
         {u"データビット %1", "%1 data bits"},
         {}},
        {OMBRIX_LINE_PARITY,
         {u"パリティ", "parity"},
         {u"パリティ %1", "parity %1"},
         {{u"なし", "none"}, {u"偶数", "even"}, {u"奇数", "odd"}}},
        {OMBRIX_LINE_STOP,
         {u"ストップビット", "stop bits"},
         {u"ストップビット %1", "%1 stop bit(s)"},
         {}},
        {OMBRIX_LINE_FLOW,
         {u"ハンドシェイク", "flow control"},
         {u"ハンドシェイク %1", "flow control %1"},
         {{u"なし", "none"}, {u"XON/XOFF", "XON/XOFF"}, {u"RTS/CTS", "RTS/CTS"}}},
    };
    return table;
}

QString lineValue(const SettingWords& s, std::int32_t value) {
    if (value == OMBRIX_LINE_OTHER) {
        return localized({u"%1の別の値", "another %1"}).arg(localized(s.name));
    }
    if (value >= 0 && static_cast<std::size_t>(value) < s.words.size()) {
        return localized(s.value).arg(localized(s.words[static_cast<std::size_t>(value)]));
    }
    return localized(s.value).arg(value);
}

QString lineNotSet(const OpenFailureInfo& why) {
    for (const SettingWords& s : settingWords()) {
        if (s.setting != why.lineSetting) continue;
        const QString asked = lineValue(s, why.asked);
        if (why.set == OMBRIX_LINE_NO_ANSWER) {
            return localized({u"サーバーから %1 の設定の応答がありません",
                              "the server did not confirm %1 within 1 second"})
                .arg(asked);
        }
        return localized({u"サーバーが設定したのは %1 で、%2 ではありません",
                          "the server set %1, not %2"})
            .arg(lineValue(s, why.set), asked);
    }
    return localized({u"サーバーが通信設定を受け付けません", "the server did not set the line"});
}

// A text for each of some library values, and the one for `value` (none
// when it has no row).
struct CodedText {
    std::int32_t value;
    Text text;
};
template <std::size_t N>
std::optional<QString> textFor(const CodedText (&table)[N], std::int32_t value) {
    for (const CodedText& row : table) {
        if (row.value == value) return localized(row.text);
    }
    return std::nullopt;
}

// Which part of a network name is wrong.
QString namePart(std::int32_t part) {
    static constexpr CodedText kParts[] = {
        {OMBRIX_NAME_SCHEME,
         {u"rfc2217:// か socket:// で始めてください",
          "it must begin with rfc2217:// or socket://"}},
        {OMBRIX_NAME_USER, {u"ユーザー名（@）は使えません", "a user name (user@) is not allowed"}},
        {OMBRIX_NAME_HOST,
         {u"ホスト名がないか正しくありません", "the host is missing or malformed"}},
        {OMBRIX_NAME_IPV6,
         {u"IPv6 アドレスは [ ] で囲んでください", "an IPv6 address goes in brackets: [::1]"}},
        {OMBRIX_NAME_NO_PORT, {u"ポート番号がありません", "no port number after the host"}},
        {OMBRIX_NAME_PORT, {u"ポート番号は 1～65535 です", "the port number is 1 to 65535"}},
        {OMBRIX_NAME_PATH,
         {u"ポート番号の後ろには何も書けません", "nothing may follow the port number"}},
    };
    return textFor(kParts, part).value_or(QString());
}

}  // namespace

QString openFailureMessage(std::int32_t code, const OpenFailureInfo& why) {
    // The second line by the library's reason; a reason without a row adds
    // nothing to the result code's message. The library gives a reason only
    // to an open that failed for it, whatever code that failure has: a
    // network port's malformed name is a parameter error, a server that
    // cannot set the line a communication error.
    static constexpr CodedText kCauses[] = {
        // The usual reason on Linux: the serial devices belong to a group
        // the user is not in, and a new group takes a new login.
        {OMBRIX_OPEN_DENIED,
         {u"ポートを使う権限がありません（dialout グループに加えて、ログインし直してください）",
          "no permission to use the port (join the dialout group, then log in again)"}},
        {OMBRIX_OPEN_NO_DEVICE,
         {u"ポートのデバイスが見つかりません", "the port's device is not there"}},
        {OMBRIX_OPEN_HELD,
         {u"ポートは他のプログラムが使用中です", "another program uses the port"}},
        {OMBRIX_OPEN_NOT_TTY,
         {u"ポートの名前がシリアルデバイスを指していません",
          "the port's name leads to no serial device"}},
        {OMBRIX_OPEN_BAD_NAME,
         {u"ネットワークポートの名前が正しくありません", "the network port's name is malformed"}},
        {OMBRIX_OPEN_NO_HOST, {u"ホストが見つかりません", "no such host"}},
        {OMBRIX_OPEN_UNREACHABLE,
         {u"ホストへの経路がありません（ホストに到達できません）",
          "no route to the host (host unreachable)"}},
        {OMBRIX_OPEN_REFUSED, {u"ホストが接続を拒否しました", "the host refused the connection"}},
        {OMBRIX_OPEN_NO_ANSWER,
         {u"ホストから応答がありません", "the host did not answer within 5 seconds"}},
        {OMBRIX_OPEN_TURNED_AWAY,
         {u"ポートは他の接続が使用中です", "the server serves another connection on this port"}},
        {OMBRIX_OPEN_TELNET,
         {u"サーバーが telnet で応答しました（rfc2217:// のポートとして追加してください）",
          "the server speaks telnet (add the port as rfc2217://)"}},
        {OMBRIX_OPEN_NO_COM_CONTROL,
         {u"サーバーが通信設定（RFC 2217）に対応していません",
          "the server cannot set the serial line (no RFC 2217)"}},
        {OMBRIX_OPEN_DROPPED,
         {u"サーバーが接続を切断しました", "the server closed the connection"}},
    };
    const QString text = ErrorMessageText(code);
    if (text.isEmpty()) return text;
    if (why.reason == OMBRIX_OPEN_LINE_NOT_SET) return text + u'\n' + lineNotSet(why);
    std::optional<QString> line = textFor(kCauses, why.reason);
    if (!line) return text;
    QString fact;
    if (why.reason == OMBRIX_OPEN_TURNED_AWAY && !why.words.isEmpty()) {
        fact = localized({u"サーバーの応答: %1", "the server said: %1"}).arg(why.words);
    } else if (why.reason == OMBRIX_OPEN_BAD_NAME) {
        fact = namePart(why.namePart);
    }
    if (!fact.isEmpty()) *line += localized({u"（%1）", " (%1)"}).arg(fact);
    return text + u'\n' + *line;
}

QString openFailureMessage(std::int32_t code, std::int32_t cause) {
    OpenFailureInfo why;
    why.reason = cause;
    return openFailureMessage(code, why);
}

OpenArgs openArgs(const Positions& p, std::int32_t timeout) {
    const Choice& baud = choiceAt(Baud, p[Baud]);
    const Choice& data = choiceAt(DataBits, p[DataBits]);
    const Choice& stop = choiceAt(StopBits, p[StopBits]);
    const Choice& parity = choiceAt(Parity, p[Parity]);
    const Choice& flow = choiceAt(Flow, p[Flow]);
    OpenArgs a{baud.code, data.code, stop.code, parity.code, flow.code, QString()};
    for (int i = 0; i < kListCount; ++i) {
        a.description += QString::fromLatin1(
            choiceAt(static_cast<List>(i), p[static_cast<std::size_t>(i)]).piece);
    }
    a.description +=
        QStringLiteral(", TIMEOUT-") + QString::number(timeout) + QStringLiteral("(ms)");
    return a;
}

const std::vector<NetworkKind>& networkKinds() {
    static const std::vector<NetworkKind> kinds = {
        {u"RFC 2217（回線設定あり）", "rfc2217"},
        {u"TCP（データのみ）", "socket"},
    };
    return kinds;
}

QStringList networkKindEntries() {
    QStringList out;
    for (const NetworkKind& k : networkKinds()) out << QString::fromUtf16(k.entry);
    return out;
}

NetworkPortCheck checkNetworkPort(int kind, const QString& host, const QString& port) {
    NetworkPortCheck c;
    const std::vector<NetworkKind>& kinds = networkKinds();
    const NetworkKind& k = kinds[kind >= 0 && static_cast<std::size_t>(kind) < kinds.size()
                                     ? static_cast<std::size_t>(kind)
                                     : 0];
    QString h = host.trimmed();
    // What a host may look like is the library's to judge; only what would
    // make a name of another shape is refused here.
    if (h.isEmpty() || h.contains(QRegularExpression(QStringLiteral("[\\s/?#@]")))) {
        c.message = QStringLiteral("ホスト名を入力してください");
        c.field = NetworkPortCheck::Field::Host;
        return c;
    }
    // An IPv6 address goes in brackets, as in any URL.
    if (h.contains(u':') && !h.startsWith(u'[')) h = u'[' + h + u']';
    bool number = false;
    const int p = port.trimmed().toInt(&number);
    if (!number || p < 1 || p > 65535) {
        c.message = QStringLiteral("ポート番号には１～６５５３５の数値を入力してください");
        c.field = NetworkPortCheck::Field::Port;
        return c;
    }
    c.ok = true;
    c.name = QStringLiteral("%1://%2:%3").arg(QString::fromLatin1(k.scheme), h).arg(p);
    return c;
}

QString networkPortFailure(std::int32_t code, const QString& folderWarning) {
    switch (code) {
        case OMBRIX_E_PARAM:
            return QStringLiteral("ネットワークポートの名前が正しくありません");
        case OMBRIX_E_NO_ROOM:
            return QStringLiteral("空いているCOM番号がありません");
        default:
            return folderWarning.isEmpty()
                       ? QStringLiteral("ポートフォルダにネットワークポートを追加できません")
                       : folderWarning;
    }
}

QString slotCaption(const QString& name, int room,
                    const std::function<int(const QString&)>& width) {
    if (width(name) <= room) return name;
    const qsizetype at = name.lastIndexOf(QStringLiteral("(COM"));
    QString head = at < 0 ? name : name.left(at);
    QString tail = at < 0 ? QString() : name.mid(at);
    if (PortGet::isNetworkName(head.trimmed())) {
        head = head.mid(head.indexOf(QStringLiteral("://")) + 3);
        if (width(head + tail) <= room) return head + tail;
        // A network port's host and TCP port are what tell it apart; the
        // number gives way to them.
        head = head.trimmed();
        tail.clear();
        if (width(head) <= room) return head;
    }
    const QString ellipsis = QStringLiteral("…");
    while (!head.isEmpty() && width(head + ellipsis + tail) > room) head.chop(1);
    return head + ellipsis + tail;
}

int PortSelection::choose(const std::vector<int>& coms, int current) {
    // A selection this object did not make was the user's.
    if (current != 0 && current != chosen_) picked_ = current;
    const int want = picked_ != 0 ? picked_ : stored_;
    int at = coms.empty() ? -1 : 0;
    for (std::size_t i = 0; i < coms.size(); ++i) {
        if (coms[i] == want) {
            at = static_cast<int>(i);
            break;
        }
    }
    chosen_ = at >= 0 ? coms[static_cast<std::size_t>(at)] : 0;
    return at;
}

}  // namespace tavorin::comsetting
