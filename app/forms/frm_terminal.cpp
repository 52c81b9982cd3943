#include "frm_terminal.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

#include "binding.h"
#include "dialog.h"
#include "frm_image.h"
#include "frm_picture.h"
#include "frm_progress.h"
#include "menu_keys.h"
#include "terminal_logic.h"
#include "twips.h"

namespace tavorin {

namespace {
// How often the idle terminal looks at its port.
constexpr int kPollMs = 100;

// The log item's caption while no log runs, and while one does.
const QString kLogStart = QStringLiteral("ログ保存開始…");
const QString kLogStop = QStringLiteral("ログ保存終了");
}  // namespace

FrmTerminal::FrmTerminal(Common& common, FrmImage& main)
    : QWidget(nullptr, Qt::Window), c_(common), main_(main) {
    setWindowTitle(QStringLiteral("ターミナル画面"));
    resize(px(9285), px(6060));

    LblSetting = new QLabel(this);
    LblSetting->setGeometry(twipRect(0, 0, 9255, 255));

    commandGroup = new QGroupBox(QStringLiteral("シリアルコマンド送信"), this);
    commandGroup->setGeometry(twipRect(120, 360, 5775, 1605));
    Label1 = new QLabel(QStringLiteral("送信コマンド"), commandGroup);
    Label1->setGeometry(twipRect(240, 360, 1095, 375));
    SerialCmnd = new QLineEdit(commandGroup);
    SerialCmnd->setGeometry(twipRect(1320, 360, 3495, 270));
    BtnSend = new QPushButton(QStringLiteral("送信"), commandGroup);
    BtnSend->setGeometry(twipRect(4920, 360, 735, 375));
    BtnSend->setDefault(true);
    Label2 = new QLabel(QStringLiteral("レスポンス"), commandGroup);
    Label2->setGeometry(twipRect(240, 630, 1095, 375));
    // The designed label boxes were measured for another face: each label
    // sits at its box's top and is as large as its text, and the reply box
    // starts below the second one instead of under its caption.
    for (QLabel* l : {Label1, Label2}) {
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->resize(l->sizeHint());
    }
    // A caption that would touch its box gives way to the left.
    Label1->move(std::min(Label1->x(), SerialCmnd->x() - 4 - Label1->width()), Label1->y());
    Label2->move(Label1->x(), Label1->geometry().bottom() + 1);
    ResponseText = new QPlainTextEdit(commandGroup);
    const QRect replyBox = twipRect(240, 855, 5415, 630);
    const int replyTop = Label2->geometry().bottom() + 2;
    ResponseText->setGeometry(replyBox.x(), replyTop, replyBox.width(),
                              replyBox.bottom() + 1 - replyTop);
    ResponseText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    triggerGroup = new QGroupBox(QStringLiteral("トリガ"), this);
    triggerGroup->setGeometry(twipRect(6120, 360, 1455, 1560));
    BtnTrOn = new QPushButton(QStringLiteral("トリガON"), triggerGroup);
    BtnTrOn->setGeometry(twipRect(240, 405, 975, 375));
    BtnTrOff = new QPushButton(QStringLiteral("トリガOFF"), triggerGroup);
    BtnTrOff->setGeometry(twipRect(240, 990, 975, 375));

    BtnComStop = new QPushButton(QStringLiteral("通信終了"), this);
    BtnComStop->setGeometry(twipRect(8040, 480, 1095, 375));
    BtnRecvStop = new QPushButton(QStringLiteral("受信中止"), this);
    BtnRecvStop->setGeometry(twipRect(8040, 945, 1095, 330));
    BtnClear = new QPushButton(QStringLiteral("クリア"), this);
    BtnClear->setGeometry(twipRect(8040, 1620, 1095, 375));

    // A label reads "&" as a mnemonic marker only when it has a buddy; with
    // one, the "&&" of a description shows as the single "&" it stands for.
    LblSetting->setBuddy(SerialCmnd);

    RecvText = new QPlainTextEdit(this);
    RecvText->setGeometry(twipRect(120, 2025, 9015, 3870));
    RecvText->setLineWrapMode(QPlainTextEdit::NoWrap);
    RecvText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RecvText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The data box is a record of what came: it can be read, selected and
    // copied, never edited, and it keeps no undo history, which would hold
    // on to every row that ever left it.
    RecvText->setReadOnly(true);
    RecvText->setUndoRedoEnabled(false);
    RecvText->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    MnuLog = new QAction(kLogStart, this);
    MnuTimestamp = new QAction(QStringLiteral("時刻表示"), this);
    MnuTimestamp->setCheckable(true);
    MnuHex = new QAction(QStringLiteral("16進表示"), this);
    MnuHex->setCheckable(true);
    // Both boxes keep Qt's own items (copy, select all), followed by the
    // terminal's. The menu opens from the mouse, and from the keyboard at
    // the caret, where the context-menu key places it; a caret scrolled out
    // of sight gives the middle of the box.
    for (QPlainTextEdit* box : {ResponseText, RecvText}) {
        box->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(box, &QWidget::customContextMenuRequested, this, [this, box](const QPoint& at) {
            showContextMenu(box, box->viewport()->mapToGlobal(at));
        });
        openMenuFromKeyboard(box, [this, box] {
            QPoint at = box->cursorRect().bottomLeft();
            if (!box->viewport()->rect().contains(at)) at = box->viewport()->rect().center();
            showContextMenu(box, box->viewport()->mapToGlobal(at));
        });
    }
    // Up and Down walk the history through the filter.
    SerialCmnd->installEventFilter(this);

    // Tab order as designed.
    setTabOrder(SerialCmnd, BtnSend);
    setTabOrder(BtnSend, ResponseText);
    setTabOrder(ResponseText, BtnTrOn);
    setTabOrder(BtnTrOn, BtnTrOff);
    setTabOrder(BtnTrOff, BtnComStop);
    setTabOrder(BtnComStop, BtnClear);
    setTabOrder(BtnClear, RecvText);

    RecvTimer.setInterval(kPollMs);
    connect(&RecvTimer, &QTimer::timeout, this, &FrmTerminal::RecvTimer_Timer);
    connect(BtnSend, &QPushButton::clicked, this, &FrmTerminal::BtnSend_Click);
    // Enter in the command box presses the window's default button, and
    // like that button it does nothing while a command awaits its reply.
    connect(SerialCmnd, &QLineEdit::returnPressed, this, [this] {
        if (BtnSend->isEnabled()) BtnSend->click();
    });
    connect(BtnTrOn, &QPushButton::clicked, this, &FrmTerminal::BtnTrOn_Click);
    connect(BtnTrOff, &QPushButton::clicked, this, &FrmTerminal::BtnTrOff_Click);
    connect(BtnRecvStop, &QPushButton::clicked, this, &FrmTerminal::BtnRecvStop_Click);
    connect(BtnComStop, &QPushButton::clicked, this, &FrmTerminal::BtnComStop_Click);
    connect(BtnClear, &QPushButton::clicked, this, &FrmTerminal::BtnClear_Click);
    // Only the user's choice is remembered; the check marks a load restores
    // are not choices.
    connect(MnuLog, &QAction::triggered, this, &FrmTerminal::MnuLog_Click);
    connect(MnuTimestamp, &QAction::triggered, this, &FrmTerminal::MnuTimestamp_Click);
    connect(MnuHex, &QAction::triggered, this, &FrmTerminal::MnuHex_Click);
}

void FrmTerminal::showTerminal(bool minimised) {
    if (!loaded_) Form_Load();
    if (minimised) {
        showMinimized();
        return;
    }
    // Only a minimised window is restored; a maximised one stays as the
    // user made it.
    if (isMinimized()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void FrmTerminal::Form_Load() {
    loaded_ = true;
    RecvMode = terminal::RecvMode::Unsolicited;
    ResponseText->clear();
    RecvText->clear();
    rows_.clear();
    reader_ = terminal::BlockReader();
    cutTold_ = false;
    optionsTold_ = false;
    SerialCmnd->clear();
    history_.endWalk();
    options_ = terminal::loadDisplayOptions();
    MnuTimestamp->setChecked(options_.timestamps);
    MnuHex->setChecked(options_.hex);
    setSendButtons(true);
    RecvTimer.start();
}

void FrmTerminal::unloadByProgram() {
    requestClose(UnloadMode::Program);
}

void FrmTerminal::requestClose(UnloadMode mode) {
    if (!loaded_) return;
    unloadMode_ = mode;
    close();
    unloadMode_.reset();
}

void FrmTerminal::closeEvent(QCloseEvent* event) {
    if (!loaded_) {
        event->accept();
        return;
    }
    // A close Qt did not get from code is the user's close box.
    const UnloadMode mode =
        unloadMode_.value_or(event->spontaneous() ? UnloadMode::UserClose : UnloadMode::Program);
    if (mode == UnloadMode::UserClose) {
        // While a receive is handled the port is in use: refused silently.
        if (!RecvTimer.isActive() || !dialog().question(QStringLiteral("通信を終了しますか？"))) {
            event->ignore();
            return;
        }
    }
    event->accept();
    Form_Unload();
}

void FrmTerminal::Form_Unload() {
    RecvTimer.stop();
    const std::int32_t h = c_.ComHandle[static_cast<std::size_t>(MyIdx)];
    if (menu_) menu_->close();
    endBlock();
    if (log_.running()) {
        // Asked before the port closes: a device that has gone says so in
        // its queue's count.
        const bool gone = terminal::tickStart(RecvChk(h)) == terminal::TickStart::LineLost;
        writeLog(terminal::logLine(
            QDateTime::currentDateTime(), c_.ComCaption[static_cast<std::size_t>(MyIdx)],
            terminal::LogDirection::Note,
            terminal::logEndText(gone ? terminal::LogEnd::LineLost : terminal::LogEnd::Closed)));
        endLog();
    }
    // A program close can come while a receive of this window waits inside
    // the library (the nested pump runs it). An image transfer refuses the
    // close with "busy", which would leave the port open for good once the
    // slot is marked idle; cancelling first lets the transfer end, and the
    // port is closed again when the receive returns.
    if (PortClose(h) == OMBRIX_E_BUSY) {
        ComCancel(h);
        pendingClose_ = h;
    }
    c_.ComHandle[static_cast<std::size_t>(MyIdx)] = -1;
    loaded_ = false;
    main_.slotClosed(MyIdx);
    hide();
}

void FrmTerminal::closePendingPort() {
    if (pendingClose_ < 0) return;
    PortClose(pendingClose_);
    pendingClose_ = -1;
}

void FrmTerminal::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void FrmTerminal::Form_Resize() {
    // Qt reports the client area itself, so the frame and caption metrics
    // that an outer size would need are already taken off.
    terminal::Layout l = terminal::layoutFor(twips(width()), twips(height()), twips(RecvText->x()),
                                             twips(RecvText->y()), twips(RecvText->width()),
                                             twips(RecvText->height()));
    RecvText->resize(px(l.recvWidth), px(l.recvHeight));
    LblSetting->resize(px(l.labelWidth), LblSetting->height());
}

void FrmTerminal::setSendButtons(bool enabled) {
    BtnSend->setEnabled(enabled);
    BtnTrOn->setEnabled(enabled);
    BtnTrOff->setEnabled(enabled);
    BtnComStop->setEnabled(enabled);
}

void FrmTerminal::BtnSend_Click() {
    if (!RecvTimer.isActive()) return;
    const QString text = SerialCmnd->text().trimmed();
    SerialCmnd->setText(text);
    if (text.isEmpty()) return;
    // The command empties the line: a block read on ends here.
    endBlock();
    setSendButtons(false);
    const QDateTime sentAt = QDateTime::currentDateTime();
    std::int32_t r = SendCommand(c_.ComHandle[static_cast<std::size_t>(MyIdx)], text);
    if (r < 0) {
        ShowErrorMessage(r);
        setSendButtons(true);
        return;
    }
    RecvMode = terminal::recvModeFor(text);
    history_.add(text);
    logExchange(sentAt, terminal::LogDirection::Sent, terminal::render(CommandFrame(text)).text);
}

void FrmTerminal::BtnTrOn_Click() {
    if (!RecvTimer.isActive()) return;
    sendTrigger(terminal::kTriggerOn);
}

void FrmTerminal::BtnTrOff_Click() {
    if (!RecvTimer.isActive()) return;
    sendTrigger(terminal::kTriggerOff);
}

void FrmTerminal::sendTrigger(const QByteArray& frame) {
    const QDateTime sentAt = QDateTime::currentDateTime();
    // A frame the line refused was not sent, and is not logged as sent.
    if (SendData(c_.ComHandle[static_cast<std::size_t>(MyIdx)], QString::fromLatin1(frame)) >= 0)
        logExchange(sentAt, terminal::LogDirection::Sent, terminal::render(frame).text);
}

void FrmTerminal::BtnRecvStop_Click() {
    if (!RecvTimer.isActive()) return;
    ComCancel(c_.ComHandle[static_cast<std::size_t>(MyIdx)]);
}

void FrmTerminal::BtnComStop_Click() {
    if (!RecvTimer.isActive()) return;
    unloadByProgram();
}

void FrmTerminal::BtnClear_Click() {
    RecvText->clear();
    rows_.clear();
}

void FrmTerminal::RecvTimer_Timer() {
    RecvTimer.stop();
    // A block read on asks for its next piece at once; after it the
    // terminal polls at its pace again.
    RecvTimer.setInterval(kPollMs);
    const std::size_t slot = static_cast<std::size_t>(MyIdx);
    const std::int32_t h = c_.ComHandle[slot];
    switch (terminal::tickStart(RecvChk(h))) {
        case terminal::TickStart::Rearm:
            // Only a command (the main window's) can have emptied the line
            // behind a block read on: it ends there.
            endBlock();
            RecvTimer.start();
            return;
        case terminal::TickStart::LineLost:
            lineLost(h);
            return;
        case terminal::TickStart::Read:
            break;
    }
    // Bytes are waiting: the reply's first byte is read now.
    const QDateTime firstByte = QDateTime::currentDateTime();
    const QString imageFile = MakeImageFileName(MyIdx, QStringLiteral("jpg"));
    QByteArray raw;
    std::int32_t r = 0;
    switch (RecvMode) {
        case terminal::RecvMode::Unsolicited:
            r = RecvDataPiece(h, raw, terminal::kRecvCapacity);
            break;
        case terminal::RecvMode::Response:
            r = RecvResponsePiece(h, raw, terminal::kRecvCapacity);
            break;
        default: {
            c_.WaitState = Wait::Transfer;
            FrmProgress& progress = main_.progressWindow();
            progress.showFor(h, kPleaseWait);
            // The reply also comes as text; the display shows its bytes as
            // they came.
            QString reply;
            r = RecvImage(h, imageFile, reply, terminal::kRecvCapacity, 2, &raw);
            progress.unloadByProgram();
            c_.WaitState = Wait::None;
            break;
        }
    }
    // The library let the event loop run every 10 ms while it waited, but
    // not after the piece that ended its wait: one more turn now, so that
    // showing the piece does not lengthen that last stretch.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // The window may have been unloaded while the read waited.
    closePendingPort();
    const bool image = RecvMode == terminal::RecvMode::Image;
    const terminal::BlockReader::Step step =
        image ? terminal::BlockReader::Step{} : reader_.take(r, raw, firstByte);
    // A reply that goes on keeps the send buttons off until it is whole.
    if (!(RecvMode == terminal::RecvMode::Response && step.readOn && !step.cut))
        setSendButtons(true);
    if (c_.ComHandle[slot] < 0) return;

    if (image && r >= 1) {
        terminal::Rendered shown = terminal::render(raw);
        if (log_.running()) {
            // An image reply's line tells what was stored, and where.
            QString stored;
            std::int32_t length = 0, received = 0;
            if (ImageProgress(h, &length, &received) >= 0 && length > 0) {
                stored = terminal::imageNote(received, QFileInfo(imageFile).absoluteFilePath());
            }
            logExchange(firstByte, terminal::LogDirection::Received, shown.text, stored);
        }
        ResponseText->setPlainText(shown.text);
        if (shown.ack == terminal::Acked) {
            FrmPicture& viewer = main_.pictureWindow();
            viewer.DispImage = imageFile;
            if (viewer.isVisible()) viewer.unloadByProgram();
            viewer.showPicture();
        }
    } else if (RecvMode == terminal::RecvMode::Response) {
        // Shown once whole, or once too long for the response box: then its
        // first part is, and the rest goes on in the data box.
        if (step.readOn && !step.cut) {
            RecvTimer.start(0);
            return;
        }
        showReply(step.part);
    } else {
        showData(step.part);
    }
    if (step.cut) {
        // Told from the event loop, once the tick has done its work.
        QTimer::singleShot(0, this, [this] { tellOnce(cutTold_, terminal::blockCutText()); });
    }
    if (step.readOn) {
        RecvMode = terminal::RecvMode::Unsolicited;
        RecvTimer.start(0);
        return;
    }
    if (r < 0) {
        const terminal::ReadFailure failure = terminal::afterFailedRead(r, RecvChk(h));
        if (failure.lineLost) {
            RecvMode = terminal::RecvMode::Unsolicited;
            lineLost(h);
            return;
        }
        ShowErrorMessage(failure.shown);
    }
    RecvMode = terminal::RecvMode::Unsolicited;
    RecvTimer.start();
}

void FrmTerminal::showReply(const terminal::Part& part) {
    if (part.bytes.isEmpty()) return;
    const QString shown = terminal::render(part.bytes).text;
    logExchange(part.read, terminal::LogDirection::Received, shown);
    ResponseText->setPlainText(shown);
}

void FrmTerminal::showData(const terminal::Part& part) {
    if (part.bytes.isEmpty()) return;
    const QStringList rows = terminal::dataRows(part, options_);
    appendRows(rows);
    if (!log_.running()) return;
    // The log takes the rows spelled and without stamps, one line each.
    const QStringList logged =
        options_ == terminal::DisplayOptions{} ? rows : terminal::dataRows(part, {});
    for (const QString& row : logged) logExchange(part.read, terminal::LogDirection::Received, row);
}

void FrmTerminal::endBlock() {
    if (!reader_.underWay()) return;
    const terminal::Part part = reader_.finish();
    if (RecvMode == terminal::RecvMode::Response) {
        showReply(part);
    } else {
        showData(part);
    }
}

void FrmTerminal::appendRows(const QStringList& rows) {
    if (rows.isEmpty()) return;
    QScrollBar* down = RecvText->verticalScrollBar();
    QScrollBar* across = RecvText->horizontalScrollBar();
    // The view follows the newest rows while it shows them and the user
    // holds no selection; otherwise it stays on what the user reads. (The
    // places are kept as numbers: a cursor would move with the text.)
    const QTextCursor mine = RecvText->textCursor();
    const bool follow = down->value() == down->maximum() && !mine.hasSelection();
    const int anchor = mine.anchor();
    const int position = mine.position();
    const int top = down->value();
    const int left = across->value();

    QTextDocument* doc = RecvText->document();
    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    end.insertText(rows.join(u'\n') + u'\n');
    terminal::RowLedger::Leaving leaving;
    for (const QString& row : rows) leaving += rows_.add(row.size() + 1);
    // A caret or selection that reached the old end has moved along with
    // the insertion; it is put back where the user left it.
    if (!follow && (RecvText->textCursor().anchor() != anchor ||
                    RecvText->textCursor().position() != position)) {
        QTextCursor back(doc);
        back.setPosition(anchor);
        back.setPosition(position, QTextCursor::KeepAnchor);
        RecvText->setTextCursor(back);
    }
    if (leaving.rows > 0) {
        // The oldest rows leave; the caret and the selection move with the
        // text they stand in. They are selected by their length: moving a
        // cursor over them row by row would lay out every one of them.
        QTextCursor oldest(doc);
        oldest.setPosition(std::min(leaving.characters, qsizetype{doc->characterCount() - 1}),
                           QTextCursor::KeepAnchor);
        oldest.removeSelectedText();
    }
    if (follow) {
        down->setValue(down->maximum());
    } else {
        // The view's top row stays the top row as rows above it leave.
        down->setValue(std::max(0, top - leaving.rows));
        across->setValue(left);
    }
}

void FrmTerminal::tellOnce(bool& told, const QString& text) {
    if (told) return;
    told = true;
    dialog().message(text);
}

void FrmTerminal::lineLost(std::int32_t handle) {
    // The timer stays off: a port whose device has gone answers every look
    // at once, and polling it would only repeat the message.
    RecvTimer.stop();
    ShowErrorMessage(OMBRIX_E_COMM);
    // The user may have closed the window (or the program) while the box
    // was open, and even opened the slot anew; then that slot is not this
    // port's any more.
    if (loaded_ && c_.ComHandle[static_cast<std::size_t>(MyIdx)] == handle) unloadByProgram();
}

bool FrmTerminal::eventFilter(QObject* watched, QEvent* event) {
    if (watched != SerialCmnd || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    // Arrow keys may come marked as keypad keys; that changes nothing here.
    if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier ||
        (key->key() != Qt::Key_Up && key->key() != Qt::Key_Down))
        return QWidget::eventFilter(watched, event);
    const std::optional<QString> shown =
        key->key() == Qt::Key_Up ? history_.older(SerialCmnd->text()) : history_.newer();
    if (shown) SerialCmnd->setText(*shown);
    return true;
}

QMenu* FrmTerminal::showContextMenu(QPlainTextEdit* box, const QPoint& global) {
    if (menu_) menu_->close();
    QMenu* menu = box->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    menu->addAction(MnuLog);
    if (box == RecvText) {
        menu->addAction(MnuTimestamp);
        menu->addAction(MnuHex);
    }
    menu_ = menu;
    menu->popup(global);
    return menu;
}

void FrmTerminal::MnuLog_Click() {
    if (log_.running()) {
        endLog();
        return;
    }
    const QString initial = QDir::current().absoluteFilePath(
        terminal::logFileName(MyIdx, QDateTime::currentDateTime()));
    const QString chosen = dialog().saveFileName(QStringLiteral("ログ保存"), initial,
                                                 terminal::logFilter(), QStringLiteral("txt"));
    if (chosen.isEmpty()) return;
    if (!log_.start(chosen)) {
        ShowErrorMessage(OMBRIX_E_FILE);
        return;
    }
    MnuLog->setText(kLogStop);
}

void FrmTerminal::MnuTimestamp_Click(bool checked) {
    setOption(&terminal::DisplayOptions::timestamps, checked);
}

void FrmTerminal::MnuHex_Click(bool checked) {
    setOption(&terminal::DisplayOptions::hex, checked);
}

void FrmTerminal::setOption(bool terminal::DisplayOptions::*option, bool on) {
    options_.*option = on;
    // Only this item changes in the file: another terminal may have set the
    // other one since this window loaded. A file that cannot be written
    // costs the next start the choice; the user is told so once.
    terminal::DisplayOptions remembered = terminal::loadDisplayOptions();
    remembered.*option = on;
    if (!terminal::saveDisplayOptions(remembered)) {
        tellOnce(optionsTold_, terminal::optionsNotSavedText(
                                   QFileInfo(terminal::kDisplayOptionsFile).absoluteFilePath()));
    }
}

void FrmTerminal::logExchange(const QDateTime& when, terminal::LogDirection direction,
                              const QString& spelled, const QString& note) {
    if (!log_.running()) return;
    writeLog(terminal::logLine(when, c_.ComCaption[static_cast<std::size_t>(MyIdx)], direction,
                               spelled, note));
}

void FrmTerminal::writeLog(const QByteArray& line) {
    if (log_.write(line)) return;
    endLog();
    // Told from the event loop rather than from inside the send or the
    // receive tick that wrote the line: the box waits for the user, and the
    // handler finishes its work first. The log has ended, so the box comes
    // once.
    QTimer::singleShot(0, this, [] { ShowErrorMessage(OMBRIX_E_FILE); });
}

void FrmTerminal::endLog() {
    log_.stop();
    MnuLog->setText(kLogStart);
}

}  // namespace tavorin
