#include "qt_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStyle>

namespace tavorin {
namespace {

// Some desktop themes put icons on standard buttons; the program's boxes
// have none, on the buttons or beside the text.
void plainButtons(QMessageBox& box) {
    for (QAbstractButton* b : box.buttons()) b->setIcon(QIcon());
}

// A box is as wide as its text and buttons need, which for a short message
// ("通信エラー") is narrower than its title bar needs for the program's
// title beside the frame's own buttons: the window manager would cut the
// title. A spacer under the text keeps room for it.
void titleRoom(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) return;
    const int frameButtons = 3 * box.style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const int need = box.fontMetrics().horizontalAdvance(kProgramTitle) + frameButtons;
    grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace

void QtDialog::message(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kProgramTitle, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    plainButtons(box);
    titleRoom(box);
    box.exec();
}

bool QtDialog::question(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, kProgramTitle, text, QMessageBox::Ok | QMessageBox::Cancel,
                    QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Ok);
    plainButtons(box);
    titleRoom(box);
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
