#pragma once
// The notification-area icon of the timing mode.

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class QMenu;
class QWidget;

namespace chronark {

// One icon in the notification area, with a menu whose default item a
// double-click runs on the X11 tray and a click on a StatusNotifierItem panel. Where the desktop
// has no notification area, the icon and the menu's items appear as buttons in a small tool window
// instead, so that the items stay within reach while the main window is hidden.
class TRxTrayIcon : public QObject {
  Q_OBJECT
public:
  explicit TRxTrayIcon(QObject* Owner = nullptr);
  ~TRxTrayIcon() override;

  bool Active() const { return FActive; }
  void SetActive(bool Value);

  QIcon Icon() const { return FIcon; }
  void SetIcon(const QIcon& Value);

  QString Hint() const { return FHint; }
  void SetHint(const QString& Value);

  QMenu* PopupMenu() const { return FPopupMenu; }
  void SetPopupMenu(QMenu* Value);

  // The tooltip the icon shows: the hint up to its first "|", at most 63 characters.
  static QString TipOf(const QString& Hint);

  // Whether Qt puts its icons into a StatusNotifierItem panel rather than
  // into the X11 tray: a watcher on the session bus reports a registered host.
  static bool StatusNotifierHostPresent();
  bool ClickRunsDefaultItem() const { return FClickRunsDefault; }

  // For tests and diagnostics: the Qt icon, and the tool window while it stands in.
  QSystemTrayIcon* TrayIcon() const { return FTray; }
  QWidget* FallbackWindow() const { return FFallback; }

private:
  void Activated(QSystemTrayIcon::ActivationReason Reason);
  void RunDefaultItem();
  void NameIconWindow();
  void ShowFallback();
  void HideFallback();

  bool FActive = false;
  bool FClickRunsDefault = false;
  QIcon FIcon;
  QString FHint;
  QPointer<QMenu> FPopupMenu;
  QSystemTrayIcon* FTray = nullptr;
  QPointer<QWidget> FFallback;
};

}  // namespace chronark
