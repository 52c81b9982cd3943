// The connection settings dialog of one slot: lists the ports, offers the
// line settings, opens the port and records the choices.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <array>

#include "common.h"
#include "comsetting_logic.h"

namespace tavorin {

class FrmTerminal;

class FrmComSetting : public QDialog {
    Q_OBJECT
  public:
    FrmComSetting(Common& common, FrmTerminal& terminal, QWidget* owner);

    short MyIdx = 0;

    QComboBox* CmbPortNo;
    // The seven line-setting lists, in the order of comsetting::List.
    std::array<QComboBox*, comsetting::kListCount> lists{};
    QLineEdit* TxtTimeout;
    QPushButton* CmdOpen;
    QPushButton* CmdCancel;

    // Loads afresh and runs the dialog modally, as each show does.
    void run();

    void Form_Load();
    void CmdOpen_Click();
    void CmdCancel_Click();

    // The position a list stands at: -1 when nothing is selected or the
    // user typed a text of their own.
    static int position(const QComboBox* box);

  private:
    Common& c_;
    FrmTerminal& terminal_;
};

}  // namespace tavorin
