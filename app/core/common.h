// The program-wide state and the helpers every window shares: the result
// messages, the settings file and the default image file names.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <optional>

namespace tavorin {

constexpr int kSlotCount = 3;

// The state of a running image command. None also while an IMGSNP command
// waits for the trigger: only a blocking transfer, or a cancel the user asked
// for, keeps the main window from closing. The numbers are the stored ones.
enum class Wait : std::int16_t { None = 0, Transfer = 1, CancelRequested = 2 };

// Who closes a window: the user's close box (which a window may refuse) or
// the program (never refused). The numbers are the customary unload modes.
enum class UnloadMode : std::int16_t { UserClose = 0, Program = 1 };

// One object of it lives as long as the program; every window reaches it.
struct Common {
    // Per connection slot. A negative handle means the slot is idle.
    std::array<std::int32_t, kSlotCount> ComHandle{-1, -1, -1};
    std::array<QString, kSlotCount> ComCaption;
    std::array<QString, kSlotCount> ComSetting;

    // What an image command is waiting for; see `Wait`.
    Wait WaitState = Wait::None;

    // Settings texts kept in the settings file.
    QString TermMinimum;
    QString ImgSnpSetting;
    QString ImgShpSetting;
    QString ImgShpFileSetting;
    QString ImgBoxSetting;
    QString ImgBoxFileSetting;
};

// The file's name; it lives in the current directory.
inline const QString kSettingsFile = QStringLiteral("Tavorin.ini");

// Shows the message for a negative library result through the dialog seam;
// 0 and above, and codes without a message, show nothing.
void ShowErrorMessage(std::int32_t code);
// The message for a code in the current language (see language.h), or an
// empty text when it has none.
QString ErrorMessageText(std::int32_t code);

// The settings file's key of one of the texts above ("IMGSHPFL=" for
// &Common::ImgShpFileSetting), and of a slot's connection ("SCANNER1=" for
// slot 0): what a message names a remembered value by.
QString SettingsKey(QString Common::*text);
QString SettingsKey(int slot);

// Empties every settings text, then reads them from the settings file in the
// current directory. A missing or unreadable file leaves what was read.
void LoadSettings(Common& c);
// The same from the settings file at `path`. `garbled`, when given,
// receives the key ("IMGSHPFL=" ...) of every line whose bytes are no text
// of the locale's encoding: such a line is read with stand-ins for the bytes
// it could not decode, and a caller that must not use a changed text (a file
// name) can refuse it.
void LoadSettings(Common& c, const QString& path, QStringList* garbled = nullptr);
// The first control character in a remembered text (a NUL, a line break,
// any code of the C0 and C1 ranges and DEL), or nothing. No value the
// program writes holds one; where one stands in the settings file the file
// was made or changed by something else, and such a value is malformed: a
// file name with a NUL in it would name another file where the system takes
// it.
std::optional<char16_t> ControlCharacterIn(const QString& text);

// Writes the nine lines. The file is replaced whole or not at all: a failed
// write leaves the previous file as it was. Returns false on failure (the
// program itself reports nothing).
bool SaveSettings(const Common& c);

// Puts `bytes` at `path` whole or not at all: written beside the old file
// and renamed over it only once complete, so that a full disk or a crash
// midway leaves the previous file as it was. False on failure.
bool WriteFileWhole(const QString& path, const QByteArray& bytes);

// "Tavorin_Image" + (slot + 1) + "." + extension, in the current directory.
QString MakeImageFileName(int slot, const QString& extension);

// Enough of a file's state to tell afterwards whether something wrote it: a
// picture that replaced the file (a new file) or was rewritten into it
// changes its size or its times.
struct FileStamp {
    bool exists = false;
    // A regular file, which keeps what is written to it; a FIFO or a
    // device only passes it on, and a failure may have cut that short.
    bool regular = false;
    qint64 size = 0;
    QDateTime modified;
    QDateTime changed;  // the status change: a rename over the name sets it too
    QDateTime born;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};
FileStamp fileStamp(const QString& path);

}  // namespace tavorin
