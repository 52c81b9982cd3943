#include "frm_comsetting.h"

#include <QLineEdit>
#include <QMenu>
#include <algorithm>
#include <memory>

#include "binding.h"
#include "dialog.h"
#include "frm_netport.h"
#include "frm_terminal.h"
#include "menu_keys.h"
#include "portget.h"
#include "twips.h"

namespace tavorin {

using namespace comsetting;

namespace {

QComboBox* makeCombo(QWidget* parent, QRect where) {
    auto* box = new QComboBox(parent);
    // Drop-down lists whose text part is editable, without the editor
    // adding what is typed to the list.
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setGeometry(where);
    return box;
}

// The designed boxes were measured for another face. A label sits at its
// box's top and takes the room its text needs; one that would then run into
// the control at `controlLeft` (pixels, or -1) grows to the left instead,
// into the free space before it.
QLabel* makeLabel(QWidget* parent, const QString& text, QRect where, int controlLeft = -1) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const QSize need = label->sizeHint();
    QRect box(where.topLeft(), QSize(std::max(where.width(), need.width()),
                                     std::max(where.height(), need.height())));
    if (controlLeft >= 0 && box.right() >= controlLeft - 2) {
        box.moveRight(controlLeft - 3);
    }
    label->setGeometry(box);
    return label;
}

}  // namespace

FrmComSetting::FrmComSetting(Common& common, FrmTerminal& terminal, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      c_(common),
      terminal_(terminal) {
    setWindowTitle(QStringLiteral("通信設定"));
    setModal(true);
    setFixedSize(px(7830), px(3645));

    CmbPortNo = makeCombo(this, twipRect(1560, 240, 4095, 300));
    const int tops[] = {720, 1200, 1680, 2160, 2640};
    for (int i = Baud; i <= Flow; ++i) {
        lists[static_cast<std::size_t>(i)] = makeCombo(this, twipRect(1560, tops[i], 1695, 300));
    }
    lists[Prefix] = makeCombo(this, twipRect(5400, 1680, 1695, 300));
    lists[Postfix] = makeCombo(this, twipRect(5400, 2160, 1695, 300));
    for (int i = 0; i < kListCount; ++i)
        lists[static_cast<std::size_t>(i)]->setObjectName(
            QString::fromLatin1(list(static_cast<List>(i)).control));
    CmbPortNo->setObjectName(QStringLiteral("CmbPortNo"));

    TxtTimeout = new QLineEdit(this);
    TxtTimeout->setObjectName(QStringLiteral("TxtTimeout"));
    TxtTimeout->setMaxLength(6);
    TxtTimeout->setGeometry(twipRect(5400, 2640, 975, 270));
    CmdOpen = new QPushButton(QStringLiteral("通信開始"), this);
    CmdOpen->setGeometry(twipRect(6120, 120, 1455, 375));
    CmdOpen->setDefault(true);
    CmdCancel = new QPushButton(QStringLiteral("キャンセル"), this);
    CmdCancel->setGeometry(twipRect(6120, 600, 1455, 375));

    makeLabel(this, QStringLiteral("ハンドシェイク"), twipRect(240, 2640, 1095, 255));
    makeLabel(this, QStringLiteral("パリティ"), twipRect(240, 2160, 1095, 255));
    makeLabel(this, QStringLiteral("ストップビット"), twipRect(240, 1680, 1095, 255));
    makeLabel(this, QStringLiteral("データビット"), twipRect(240, 1200, 1095, 255));
    makeLabel(this, QStringLiteral("ボーレート"), twipRect(240, 720, 1095, 255));
    makeLabel(this, QStringLiteral("ポート"), twipRect(240, 240, 1095, 255));
    const int rightLists = px(5400);
    makeLabel(this, QStringLiteral("プリフィックス"), twipRect(4080, 1680, 1215, 255), rightLists);
    makeLabel(this, QStringLiteral("ポストフィックス"), twipRect(4080, 2160, 1215, 255),
              rightLists);
    makeLabel(this, QStringLiteral("タイムアウト"), twipRect(4080, 2640, 1215, 255), rightLists);
    makeLabel(this, QStringLiteral("ms"), twipRect(6480, 2640, 495, 255));
    QLabel* note = makeLabel(
        this,
        QStringLiteral(
            "※IMGSHP、IMGBOXコマンドを使用する場合は、「なし」または「RTS/CTS」を指定してください"),
        twipRect(600, 3060, 3735, 420));
    note->setWordWrap(true);
    // Two lines across the dialog, as high as the face needs them.
    const QRect noteBox = twipRect(600, 3060, 3735 + 2400, 420);
    note->setGeometry(noteBox.x(), noteBox.y(), noteBox.width(),
                      std::max(noteBox.height(), note->heightForWidth(noteBox.width())));
    warningTop_ = note->geometry().bottom() + px(90);
    LblPortFolder = new QLabel(this);
    LblPortFolder->setObjectName(QStringLiteral("LblPortFolder"));
    LblPortFolder->setWordWrap(true);
    LblPortFolder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    LblPortFolder->hide();

    setTabOrder(CmbPortNo, lists[Baud]);
    for (int i = Baud; i < Postfix; ++i)
        setTabOrder(lists[static_cast<std::size_t>(i)], lists[static_cast<std::size_t>(i + 1)]);
    setTabOrder(lists[Postfix], TxtTimeout);
    setTabOrder(TxtTimeout, CmdOpen);
    setTabOrder(CmdOpen, CmdCancel);

    NetPortForm = new FrmNetPort(this);
    runNetPort = [](FrmNetPort& form) { return form.run(); };
    MnuNetAdd = new QAction(QStringLiteral("ネットワークポートの追加(&N)…"), this);
    MnuNetRemove = new QAction(QStringLiteral("ネットワークポートの削除(&D)"), this);
    connect(MnuNetAdd, &QAction::triggered, this, &FrmComSetting::MnuNetAdd_Click);
    connect(MnuNetRemove, &QAction::triggered, this, &FrmComSetting::MnuNetRemove_Click);
    // The list's text part owns the mouse's requests; the keyboard's come
    // to the list itself and open the menu below it.
    CmbPortNo->lineEdit()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(
        CmbPortNo->lineEdit(), &QWidget::customContextMenuRequested, this,
        [this](const QPoint& at) { showPortMenu(CmbPortNo->lineEdit()->mapTo(CmbPortNo, at)); });
    openMenuFromKeyboard(CmbPortNo, [this] { showPortMenu(QPoint(0, CmbPortNo->height())); });

    connect(&portWatch_, &PortWatch::changed, this, &FrmComSetting::refreshPorts);
    connect(CmdOpen, &QPushButton::clicked, this, &FrmComSetting::CmdOpen_Click);
    connect(CmdCancel, &QPushButton::clicked, this, &FrmComSetting::CmdCancel_Click);
}

int FrmComSetting::position(const QComboBox* box) {
    int i = box->currentIndex();
    if (i < 0 || i >= box->count()) return -1;
    // An editable list keeps its index while the user types over it.
    return box->currentText() == box->itemText(i) ? i : -1;
}

void FrmComSetting::run() {
    Form_Load();
    exec();
}

void FrmComSetting::Form_Load() {
    const std::size_t slot = static_cast<std::size_t>(MyIdx);
    Record stored = parseRecord(c_.ComSetting[slot]);

    portSelection_ = PortSelection(stored.com);
    showPorts(true);
    // Watched from the first look on: the look made the port directory.
    portWatch_.start();

    for (int i = 0; i < kListCount; ++i) {
        QComboBox* box = lists[static_cast<std::size_t>(i)];
        box->clear();
        box->addItems(entries(static_cast<List>(i)));
        // A position outside the list (a hand-edited file) selects nothing.
        int p = stored.positions[static_cast<std::size_t>(i)];
        box->setCurrentIndex(p >= 0 && p < box->count() ? p : -1);
    }
    TxtTimeout->setText(stored.timeoutText);
}

void FrmComSetting::refreshPorts() {
    if (opening_) {
        refreshPending_ = true;
        return;
    }
    showPorts(false);
    portWatch_.rearm();
}

void FrmComSetting::showFolderWarning() {
    const QString warning = PortGet::folderWarning();
    const int height = px(3645);
    if (warning.isEmpty()) {
        LblPortFolder->hide();
        setFixedSize(px(7830), height);
        return;
    }
    // The dialog grows by the warning's lines, so that it looks as always
    // for everyone whose port directory is in order.
    const QRect box(px(600), warningTop_, px(7830 - 600 - 240), 0);
    LblPortFolder->setText(warning);
    const int need = LblPortFolder->heightForWidth(box.width());
    LblPortFolder->setGeometry(box.x(), box.y(), box.width(), need);
    LblPortFolder->show();
    setFixedSize(px(7830), box.y() + need + px(120));
}

void FrmComSetting::showPorts(bool load) {
    showFolderWarning();
    std::vector<std::pair<QString, int>> ports;
    for (int index = 0; index < OMBRIX_COM_MAX; ++index) {
        QString name;
        std::int16_t com = PortGet::EnumComPort(index, name);
        if (com < 0) break;
        if (name.isEmpty()) continue;
        ports.emplace_back(name, static_cast<int>(com));
    }
    int current = 0;
    bool typed = false;
    const QString text = CmbPortNo->currentText();
    if (!load) {
        bool same = static_cast<int>(ports.size()) == CmbPortNo->count();
        for (int i = 0; same && i < CmbPortNo->count(); ++i) {
            same = CmbPortNo->itemText(i) == ports[static_cast<std::size_t>(i)].first &&
                   CmbPortNo->itemData(i).toInt() == ports[static_cast<std::size_t>(i)].second;
        }
        // An unchanged list is left alone, an open drop-down included.
        if (same) return;
        const int at = position(CmbPortNo);
        if (at >= 0) current = CmbPortNo->itemData(at).toInt();
        typed = at < 0 && !text.isEmpty();
    }
    CmbPortNo->clear();
    std::vector<int> coms;
    for (const auto& [name, com] : ports) {
        CmbPortNo->addItem(name, com);
        coms.push_back(com);
    }
    CmbPortNo->setCurrentIndex(portSelection_.choose(coms, current));
    // What the user typed stays theirs: it still selects no port.
    if (typed) CmbPortNo->setEditText(text);
}

int FrmComSetting::selectedCom() const {
    const int at = position(CmbPortNo);
    return at < 0 ? 0 : CmbPortNo->itemData(at).toInt();
}

std::unique_ptr<QMenu> FrmComSetting::makePortMenu() {
    std::unique_ptr<QMenu> menu(CmbPortNo->lineEdit()->createStandardContextMenu());
    // Where a device server's own driver makes the COM port, the list has
    // no network ports of the program's to add or remove.
    if (!PortGet::networkPorts()) return menu;
    menu->addSeparator();
    menu->addAction(MnuNetAdd);
    menu->addAction(MnuNetRemove);
    const int com = selectedCom();
    MnuNetAdd->setEnabled(!opening_);
    MnuNetRemove->setEnabled(!opening_ && com > 0 && PortGet::isNetworkName(PortName(com)));
    return menu;
}

void FrmComSetting::showPortMenu(const QPoint& at) {
    makePortMenu()->exec(CmbPortNo->mapToGlobal(at));
}

void FrmComSetting::MnuNetAdd_Click() {
    if (opening_) return;
    const int com = runNetPort(*NetPortForm);
    if (com <= 0) return;
    // Listed at once, and chosen: the user added it to use it.
    portSelection_ = PortSelection(com);
    showPorts(true);
    CmbPortNo->setFocus();
}

void FrmComSetting::MnuNetRemove_Click() {
    const int com = selectedCom();
    if (opening_ || com <= 0 || !PortGet::isNetworkName(PortName(com))) return;
    const std::int32_t r = PortRemove(com);
    if (r < 0 && r != OMBRIX_E_NOT_OPEN) {
        dialog().message(networkPortFailure(r, PortGet::folderWarning()));
        return;
    }
    showPorts(false);
}

void FrmComSetting::reject() {
    // The close box and Escape during an open end the open first; the
    // dialog closes once it has returned.
    if (opening_) {
        CmdCancel_Click();
        return;
    }
    QDialog::reject();
}

void FrmComSetting::done(int result) {
    portWatch_.stop();
    QDialog::done(result);
}

void FrmComSetting::CmdOpen_Click() {
    const std::size_t slot = static_cast<std::size_t>(MyIdx);
    if (position(CmbPortNo) < 0) {
        dialog().message(kSelectPort);
        CmbPortNo->setFocus();
        return;
    }
    TimeoutCheck check = checkTimeout(TxtTimeout->text(), TxtTimeout->maxLength());
    if (check.rewrite) TxtTimeout->setText(QString::number(check.value));
    if (!check.ok) {
        dialog().message(check.message);
        TxtTimeout->setFocus();
        return;
    }
    const std::int32_t t = check.value;

    Positions positions{};
    for (int i = 0; i < kListCount; ++i) {
        positions[static_cast<std::size_t>(i)] = position(lists[static_cast<std::size_t>(i)]);
    }
    OpenArgs args = openArgs(positions, t);
    const int com = CmbPortNo->itemData(position(CmbPortNo)).toInt();
    const QString caption = CmbPortNo->currentText();
    // A cancel reaches the open by its COM number.
    openingCom_ = com;
    cancelled_ = false;
    opening_ = true;
    std::int32_t h = PortOpen(com, args.baud, args.dataBits, args.stopBits, args.parity, args.flow);
    opening_ = false;
    openingCom_ = 0;
    c_.ComHandle[slot] = h;
    if (cancelled_) {
        // The user asked to leave while the port was opening: the dialog
        // closes now, as the cancel asked, and an open that got through
        // anyway is undone.
        if (h >= 0) PortClose(h);
        c_.ComHandle[slot] = -1;
        refreshPending_ = false;
        QDialog::reject();
        return;
    }
    if (h < 0) {
        const QString text = openFailureMessage(h, OpenFailureDetails(PortName(com)));
        if (!text.isEmpty()) dialog().message(text);
        if (refreshPending_) {
            refreshPending_ = false;
            refreshPorts();
        }
        return;
    }
    refreshPending_ = false;
    TimeoutSet(h, -1, t);
    terminal_.setWindowTitle(caption);
    // The label reads "&" as a mnemonic marker, so "&&" shows as one "&".
    terminal_.LblSetting->setText(args.description);
    c_.ComCaption[slot] = caption;
    c_.ComSetting[slot] = makeRecord(com, positions, t);
    accept();
}

void FrmComSetting::CmdCancel_Click() {
    if (opening_) {
        // A connect to a far server, or a greeting nobody answers, can take
        // seconds: the cancel ends it, and the open's return closes the
        // dialog.
        cancelled_ = true;
        if (openingCom_ > 0) OpenCancel(openingCom_);
        return;
    }
    c_.ComHandle[static_cast<std::size_t>(MyIdx)] = -1;
    QDialog::reject();
}

}  // namespace tavorin
