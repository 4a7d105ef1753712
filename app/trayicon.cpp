#include "app/trayicon.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

namespace chronark {

namespace {

// The stand-in for the notification area. Its close box does nothing, since
// closing it would leave a hidden program without any visible presence.
class TTrayFallbackWindow : public QWidget {
public:
  TTrayFallbackWindow()
      : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                             Qt::WindowTitleHint) {
    setObjectName("RxTrayIcon1Window");
    setAttribute(Qt::WA_QuitOnClose, false);
  }

protected:
  void closeEvent(QCloseEvent* Event) override { Event->ignore(); }
};

}  // namespace

bool TRxTrayIcon::StatusNotifierHostPresent() {
  // Qt asks once, when the first tray icon is made, and keeps the answer;
  // its offscreen and minimal platforms have no tray of either kind.
  static const bool Present = [] {
    const QString Platform = QGuiApplication::platformName();
    if (Platform != QLatin1String("xcb") && !Platform.startsWith(QLatin1String("wayland")))
      return false;
    // A watcher on the session bus that reports a panel (a host) registered.
    const QString Watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusInterface Host(Watcher, QStringLiteral("/StatusNotifierWatcher"), Watcher,
                        QDBusConnection::sessionBus());
    return Host.isValid() && Host.property("IsStatusNotifierHostRegistered").toBool();
  }();
  return Present;
}

TRxTrayIcon::TRxTrayIcon(QObject* Owner)
    : QObject(Owner),
      FClickRunsDefault(StatusNotifierHostPresent()),
      FTray(new QSystemTrayIcon(this)) {
  connect(FTray, &QSystemTrayIcon::activated, this, &TRxTrayIcon::Activated);
}

TRxTrayIcon::~TRxTrayIcon() { delete FFallback; }

QString TRxTrayIcon::TipOf(const QString& Hint) {
  QString Tip = Hint;
  const qsizetype Bar = Tip.indexOf(u'|');
  if (Bar >= 0) Tip.truncate(Bar);
  return Tip.left(63);
}

void TRxTrayIcon::SetIcon(const QIcon& Value) {
  FIcon = Value;
  FTray->setIcon(Value);
  if (FActive && FFallback) {
    HideFallback();
    ShowFallback();
  }
}

void TRxTrayIcon::SetHint(const QString& Value) {
  FHint = Value;
  FTray->setToolTip(TipOf(Value));
  if (FFallback) FFallback->setWindowTitle(TipOf(Value));
}

void TRxTrayIcon::SetPopupMenu(QMenu* Value) {
  FPopupMenu = Value;
  FTray->setContextMenu(Value);
}

void TRxTrayIcon::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (!Value) {
    FTray->hide();
    HideFallback();
    return;
  }
  // With an empty icon there is nothing to show, as with a program file without icon.
  if (FIcon.isNull()) return;
  // The icon is put up in any case: a notification area that starts later
  // still receives it. Without one now, the stand-in window appears too.
  FTray->show();
  NameIconWindow();
  if (!QSystemTrayIcon::isSystemTrayAvailable()) ShowFallback();
}

void TRxTrayIcon::NameIconWindow() {
  // An embedded X11 icon is a window of its own; giving it the tooltip as
  // its name lets desktop tools and scripts find it by that text.
  for (QWidget* Window : QApplication::topLevelWidgets()) {
    if (qstrcmp(Window->metaObject()->className(), "QSystemTrayIconSys") == 0)
      Window->setWindowTitle(TipOf(FHint));
  }
}

void TRxTrayIcon::Activated(QSystemTrayIcon::ActivationReason Reason) {
  // On the X11 tray a double-click arrives as Trigger followed by
  // DoubleClick: only the latter counts, so that it runs the item once. A
  // StatusNotifierItem has no double-click: its click (Activate) is Trigger.
  const auto Runs = FClickRunsDefault ? QSystemTrayIcon::Trigger : QSystemTrayIcon::DoubleClick;
  if (Reason == Runs) RunDefaultItem();
}

void TRxTrayIcon::RunDefaultItem() {
  if (!FPopupMenu) return;
  QAction* Item = FPopupMenu->defaultAction();
  if (Item && Item->isEnabled()) Item->trigger();
}

void TRxTrayIcon::ShowFallback() {
  auto* Window = new TTrayFallbackWindow;
  Window->setWindowTitle(TipOf(FHint));
  Window->setWindowIcon(FIcon);
  auto* Layout = new QHBoxLayout(Window);
  auto* Picture = new QLabel(Window);
  Picture->setPixmap(FIcon.pixmap(32, 32));
  Picture->setToolTip(TipOf(FHint));
  Layout->addWidget(Picture);
  if (FPopupMenu) {
    for (QAction* Item : FPopupMenu->actions()) {
      if (Item->isSeparator() || !Item->isVisible()) continue;
      auto* Button = new QPushButton(Item->text(), Window);
      Button->setObjectName(Item->objectName());
      Button->setEnabled(Item->isEnabled());
      if (Item == FPopupMenu->defaultAction()) {
        QFont Bold = Button->font();
        Bold.setBold(true);
        Button->setFont(Bold);
        Button->setDefault(true);
      }
      // The item may hide this window; it is then released later, not at once.
      connect(Button, &QPushButton::clicked, Item, &QAction::trigger);
      Layout->addWidget(Button);
    }
  }
  FFallback = Window;
  Window->adjustSize();
  // A fixed size: no desktop offers to maximise it.
  Window->setFixedSize(Window->size());
  // Where a notification area would be: the lower right corner.
  if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
    const QRect Area = Screen->availableGeometry();
    Window->move(Area.right() - Window->width() - 16, Area.bottom() - Window->height() - 48);
  }
  Window->show();
}

void TRxTrayIcon::HideFallback() {
  if (FFallback) {
    FFallback->hide();
    FFallback->deleteLater();
    FFallback = nullptr;
  }
}

}  // namespace chronark
