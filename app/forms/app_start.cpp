#include "app_start.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "binding.h"
#include "common.h"
#include "frm_image.h"
#include "qt_dialog.h"
#include "screenshots.h"
#include "work_folder.h"

namespace tavorin {
namespace {

void pumpEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace

void installPump() {
    PumpSet(&pumpEvents);
}

void applyProgramFont(QApplication& app) {
    QFont font = app.font();
    font.setPointSize(9);
    app.setFont(font);
}

bool installTranslations(QApplication& app) {
    static QTranslator qtTexts;
    // Qt's own folder where Qt is installed as the system's; beside the
    // program where Qt travels with it (the Windows folder and installer).
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    for (const QString& folder :
         {QLibraryInfo::path(QLibraryInfo::TranslationsPath),
          QCoreApplication::applicationDirPath() + QStringLiteral("/translations")}) {
        if (qtTexts.load(japanese, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
            app.installTranslator(&qtTexts);
            return true;
        }
    }
    return false;
}

int runProgram(QApplication& app) {
    applyProgramFont(app);
    installTranslations(app);

    static QtDialog boxes;
    setDialog(&boxes);
    // Before the main window reads its settings: they, and the pictures, are
    // kept where the program works.
    enterWorkFolder(chooseWorkFolder(app.arguments().mid(1),
                                     [](const char* name) { return qEnvironmentVariable(name); }));
    Common common;
    FrmImage main(common);
    installPump();
    // A mode for looking at the windows (scripts/screenshots.sh): each one is
    // written as a picture and the program ends.
    const QString shots = qEnvironmentVariable("TAVORIN_SCREENSHOTS");
    if (!shots.isEmpty()) {
        int failed = takeScreenshots(shots, main);
        main.requestClose(UnloadMode::Program);
        PumpSet(nullptr);
        return failed == 0 ? 0 : 1;
    }
    main.show();
    int rc = app.exec();
    PumpSet(nullptr);
    return rc;
}

}  // namespace tavorin
