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

QString QtDialog::saveFileName(const QString& title, const QString& initial,
                               const QString& filter) {
    return QFileDialog::getSaveFileName(QApplication::activeWindow(), title, initial, filter);
}

}  // namespace tavorin
