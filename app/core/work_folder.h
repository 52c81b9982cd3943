// Where the program keeps its settings file and the pictures it receives
// under their default names. Started from a terminal (or from its own folder
// on Windows), that is the current directory: the user chose it by starting
// the program there. Started from the desktop's or the Start menu, the current directory is
// whatever folder the desktop starts programs in (usually the home folder, among the user's own
// files), so the program works in a per-user data folder of its own instead.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace tavorin {

// What the desktop menu's entry passes on the command line; a start from a
// terminal passes nothing of the kind. An explicit mark rather than a guess
// from the environment: desktops differ in what they set, and a terminal
// started from the desktop inherits it all.
inline const QString kFromMenuArgument = QStringLiteral("--from-menu");

struct WorkFolder {
    bool fromMenu = false;
    // For a start from the menu, the folder to work in; empty when the
    // environment names no absolute folder to put it in.
    QString path;
};

// Reads one environment variable; an empty text when it is unset.
using Environment = std::function<QString(const char* name)>;

// Decides from the program's arguments (its name left out) and the
// environment. The data folder is the platform's per-user one
// (dataFolderFrom below); empty when the environment names no absolute
// folder to put it in.
WorkFolder chooseWorkFolder(const QStringList& arguments, const Environment& environment);

// The per-user data folder on this platform. On Linux $XDG_DATA_HOME/tavorin,
// or $HOME/.local/share/tavorin where XDG_DATA_HOME is unset, empty or
// relative: a relative one would depend on the very directory the program is
// moving away from, and the desktop's base-directory rules say to ignore it.
// On Windows %LOCALAPPDATA%\Tavorin, the folder of programs' data that is the
// user's alone and stays on this PC.
QString dataFolderFrom(const Environment& environment);

// For a start from the menu: makes the folder where it is missing (with
// every missing parent, each only for the user, as the settings and
// pictures are nobody else's business: 0700 on Linux; on Windows the
// per-user folder's own permissions pass on) and makes it the current directory.
// Where that fails, or the folder cannot be written, the current directory
// is left as it is, the user is told through the dialog seam where the files
// go instead, and the result is false. A start from a terminal changes
// nothing.
bool enterWorkFolder(const WorkFolder& folder);

}  // namespace tavorin
