// A widget's menu opened from the keyboard, as the right mouse button opens
// it with the mouse.
#pragma once

#include <QWidget>
#include <functional>

namespace tavorin {

// From now on Shift+F10 and the context-menu key, pressed while `target`
// has the focus, call `open` (which shows the menu where the keyboard user
// expects it). Some platforms also turn the context-menu key into a menu
// request of their own; whichever of the two comes first opens the menu,
// and the other finds it open and leaves it standing.
void openMenuFromKeyboard(QWidget* target, std::function<void()> open);

}  // namespace tavorin
