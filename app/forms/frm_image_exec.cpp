// Running an image command from a tab's run button: composing it, sending it
// to the current slot, waiting for the scanner (a poll for IMGSNP, a
// blocking transfer for IMGSHP and IMGBOX), and telling the user how it
// ended.
#include <QFileInfo>

#include "binding.h"
#include "dialog.h"
#include "frm_image.h"
#include "frm_picture.h"
#include "frm_progress.h"
#include "frm_terminal.h"
#include "terminal_logic.h"

namespace tavorin {

using image::Control;
using image::Tab;

namespace {

constexpr std::int32_t kImageReplyCapacity = 2046;
constexpr std::int32_t kReplyCapacity = 1024;
// The transfer answers the trigger frame itself and writes a file.
constexpr std::int32_t kImageMode = 2;

const QString kPressTrigger = QStringLiteral("トリガボタンを押してください");

// Tells the user what the reply means; true for an acknowledgement.
bool replyAcknowledged(const QString& reply, std::int32_t length) {
    const image::ReplyCheck c = image::CheckResponse(reply, length);
    if (c.code == image::Reply::Ack) return true;
    dialog().message(c.message);
    return false;
}

}  // namespace

void FrmImage::CmdImgExec_Click(int index) {
    if (index < 0 || index >= image::kTabCount) return;
    const Tab tab = static_cast<Tab>(index);
    const auto slot = static_cast<std::size_t>(CurIdx);
    const std::int32_t port = c_.ComHandle[slot];
    if (port < 0) {
        dialog().message(QStringLiteral("スキャナが接続されていません"));
        return;
    }

    const image::Composed command = image::makeCommand(tab, values(tab));
    if (!command.ok) {
        dialog().message(command.message);
        if (command.focus) {
            if (QLineEdit* box = textOf(*command.focus)) box->setFocus(Qt::OtherFocusReason);
        }
        return;
    }
    switch (tab) {
        case Tab::Snp:
            StoreImgSnpFields();
            break;
        case Tab::Shp:
            StoreImgShpFields();
            break;
        case Tab::Box:
            StoreImgBoxFields();
            break;
    }

    ShowImage = false;
    if (tab != Tab::Snp) {
        const int code = image::formatCode(tab, values(tab));
        const image::ImageFile file = image::imageFileFor(
            code, TxtImageFile[static_cast<std::size_t>(index)]->text(), CurIdx);
        if (!file.ok) {
            dialog().message(file.message);
            return;
        }
        ImageFile = file.name;
        ShowImage = ChkImageDisp[static_cast<std::size_t>(index)]->isChecked() && code >= 6;
    }

    FrmTerminal& terminal = *TermForm[slot];
    terminal.RecvTimer.stop();
    SetImageControlsEnabled(false);
    const std::int32_t sent = SendCommand(port, command.command);
    if (sent < 0) {
        if (endSlotIfLineLost(slot, port, sent)) return;
        terminal.RecvTimer.start();
        SetImageControlsEnabled(true);
        ShowErrorMessage(sent);
        return;
    }

    FrmProgress& progress = progressWindow();
    if (tab == Tab::Snp) {
        // The reply comes when the scanner has taken the picture, perhaps
        // only once somebody presses its trigger: polled, with a cancel.
        ImgRecvTimer.start();
        c_.WaitState = Wait::None;
        progress.showFor(-1, CmbImgSnp[3]->currentIndex() == 1 ? kPressTrigger : kPleaseWait);
        return;
    }

    ImgRecvTimer.stop();
    c_.WaitState = Wait::Transfer;
    progress.showFor(port, kPleaseWait);
    QString reply;
    const FileStamp before = fileStamp(ImageFile);
    const std::int16_t r = RecvImage(port, ImageFile, reply, kImageReplyCapacity, kImageMode);
    // The library stores a picture that came whole before it reads the
    // closing reply, and keeps it when that reply then fails: the user is
    // told, so that the file is not taken for the one from before.
    std::int32_t length = 0, received = 0;
    ImageProgress(port, &length, &received);
    const bool kept = image::pictureKept(r, received, before, fileStamp(ImageFile));
    auto tellKept = [&] {
        if (kept) dialog().message(image::pictureKeptText(ImageFile));
    };
    progress.unloadByProgram();
    // The slot's terminal may have been closed by the program while the
    // transfer ran; the port it could not close then is closed now.
    terminal.closePendingPort();
    if (c_.ComHandle[slot] < 0) {
        c_.WaitState = Wait::None;
        SetImageControlsEnabled(true);
        return;
    }
    if (r < 0 && endSlotIfLineLost(slot, port, r)) {
        tellKept();
        return;
    }
    if (r == OMBRIX_E_TIMEOUT) dialog().message(QStringLiteral("設定を再確認してください。"));
    if (r < 0) {
        ShowErrorMessage(r);
        tellKept();
    } else if (replyAcknowledged(reply, r)) {
        if (ShowImage) {
            // A fresh viewer for every picture.
            FrmPicture& viewer = pictureWindow();
            if (viewer.isLoaded()) viewer.unloadByProgram();
            viewer.DispImage = ImageFile;
            if (viewer.load()) {
                viewer.show();
                viewer.raise();
            } else {
                dialog().message(QStringLiteral("画像ファイルエラー"));
            }
        } else {
            dialog().message(image::commandDoneText());
        }
    }
    c_.WaitState = Wait::None;
    SetImageControlsEnabled(true);
    terminal.RecvTimer.start();
}

void FrmImage::ImgRecvTimer_Timer() {
    ImgRecvTimer.stop();
    const auto slot = static_cast<std::size_t>(CurIdx);
    FrmTerminal& terminal = *TermForm[slot];
    FrmProgress& progress = progressWindow();
    // Ends the wait without a reply: the scanner is left in a state only a
    // restart clears, so the slot is closed.
    auto abandon = [&](const std::function<void()>& tell) {
        progress.unloadByProgram();
        tell();
        if (terminal.isLoaded()) terminal.unloadByProgram();
        c_.WaitState = Wait::None;
        SetImageControlsEnabled(true);
    };
    if (c_.WaitState == Wait::CancelRequested) {
        abandon([] {
            dialog().message(QStringLiteral("スキャナの電源をOFFにして、再投入してください"));
        });
        return;
    }
    const std::int32_t port = c_.ComHandle[slot];
    if (port < 0) {
        // The slot was closed by the program meanwhile: nothing to wait for.
        progress.unloadByProgram();
        c_.WaitState = Wait::None;
        SetImageControlsEnabled(true);
        return;
    }
    const std::int32_t waiting = RecvChk(port);
    if (waiting <= 0) {
        // A scanner that has gone (unplugged) would be waited for forever.
        if (waiting == OMBRIX_E_COMM) {
            abandon([] { ShowErrorMessage(OMBRIX_E_COMM); });
            return;
        }
        ImgRecvTimer.start();
        return;
    }
    QString reply;
    const std::int16_t r = RecvResponse(port, reply, kReplyCapacity);
    progress.unloadByProgram();
    if (r < 0 && c_.ComHandle[slot] >= 0 && endSlotIfLineLost(slot, port, r)) return;
    if (c_.ComHandle[slot] >= 0) {
        if (r < 0) {
            ShowErrorMessage(r);
        } else if (replyAcknowledged(reply, r)) {
            dialog().message(image::commandDoneText());
        }
        terminal.RecvTimer.start();
    }
    SetImageControlsEnabled(true);
}

bool FrmImage::endSlotIfLineLost(std::size_t slot, std::int32_t port, std::int32_t result) {
    // The terminal's rule: whatever the failed call answered, a queue that
    // now says the device has gone makes it the communication error.
    if (!terminal::afterFailedRead(result, RecvChk(port)).lineLost) return false;
    c_.WaitState = Wait::None;
    SetImageControlsEnabled(true);
    // Told before the slot ends, with the terminal's timer still off, so
    // that no tick meets the dead port while the box is open.
    ShowErrorMessage(OMBRIX_E_COMM);
    FrmTerminal& terminal = *TermForm[slot];
    if (terminal.isLoaded() && c_.ComHandle[slot] == port) terminal.unloadByProgram();
    return true;
}

void FrmImage::BtnRefFile_Click(int index) {
    if (index != 1 && index != 2) return;
    const auto i = static_cast<std::size_t>(index);
    const int code = (index == 1 ? CmbImgShp[0] : CmbImgBox[0])->currentData().toInt();
    const QString chosen =
        dialog().saveFileName(QStringLiteral("名前を付けて保存"), TxtImageFile[i]->text(),
                              image::saveFilter(code), image::formatFor(code).extension);
    if (chosen.isEmpty()) return;
    TxtImageFile[i]->setText(QFileInfo(chosen).absoluteFilePath());
}

}  // namespace tavorin
