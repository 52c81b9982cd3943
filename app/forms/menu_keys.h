// A widget's menu opened from the keyboard, as the right mouse button opens
// it with the mouse.
#pragma once

#include <QWidget>
#include <functional>

namespace tavorin {

// From now on Shift+F10 and the context-menu key, pressed while `target`
// has the focus, call `open` (which shows the menu where the keyboard user
// expects it). Some platforms turn the context-menu key into a menu request
// of their own, before or after the key itself; that request comes here
// too, rather than to the widget's own menu (a list box would hand it to
// its text part's plain edit menu), and whichever of the two comes first
// opens the menu while the other finds it open.
void openMenuFromKeyboard(QWidget* target, std::function<void()> open);

}  // namespace tavorin
