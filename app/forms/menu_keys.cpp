#include "menu_keys.h"

#include <QApplication>
#include <QKeyEvent>

namespace tavorin {

namespace {

// Lives as the target's child, so that it goes with it.
class MenuKeys : public QObject {
  public:
    MenuKeys(QWidget* target, std::function<void()> open)
        : QObject(target), open_(std::move(open)) {
        target->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
        const auto* key = static_cast<QKeyEvent*>(event);
        // Keys may come marked as keypad keys; that changes nothing here.
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        const bool menuKey = (key->key() == Qt::Key_F10 && mods == Qt::ShiftModifier) ||
                             (key->key() == Qt::Key_Menu && mods == Qt::NoModifier);
        if (!menuKey) return QObject::eventFilter(watched, event);
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
