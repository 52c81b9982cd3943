#include "menu_keys.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>

namespace tavorin {

namespace {

bool fromKeyboard(QEvent* event) {
    if (event->type() == QEvent::ContextMenu)
        return static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    // Keys may come marked as keypad keys; that changes nothing here.
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    return (key->key() == Qt::Key_F10 && mods == Qt::ShiftModifier) ||
           (key->key() == Qt::Key_Menu && mods == Qt::NoModifier);
}

// Lives as the target's child, so that it goes with it.
class MenuKeys : public QObject {
  public:
    MenuKeys(QWidget* target, std::function<void()> open)
        : QObject(target), open_(std::move(open)) {
        target->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!fromKeyboard(event)) return QObject::eventFilter(watched, event);
        if (!QApplication::activePopupWidget()) open_();
        return true;
    }

  private:
    std::function<void()> open_;
};

}  // namespace

void openMenuFromKeyboard(QWidget* target, std::function<void()> open) {
    new MenuKeys(target, std::move(open));
}

}  // namespace tavorin
