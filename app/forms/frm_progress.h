// The transfer progress window: a small topmost window shown while an image
// command waits for the trigger and while its image arrives. Its timer polls
// the transfer's progress from the library and its button cancels the wait.
//
// The image transfer runs inside a blocking library call on this same thread;
// the window's timer and button run nested inside it, through the message
// pump the program registers with the library.
//
// How an opener uses it (one instance, kept for the program's life):
//
//     progress.showFor(handle, kPleaseWait);   // or -1: nothing to poll
//     ... the blocking call ...
//     progress.unloadByProgram();
//
// The program's `WaitState` must be set before showFor(), whose load reads
// it. The user's close box never closes the window.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdint>

#include "common.h"

namespace tavorin {

inline const QString kProgressCaption = QStringLiteral("Tavorin_WIN(受信状態）");
inline const QString kTriggerPrompt = QStringLiteral("スキャナのトリガボタンを押してください");
inline const QString kClearingMessage = QStringLiteral("受信バッファをクリアしています");
inline const QString kPleaseWait = QStringLiteral("しばらくお待ちください");

class FrmProgress : public QDialog {
    Q_OBJECT
  public:
    // `parent` (may be null) keeps the window above it and decides where it
    // opens; the window is modeless, a top-level window of its own.
    explicit FrmProgress(Common& common, QWidget* parent = nullptr);
    ~FrmProgress() override;

    // The port whose transfer the window polls, or -1 for none.
    std::int32_t ComId = -1;

    QLabel* Label1;
    QProgressBar* ProgressBar1;
    QLabel* LblMessage;
    QPushButton* BtnWaitCancel;
    QTimer Timer1;

    // Loads the window (runs Form_Load) unless it is loaded already. The
    // controls keep their design contents until then.
    void load();
    bool isLoaded() const { return loaded_; }
    // Loads the window for `port` (-1: nothing to poll) and shows it with
    // `message` below the bar.
    void showFor(std::int32_t port, const QString& message);
    // The program's unload: stops the polling and hides the window; the next
    // load() starts from the design contents again.
    void unloadByProgram();

    void Form_Load();
    void Timer1_Timer();
    void BtnWaitCancel_Click();
    // True when the close may go on: only the program's unload may.
    bool Form_QueryUnload() const;

    // The bar's value as the timer set it: a fraction of 0..100, not
    // rounded (the bar itself draws it on a finer scale).
    double barValue() const;

    // Escape would reject a dialog, closing it behind the close event's
    // back; it is the user's close like the close box, and refused the same.
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void setBarValue(double value);
    void restoreDesign();

    Common& c_;
    bool loaded_ = false;
    bool unloading_ = false;
};

}  // namespace tavorin
