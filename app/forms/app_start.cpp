#include "app_start.h"

#include <QApplication>

#include "binding.h"
#include "common.h"
#include "frm_image.h"
#include "qt_dialog.h"

namespace tavorin {
namespace {

void pumpEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

}  // namespace

void installPump() { PumpSet(&pumpEvents); }

int runProgram(QApplication& app) {
    static QtDialog boxes;
    setDialog(&boxes);
    Common common;
    FrmImage main(common);
    installPump();
    main.show();
    int rc = app.exec();
    PumpSet(nullptr);
    return rc;
}

}  // namespace tavorin
