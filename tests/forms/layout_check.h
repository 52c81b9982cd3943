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
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabBar>
#include <QWidget>
#include <algorithm>

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
        } else if (auto* b = qobject_cast<QPushButton*>(w)) {
            // The caption and the style's margins must fit the face.
            const int margin = b->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b);
            const int need = b->fontMetrics().horizontalAdvance(b->text()) + margin;
            if (need > b->width() || b->fontMetrics().height() > b->height()) {
                faults << QStringLiteral("%1 needs %2 wide, has %3x%4")
                              .arg(describe(b))
                              .arg(need)
                              .arg(b->width())
                              .arg(b->height());
            }
        } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
            const QSize need = c->sizeHint();
            if (need.width() > c->width() || c->fontMetrics().height() > c->height()) {
                faults << QStringLiteral("%1 needs %2 wide, has %3x%4")
                              .arg(describe(c))
                              .arg(need.width())
                              .arg(c->width())
                              .arg(c->height());
            }
        } else if (auto* list = qobject_cast<QComboBox*>(w)) {
            // The longest item must fit the field that shows the selection.
            QStyleOptionComboBox opt;
            opt.initFrom(list);
            opt.editable = list->isEditable();
            const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &opt,
                                                              QStyle::SC_ComboBoxEditField, list);
            int widest = 0;
            for (int i = 0; i < list->count(); ++i) {
                widest = std::max(widest, list->fontMetrics().horizontalAdvance(list->itemText(i)));
            }
            if (widest > field.width() || list->fontMetrics().height() > field.height()) {
                faults << QStringLiteral("%1 shows %2x%3 of its widest item's %4x%5")
                              .arg(describe(list))
                              .arg(field.width())
                              .arg(field.height())
                              .arg(widest)
                              .arg(list->fontMetrics().height());
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

// Every fault of the three kinds above.
inline QStringList layoutFaults(QWidget* root) {
    return clippedCaptions(root) + overlappingControls(root) + outsideWindow(root);
}

}  // namespace tavorin::test
