// The dialog seam's Qt side: plain message boxes with the program's title
// and no icon, OK (and Cancel for the one question), and the save-as dialog.
#pragma once

#include "dialog.h"

class QWidget;

namespace tavorin {

class QtDialog : public Dialog {
  public:
    void message(const QString& text) override;
    bool question(const QString& text) override;
    QString saveFileName(const QString& title, const QString& initial, const QString& filter,
                         const QString& defaultSuffix) override;
};

}  // namespace tavorin
