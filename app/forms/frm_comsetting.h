// The connection settings dialog of one slot: lists the ports, offers the
// line settings, opens the port and records the choices.
#pragma once

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <array>
#include <functional>
#include <memory>

#include "common.h"
#include "comsetting_logic.h"
#include "portwatch.h"

namespace tavorin {

class FrmTerminal;
class FrmNetPort;

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
    // The port list's own menu (the edit items, then these): a port on the
    // network is added and removed here, out of the way of everyone who
    // never needs one.
    QAction* MnuNetAdd;
    QAction* MnuNetRemove;
    FrmNetPort* NetPortForm;
    // Runs the add dialog: its COM number, or 0 (tests answer it).
    std::function<int(FrmNetPort&)> runNetPort;

    // Loads afresh and runs the dialog modally, as each show does.
    void run();

    void Form_Load();
    void CmdOpen_Click();
    void CmdCancel_Click();
    void MnuNetAdd_Click();
    void MnuNetRemove_Click();
    // The port list's menu, its items enabled as they apply now; and the
    // same shown at `at` (in the list's coordinates).
    std::unique_ptr<QMenu> makePortMenu();
    void showPortMenu(const QPoint& at);

    // The position a list stands at: -1 when nothing is selected or the
    // user typed a text of their own.
    static int position(const QComboBox* box);

    // Reads the ports again and shows them, keeping the selection as
    // PortSelection decides; runs by itself when the ports change while
    // the dialog is open.
    void refreshPorts();

  protected:
    void done(int result) override;
    void reject() override;

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
    // The COM number the open under way opens, so that a cancel reaches its
    // connect or greeting; 0 while none runs.
    int openingCom_ = 0;
    bool cancelled_ = false;
    // The COM number of the selected entry, 0 for none.
    int selectedCom() const;
};

}  // namespace tavorin
