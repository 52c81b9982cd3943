#include "dialog.h"

namespace tavorin {
namespace {

RecordingDialog& fallback() {
    static RecordingDialog d;
    return d;
}

Dialog* g_dialog = nullptr;

}  // namespace

Dialog& dialog() {
    return g_dialog ? *g_dialog : fallback();
}
void setDialog(Dialog* d) {
    g_dialog = d;
}

void RecordingDialog::message(const QString& text) {
    messages << text;
    if (onShow) onShow(text);
}

bool RecordingDialog::question(const QString& text) {
    questions << text;
    if (onShow) onShow(text);
    if (questionAnswers.empty()) return true;
    bool answer = questionAnswers.front();
    questionAnswers.pop_front();
    return answer;
}

QString RecordingDialog::saveFileName(const QString& title, const QString& initial,
                                      const QString& filter, const QString& defaultSuffix) {
    ++fileDialogs;
    fileRequests.push_back({title, initial, filter, defaultSuffix});
    if (fileAnswers.empty()) return QString();
    QString answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

}  // namespace tavorin
