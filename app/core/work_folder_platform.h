// What choosing and entering the work folder asks of the platform
// (work_folder_posix.cpp, work_folder_win32.cpp).
#pragma once

#include <QString>

namespace tavorin::workfolder {

// Makes `path` with its missing parents and makes it the current
// directory, once it is known that files can be written there. An empty
// text on success, else the system's reason.
QString enter(const QString& path);

// How the per-user data folder is named to a user when the environment
// names none ("~/.local/share/tavorin").
QString unnamedFolder();

}  // namespace tavorin::workfolder
