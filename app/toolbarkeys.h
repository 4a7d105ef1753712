#pragma once
// Keyboard use of the toolbar: Tab reaches its buttons, the arrow keys move
// between them.

class QToolBar;

namespace chronark {

// Lets Left and Right (and Home and End) move the focus among the shown
// buttons of ToolBar, as in a menu bar; call once its buttons are added.
void EnableArrowKeys(QToolBar* ToolBar);

}  // namespace chronark
