// The program as the window tests drive it: a working directory of its own
// (the settings file and received images land there), a private port
// directory, every box answered by a RecordingDialog, and a fresh main
// window per test case.
#pragma once

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "binding.h"
#include "common.h"
#include "comsetting_logic.h"
#include "dialog.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "pty_peer.h"

namespace tavorin::test {

// A small JPEG for a scanner played by a test to ship.
inline QByteArray sampleJpeg() {
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return out;
}

struct ProgramFixture {
    QTemporaryDir workDir;
    QString previousDir;
    std::unique_ptr<PortDirectory> ports;
    RecordingDialog boxes;
    std::unique_ptr<Common> common;
    std::unique_ptr<FrmImage> main;

    // Once per test program.
    bool start() {
        if (!workDir.isValid()) return false;
        previousDir = QDir::currentPath();
        if (!QDir::setCurrent(workDir.path())) return false;
        ports = std::make_unique<PortDirectory>();
        setDialog(&boxes);
        return true;
    }
    void stop() {
        PumpSet(nullptr);
        setDialog(nullptr);
        ports.reset();
        QDir::setCurrent(previousDir);
    }

    // Per test case: a main window as the program starts it.
    void freshProgram() {
        boxes = RecordingDialog();
        common = std::make_unique<Common>();
        main = std::make_unique<FrmImage>(*common);
        main->show();
    }
    void closeProgram() {
        main.reset();
        common.reset();
    }

    // The dialog's entry for COM `com`, or -1.
    static int entryFor(FrmComSetting& d, int com) {
        for (int i = 0; i < d.CmbPortNo->count(); ++i) {
            if (d.CmbPortNo->itemData(i).toInt() == com) return i;
        }
        return -1;
    }

    // Opens slot 0 on COM `com` as a user does: its terminal shown normal,
    // 115200 bps unless `baudIndex` says otherwise, the given time-out.
    void openSlotOn(int com, const QString& timeout, int baudIndex = 9) {
        main->ChkTermMinimum->setChecked(false);
        openSlot(0, [com, timeout, baudIndex](FrmComSetting& d) {
            d.CmbPortNo->setCurrentIndex(entryFor(d, com));
            d.lists[comsetting::Baud]->setCurrentIndex(baudIndex);
            d.TxtTimeout->setText(timeout);
        });
    }

    // Clicks slot `slot`'s button and works its dialog: `work` sets the
    // choices, then "通信開始" is pressed.
    void openSlot(int slot, std::function<void(FrmComSetting&)> work) {
        main->runDialog = [work](FrmComSetting& d) {
            d.Form_Load();
            if (work) work(d);
            d.CmdOpen_Click();
        };
        main->BtnComSetting_Click(slot);
    }
};

}  // namespace tavorin::test
