// The terminal window of one connection slot: typed commands, the trigger,
// the receive display that polls the port, and the slot's end.
#pragma once

#include <QAction>
#include <QByteArray>
#include <QDateTime>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
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

    // Items of the two text boxes' menus, after Qt's own: the session log
    // (both boxes) and the display options (the data box only).
    QAction* MnuLog;
    QAction* MnuTimestamp;
    QAction* MnuHex;

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
    void MnuLog_Click();
    void MnuTimestamp_Click(bool checked);
    void MnuHex_Click(bool checked);

    // Opens `box`'s menu at `global` (screen coordinates) and returns it;
    // it deletes itself once closed.
    QMenu* showContextMenu(QPlainTextEdit* box, const QPoint& global);
    bool logRunning() const { return log_.running(); }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void setSendButtons(bool enabled);
    // Shows a part of unsolicited data in the data box and logs its rows.
    void showData(const terminal::Part& part);
    // Shows a reply (or its first part) in the response box and logs it.
    void showReply(const terminal::Part& part);
    // Ends a block under way as it stands, showing what is held.
    void endBlock();
    // Appends rows to the data box within its limit, leaving the user's view
    // and selection where they are unless the view follows the newest rows.
    void appendRows(const QStringList& rows);
    // Tells the user a text once per connection; `told` remembers it.
    void tellOnce(bool& told, const QString& text);
    // The device has gone: the user is told once and the slot ends as a
    // close would end it.
    void lineLost(std::int32_t handle);
    // One exchange into the session log, if one runs. A line that cannot be
    // written ends the log and is told once.
    void logExchange(const QDateTime& when, terminal::LogDirection direction,
                     const QString& spelled, const QString& note = QString());
    void writeLog(const QByteArray& line);
    void endLog();
    void sendTrigger(const QByteArray& frame);
    // Sets one display option and remembers it for the next start.
    void setOption(bool terminal::DisplayOptions::*option, bool on);

    Common& c_;
    FrmImage& main_;
    bool loaded_ = false;
    std::optional<UnloadMode> unloadMode_;
    // A port whose close had to wait for a transfer to end.
    std::int32_t pendingClose_ = -1;

    // Kept for as long as the program runs, across connections.
    terminal::CommandHistory history_;
    terminal::DisplayOptions options_;
    terminal::SessionLog log_;
    QPointer<QMenu> menu_;

    // Per connection.
    terminal::BlockReader reader_;
    terminal::RowLedger rows_;
    bool cutTold_ = false;
    bool optionsTold_ = false;
};

}  // namespace tavorin
