// A mode of the program for looking at its windows without working them:
// each window it can open is shown with sample content and written as a PNG.
#pragma once

#include <QString>

namespace tavorin {

class FrmImage;

// Writes main.png, comsetting.png, terminal.png, progress.png and
// picture.png into `directory`; returns the number of files that could not
// be written.
int takeScreenshots(const QString& directory, FrmImage& main);

}  // namespace tavorin
