#include "frm_netport.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "binding.h"
#include "comsetting_logic.h"
#include "dialog.h"
#include "portget.h"

namespace tavorin {

using namespace comsetting;

FrmNetPort::FrmNetPort(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setWindowTitle(QStringLiteral("ネットワークポートの追加"));
    setModal(true);

    CmbNetKind = new QComboBox(this);
    CmbNetKind->setObjectName(QStringLiteral("CmbNetKind"));
    CmbNetKind->addItems(networkKindEntries());
    TxtNetHost = new QLineEdit(this);
    TxtNetHost->setObjectName(QStringLiteral("TxtNetHost"));
    // Long enough for any host name a resolver takes.
    TxtNetHost->setMaxLength(253);
    TxtNetHost->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("M")) * 24);
    TxtNetPort = new QLineEdit(this);
    TxtNetPort->setObjectName(QStringLiteral("TxtNetPort"));
    TxtNetPort->setMaxLength(5);

    auto* form = new QFormLayout;
    // Each caption is its field's buddy: a mnemonic reaches the field, and
    // a screen reader reads the field by its caption.
    form->addRow(QStringLiteral("種類(&K)"), CmbNetKind);
    form->addRow(QStringLiteral("ホスト(&H)"), TxtNetHost);
    form->addRow(QStringLiteral("ポート(&P)"), TxtNetPort);

    auto* buttons = new QDialogButtonBox(this);
    CmdOk = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    CmdCancel = buttons->addButton(QStringLiteral("キャンセル"), QDialogButtonBox::RejectRole);
    CmdOk->setDefault(true);
    connect(CmdOk, &QPushButton::clicked, this, &FrmNetPort::CmdOk_Click);
    connect(CmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void FrmNetPort::Form_Load() {
    added_ = 0;
    CmbNetKind->setCurrentIndex(0);
    TxtNetHost->clear();
    TxtNetPort->clear();
    TxtNetHost->setFocus();
}

int FrmNetPort::run() {
    Form_Load();
    return exec() == QDialog::Accepted ? added_ : 0;
}

void FrmNetPort::CmdOk_Click() {
    const NetworkPortCheck check =
        checkNetworkPort(CmbNetKind->currentIndex(), TxtNetHost->text(), TxtNetPort->text());
    if (!check.ok) {
        dialog().message(check.message);
        QLineEdit* field = check.field == NetworkPortCheck::Field::Port ? TxtNetPort : TxtNetHost;
        field->setFocus();
        field->selectAll();
        return;
    }
    const std::int32_t com = PortAdd(check.name, kFirstNetworkCom);
    if (com < 0) {
        dialog().message(networkPortFailure(com, PortGet::folderWarning()));
        TxtNetHost->setFocus();
        return;
    }
    added_ = com;
    accept();
}

}  // namespace tavorin
