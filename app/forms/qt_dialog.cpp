#include "qt_dialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace tavorin {

void QtDialog::message(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kProgramTitle, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

bool QtDialog::question(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kProgramTitle, text, QMessageBox::Ok | QMessageBox::Cancel,
                    QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Ok);
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
