// Tavorin_WIN: the program starts by loading its main window; everything
// else follows from there.
#include <QApplication>

#include "app_start.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return tavorin::runProgram(app);
}
