// Where the program keeps its settings file and the pictures it receives
// under their default names. Started from a terminal, that is the current
// directory: the user chose it by starting the program there. Started from
// the desktop menu, the current directory is whatever folder the desktop
// starts programs in (usually the home folder, among the user's own files),
// so the program works in a per-user data folder of its own instead.
#pragma once

#include <QString>
#include <QStringList>

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

// Decides from the program's arguments (its name left out) and the values
// of XDG_DATA_HOME and HOME. The data folder is $XDG_DATA_HOME/tavorin, or
// $HOME/.local/share/tavorin where XDG_DATA_HOME is unset, empty or
// relative: a relative one would depend on the very directory the program
// is moving away from, and the desktop's base-directory rules say to
// ignore it.
WorkFolder chooseWorkFolder(const QStringList& arguments, const QString& dataHome,
                            const QString& home);

// For a start from the menu: makes the folder where it is missing (with
// every missing parent, each only for the user, 0700, as the settings and
// pictures are nobody else's business) and makes it the current directory.
// Where that fails, or the folder cannot be written, the current directory
// is left as it is, the user is told through the dialog seam where the files
// go instead, and the result is false. A start from a terminal changes
// nothing.
bool enterWorkFolder(const WorkFolder& folder);

}  // namespace tavorin
