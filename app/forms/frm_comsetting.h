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
#include "portwatch.h"

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
    // Under everything, shown only while the library ignores the port
    // directory: why the user's aliases are missing from the list.
    QLabel* LblPortFolder;

    // Loads afresh and runs the dialog modally, as each show does.
    void run();

    void Form_Load();
    void CmdOpen_Click();
    void CmdCancel_Click();

    // The position a list stands at: -1 when nothing is selected or the
    // user typed a text of their own.
    static int position(const QComboBox* box);

    // Reads the ports again and shows them, keeping the selection as
    // PortSelection decides; runs by itself when the ports change while
    // the dialog is open.
    void refreshPorts();

  protected:
    void done(int result) override;

  private:
    void showPorts(bool load);
    void showFolderWarning();

    Common& c_;
    FrmTerminal& terminal_;
    PortWatch portWatch_;
    comsetting::PortSelection portSelection_;
    // While the port opens the library runs the event loop; the list must
    // not change under the click that reads it.
    bool opening_ = false;
    bool refreshPending_ = false;
    int warningTop_ = 0;
};

}  // namespace tavorin
