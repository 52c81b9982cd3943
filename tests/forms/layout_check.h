// What a person would see as broken in a laid-out window: a caption that
// its control cuts off, or two controls on top of each other. Works on any
// widget tree, so every window's test can ask it.
#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTabBar>
#include <QWidget>

namespace tavorin::test {

inline QString describe(const QWidget* w) {
    QString name = w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                             : w->objectName();
    if (auto* l = qobject_cast<const QLabel*>(w)) name += " \"" + l->text() + '"';
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) name += " \"" + b->text() + '"';
    return name;
}

// The controls a person reads or works, visible under `root`.
inline QList<QWidget*> visibleControls(QWidget* root) {
    QList<QWidget*> out;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root) || w->width() <= 0) continue;
        if (qobject_cast<QLabel*>(w) || qobject_cast<QLineEdit*>(w) ||
            qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractButton*>(w)) {
            // A line edit inside a combo box is part of it.
            if (qobject_cast<QComboBox*>(w->parentWidget())) continue;
            out << w;
        }
    }
    return out;
}

// Captions that do not fit where they stand.
inline QStringList clippedCaptions(QWidget* root) {
    QStringList faults;
    for (QWidget* w : visibleControls(root)) {
        if (auto* l = qobject_cast<QLabel*>(w)) {
            if (l->text().isEmpty() || !l->pixmap().isNull()) continue;
            const QRect box = l->contentsRect();
            int flags = static_cast<int>(l->alignment());
            if (l->wordWrap()) flags |= Qt::TextWordWrap;
            const QRect need = l->fontMetrics().boundingRect(box, flags, l->text());
            if (need.width() > box.width() || need.height() > box.height()) {
                faults << QStringLiteral("%1 needs %2x%3, has %4x%5")
                              .arg(describe(l))
                              .arg(need.width())
                              .arg(need.height())
                              .arg(box.width())
                              .arg(box.height());
            }
        } else if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w)) {
            // A button, check box or list narrower than its own smallest
            // size shows its caption (or its longest item) cut off.
            const QSize need = w->minimumSizeHint();
            if (need.width() > w->width() || need.height() > w->height()) {
                faults << QStringLiteral("%1 needs %2x%3, has %4x%5")
                              .arg(describe(w))
                              .arg(need.width())
                              .arg(need.height())
                              .arg(w->width())
                              .arg(w->height());
            }
        }
    }
    return faults;
}

// Pairs of controls whose places overlap.
inline QStringList overlappingControls(QWidget* root) {
    QStringList faults;
    const QList<QWidget*> controls = visibleControls(root);
    QList<QRect> rects;
    for (QWidget* w : controls) rects << QRect(w->mapTo(root, QPoint(0, 0)), w->size());
    for (qsizetype i = 0; i < controls.size(); ++i) {
        for (qsizetype j = i + 1; j < controls.size(); ++j) {
            if (controls[i]->isAncestorOf(controls[j]) || controls[j]->isAncestorOf(controls[i]))
                continue;
            if (rects[i].intersects(rects[j])) {
                faults << describe(controls[i]) + " overlaps " + describe(controls[j]);
            }
        }
    }
    return faults;
}

// Controls that stick out of the window's client area.
inline QStringList outsideWindow(QWidget* root) {
    QStringList faults;
    for (QWidget* w : visibleControls(root)) {
        const QRect r(w->mapTo(root, QPoint(0, 0)), w->size());
        if (!root->rect().contains(r)) faults << describe(w) + " lies outside the window";
    }
    return faults;
}

}  // namespace tavorin::test
