// The small dialog that adds a port on the network to the port list: the
// kind of server, its host and its TCP port. It makes the port's alias in
// the library's port directory and tells which COM number it got.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

namespace tavorin {

class FrmNetPort : public QDialog {
    Q_OBJECT
  public:
    explicit FrmNetPort(QWidget* owner);

    QComboBox* CmbNetKind;
    QLineEdit* TxtNetHost;
    QLineEdit* TxtNetPort;
    QPushButton* CmdOk;
    QPushButton* CmdCancel;

    // Clears the fields and runs the dialog modally; the COM number the new
    // port got, or 0 when the user cancelled.
    int run();
    // The number the last accepted port got.
    int addedCom() const { return added_; }

    void Form_Load();
    void CmdOk_Click();

  private:
    int added_ = 0;
};

}  // namespace tavorin
