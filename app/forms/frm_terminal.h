// The terminal window of one connection slot: typed commands, the trigger,
// the receive display that polls the port, and the slot's end.
#pragma once

#include <QByteArray>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

#include "common.h"
#include "terminal_logic.h"

namespace tavorin {

class FrmImage;

class FrmTerminal : public QWidget {
    Q_OBJECT
  public:
    FrmTerminal(Common& common, FrmImage& main);

    short MyIdx = 0;
    terminal::RecvMode RecvMode = terminal::RecvMode::Unsolicited;

    QLabel* LblSetting;
    QGroupBox* commandGroup;
    QLabel* Label1;
    QLabel* Label2;
    QLineEdit* SerialCmnd;
    QPushButton* BtnSend;
    QPlainTextEdit* ResponseText;
    QGroupBox* triggerGroup;
    QPushButton* BtnTrOn;
    QPushButton* BtnTrOff;
    QPushButton* BtnComStop;
    QPushButton* BtnRecvStop;
    QPushButton* BtnClear;
    QPlainTextEdit* RecvText;
    QTimer RecvTimer;

    bool isLoaded() const { return loaded_; }
    // Loads (if needed) and shows the window, minimised or normal.
    void showTerminal(bool minimised);
    // Unloads as program code does: never asks, never refused.
    void unloadByProgram();
    // Closes as the user's close box does or as the program does.
    void requestClose(UnloadMode mode);

    // Closes the port an unload had to leave open while a transfer ran on
    // it; whoever ran the transfer calls this once it has returned.
    void closePendingPort();

    void Form_Load();
    void Form_Unload();
    void Form_Resize();
    void BtnSend_Click();
    void BtnTrOn_Click();
    void BtnTrOff_Click();
    void BtnRecvStop_Click();
    void BtnComStop_Click();
    void BtnClear_Click();
    void RecvTimer_Timer();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void setSendButtons(bool enabled);
    // The device has gone: the user is told once and the slot ends as a
    // close would end it.
    void lineLost(std::int32_t handle);

    Common& c_;
    FrmImage& main_;
    bool loaded_ = false;
    std::optional<UnloadMode> unloadMode_;
    // A port whose close had to wait for a transfer to end.
    std::int32_t pendingClose_ = -1;
};

}  // namespace tavorin
