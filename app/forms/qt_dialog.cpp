#include "qt_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace tavorin {
namespace {

// Some desktop themes put icons on standard buttons; the program's boxes
// have none, on the buttons or beside the text.
void plainButtons(QMessageBox& box) {
    for (QAbstractButton* b : box.buttons()) b->setIcon(QIcon());
}

}  // namespace

void QtDialog::message(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kProgramTitle, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    plainButtons(box);
    box.exec();
}

bool QtDialog::question(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kProgramTitle, text, QMessageBox::Ok | QMessageBox::Cancel,
                    QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Ok);
    plainButtons(box);
    return box.exec() == QMessageBox::Ok;
}

QString QtDialog::saveFileName(const QString& title, const QString& initial, const QString& filter,
                               const QString& defaultSuffix) {
    QFileDialog box(QApplication::activeWindow(), title, initial, filter);
    box.setAcceptMode(QFileDialog::AcceptSave);
    // Only a file in a folder that exists can be chosen.
    box.setFileMode(QFileDialog::AnyFile);
    box.setDefaultSuffix(defaultSuffix);
    const QStringList filters = filter.split(QStringLiteral(";;"));
    if (!filters.isEmpty()) box.selectNameFilter(filters.first());
    if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty()) return QString();
    return box.selectedFiles().first();
}

}  // namespace tavorin
