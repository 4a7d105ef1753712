#include "app/toolbarkeys.h"

#include <QEvent>
#include <QKeyEvent>
#include <QToolBar>
#include <QToolButton>

#include <vector>

namespace chronark {

namespace {

class TArrowKeys : public QObject {
public:
  explicit TArrowKeys(QToolBar* ToolBar) : QObject(ToolBar), FToolBar(ToolBar) {}

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() != QEvent::KeyPress) return false;
    const auto* Key = static_cast<QKeyEvent*>(Event);
    if (Key->modifiers() & ~Qt::KeypadModifier) return false;
    std::vector<QWidget*> Buttons;
    for (QAction* Action : FToolBar->actions()) {
      QWidget* Tool = FToolBar->widgetForAction(Action);
      if (qobject_cast<QToolButton*>(Tool) && Tool->isVisible() && Tool->isEnabled())
        Buttons.push_back(Tool);
    }
    if (Buttons.empty()) return false;
    const auto Count = static_cast<int>(Buttons.size());
    int At = 0;
    while (At < Count && Buttons[static_cast<size_t>(At)] != Watched) ++At;
    int Next;
    switch (Key->key()) {
      case Qt::Key_Left: Next = (At + Count - 1) % Count; break;
      case Qt::Key_Right: Next = (At + 1) % Count; break;
      case Qt::Key_Home: Next = 0; break;
      case Qt::Key_End: Next = Count - 1; break;
      default: return false;
    }
    Buttons[static_cast<size_t>(Next)]->setFocus(Qt::TabFocusReason);
    return true;
  }

private:
  QToolBar* FToolBar;
};

}  // namespace

void EnableArrowKeys(QToolBar* ToolBar) {
  auto* Filter = new TArrowKeys(ToolBar);
  for (QAction* Action : ToolBar->actions())
    if (auto* Button = qobject_cast<QToolButton*>(ToolBar->widgetForAction(Action)))
      Button->installEventFilter(Filter);
}

}  // namespace chronark
