// The program's start, shared by the executable and the screenshot mode.
#pragma once

class QApplication;

namespace tavorin {

// Installs the dialog seam and the library's message pump, moves into the
// folder the program works in, loads the main window and runs until it has
// unloaded.
int runProgram(QApplication& app);

// The program's font: the windows are laid out in twips for a 9-point face;
// a larger default font would clip the labels' Japanese.
void applyProgramFont(QApplication& app);

// Qt's own texts in Japanese (the standard buttons read "キャンセル"),
// whatever the system's language: the program speaks only Japanese. False
// when the translations are not installed.
bool installTranslations(QApplication& app);

// Runs every blocking library call's waits through Qt's event loop, so that
// all windows stay alive while a call waits for the scanner.
void installPump();

}  // namespace tavorin
