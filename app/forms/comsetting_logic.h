// What the connection settings dialog decides, without a widget: the seven
// line-setting lists (entries, library codes, description pieces), the
// settings record, the time-out check and the connection description.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "binding.h"
#include "language.h"

namespace tavorin::comsetting {

enum List { Baud, DataBits, StopBits, Parity, Flow, Prefix, Postfix, kListCount };

struct Choice {
    const char16_t* entry;
    int code;           // the value passed to the library (unused for prefix/postfix)
    const char* piece;  // what the choice adds to the connection description
};

struct ListSpec {
    const char* control;  // the combo box's name
    std::vector<Choice> choices;
    Choice none;  // what "no entry selected" (position -1) means
};

// The one table the dialog fills its lists from and maps them with.
const ListSpec& list(List which);
QStringList entries(List which);
// The choice at `position`; any position outside the list means none.
const Choice& choiceAt(List which, int position);

using Positions = std::array<int, kListCount>;

// A settings record read for preselection: the COM number, the seven list
// positions (rounded) and the time-out text to show.
struct Record {
    int com = 0;
    Positions positions{};
    QString timeoutText;
};
Record parseRecord(const QString& text);
QString makeRecord(int com, const Positions& positions, std::int32_t timeout);

// Which entry the port list selects, when it is filled as the dialog loads
// and each time it is read again while the dialog is open. The stored
// record's number is preferred until someone chooses another entry; that
// choice is kept from then on, and comes back with its port when the port
// went away for a while.
class PortSelection {
  public:
    explicit PortSelection(int storedCom = 0) : stored_(storedCom) {}
    // The position to select among the entries' COM numbers (-1 for an
    // empty list); `current` is the number selected before the list was
    // read again, 0 for none.
    int choose(const std::vector<int>& coms, int current);

  private:
    int stored_;
    int chosen_ = 0;  // what this object selected last
    int picked_ = 0;  // what someone else selected since, 0 for nothing
};

// The time-out field's check when the port is opened.
struct TimeoutCheck {
    bool ok = false;
    QString message;       // shown when refused
    bool rewrite = false;  // whether the box is rewritten with `value`
    std::int32_t value = 0;
};
// `maxLength` is what the time-out box holds: a value whose digits would not
// fit is refused, so that the box always shows the time-out in use.
TimeoutCheck checkTimeout(const QString& text, int maxLength);

// The library arguments and the terminal's description line for an open.
struct OpenArgs {
    int baud, dataBits, stopBits, parity, flow;
    QString description;
};
OpenArgs openArgs(const Positions& positions, std::int32_t timeout);

// What the user is told when a port does not open: the library's message
// for the code, and for a device that could not be had, a second line that
// names the cause (and, for a refusal, the fix) with the facts the library
// gave: the server's own words, the line setting asked for and the one
// set, the part of a network name that is wrong. In the current language.
QString openFailureMessage(std::int32_t code, const OpenFailureInfo& why);
QString openFailureMessage(std::int32_t code, std::int32_t cause);

// A port on the network, as the user describes it to the dialog: which
// kind of server it is, its host and its TCP port. The name the library
// takes is made from them; whether the library accepts the name decides
// the rest.
struct NetworkKind {
    const char16_t* entry;  // what the kind list shows
    const char* scheme;     // the name's scheme
};
// RFC 2217 first: a server that can set the line is the usual case.
const std::vector<NetworkKind>& networkKinds();
QStringList networkKindEntries();

struct NetworkPortCheck {
    bool ok = false;
    QString name;     // rfc2217://HOST:PORT or socket://HOST:PORT when ok
    QString message;  // why not, when refused
    enum class Field { None, Host, Port } field = Field::None;
};
NetworkPortCheck checkNetworkPort(int kind, const QString& host, const QString& port);

// Why a network port could not be added: the library's result, with the
// port directory's warning when it is the directory that refused.
QString networkPortFailure(std::int32_t code, const QString& folderWarning);

// The caption a slot button shows for the port listed as `name`, in `room`
// pixels, `width` measuring a text in the button's face: the whole name when
// it fits. Else a device's COM number stays whole, since it is what tells
// two alike adapters apart, and the description gives way at its end. A
// network port is told apart by its host and TCP port: it gives up its
// scheme first, then its COM number, and only then the end of the rest.
QString slotCaption(const QString& name, int room, const std::function<int(const QString&)>& width);

// Network ports the user adds take numbers from here up, above the
// built-in devices and the numbers USB devices get first.
constexpr int kFirstNetworkCom = 100;

inline const QString kSelectPort = QStringLiteral("ポートを選択してください");
// The time-out check's refusals; checkTimeout() words them in the current
// language.
inline constexpr Text kTimeoutNotNumber = {u"タイムアウトには数値を入力してください",
                                           "enter a number for the time-out"};
inline constexpr Text kTimeoutTooSmall = {u"タイムアウトには１以上の数値を入力してください",
                                          "enter a time-out of 1 or more"};

}  // namespace tavorin::comsetting
