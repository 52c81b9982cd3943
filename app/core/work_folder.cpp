#include "work_folder.h"

#include <QDir>

#include "dialog.h"
#include "work_folder_platform.h"

namespace tavorin {

WorkFolder chooseWorkFolder(const QStringList& arguments, const Environment& environment) {
    WorkFolder out;
    out.fromMenu = arguments.contains(kFromMenuArgument);
    if (out.fromMenu) out.path = dataFolderFrom(environment);
    return out;
}

bool enterWorkFolder(const WorkFolder& folder) {
    if (!folder.fromMenu) return true;
    const QString why = workfolder::enter(folder.path);
    if (why.isEmpty()) return true;
    const QString shown =
        folder.path.isEmpty() ? workfolder::unnamedFolder() : QDir::toNativeSeparators(folder.path);
    dialog().message(
        QStringLiteral("フォルダ「%1」を使えません（%2）。\n設定と画像は「%3」に保存します。")
            .arg(shown, why, QDir::toNativeSeparators(QDir::currentPath())));
    return false;
}

}  // namespace tavorin
