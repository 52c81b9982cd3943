// The one seam through which the program talks to the user in boxes: every
// message, the one question and the save-as dialog. The program installs a
// Qt implementation; tests install a RecordingDialog that answers from a
// script and keeps every text it was shown.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

namespace tavorin {

// The caption of every box the program shows.
inline const QString kProgramTitle = QStringLiteral("Tavorin_WIN");

class Dialog {
  public:
    virtual ~Dialog() = default;
    // A box with the text, an OK button only, no icon; returns once closed.
    virtual void message(const QString& text) = 0;
    // A box with OK and Cancel; true for OK.
    virtual bool question(const QString& text) = 0;
    // The save-as dialog, its filters in Qt's form ("desc (pattern);;..."),
    // the first one selected; a name typed without an extension gets the
    // default suffix, an existing file is only chosen after the user agreed
    // to replace it. An empty text when the user cancelled.
    virtual QString saveFileName(const QString& title, const QString& initial,
                                 const QString& filter, const QString& defaultSuffix) = 0;
};

// The dialog the program (or a test) installed; a RecordingDialog that
// answers OK until one is installed, so that no code path can show a real
// box by accident.
Dialog& dialog();
// Installs `d` (not owned); null restores the default.
void setDialog(Dialog* d);

class RecordingDialog : public Dialog {
  public:
    void message(const QString& text) override;
    bool question(const QString& text) override;
    QString saveFileName(const QString& title, const QString& initial, const QString& filter,
                         const QString& defaultSuffix) override;

    // Answers for the next questions (true = OK) and save-as dialogs; when
    // none is queued, questions answer OK and save-as answers cancel.
    std::deque<bool> questionAnswers;
    std::deque<QString> fileAnswers;

    // Everything shown, in order: messages and questions by their text.
    QStringList messages;
    QStringList questions;
    int fileDialogs = 0;
    // What each save-as dialog was opened with, in order.
    struct FileRequest {
        QString title;
        QString initial;
        QString filter;
        QString defaultSuffix;
    };
    std::vector<FileRequest> fileRequests;

    // Called after each message or question is recorded, while the box
    // would be open (tests use it to act "during" a modal box).
    std::function<void(const QString&)> onShow;
};

}  // namespace tavorin
