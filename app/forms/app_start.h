// The program's start, shared by the executable and the screenshot mode.
#pragma once

class QApplication;

namespace tavorin {

// Installs the dialog seam and the library's message pump, loads the main
// window and runs until it has unloaded.
int runProgram(QApplication& app);

// Runs every blocking library call's waits through Qt's event loop, so that
// all windows stay alive while a call waits for the scanner.
void installPump();

}  // namespace tavorin
