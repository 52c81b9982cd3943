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
    if (!qtTexts.load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                      QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        return false;
    }
    app.installTranslator(&qtTexts);
    return true;
}

int runProgram(QApplication& app) {
    applyProgramFont(app);
    installTranslations(app);

    static QtDialog boxes;
    setDialog(&boxes);
    // Before the main window reads its settings: they, and the pictures, are
    // kept where the program works.
    enterWorkFolder(chooseWorkFolder(app.arguments().mid(1), qEnvironmentVariable("XDG_DATA_HOME"),
                                     qEnvironmentVariable("HOME")));
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
