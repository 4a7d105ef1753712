// Watching the dialog of one call of the export from the test's side.
#pragma once

#include "relcheck/main.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include <dirent.h>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace chronark::test {

using relcheck::relcheckform;
using relcheck::Trelcheckform;

inline std::vector<unsigned char> Short(const std::string& Text) {
  std::vector<unsigned char> S(1 + Text.size());
  S[0] = static_cast<unsigned char>(Text.size());
  std::copy(Text.begin(), Text.end(), S.begin() + 1);
  return S;
}

inline bool IsFinal(const QString& Text) {
  return Text == QLatin1String("Eine neue Version ist vorhanden!") ||
         Text == QString::fromUtf8("Kein Update verfügbar") ||
         Text.startsWith(QLatin1String("Fehler: "));
}

// What the dialog showed once its check had ended.
struct TOutcome {
  std::vector<QString> Statuses;
  QString Version, NewVersion, AppName, Status;
  std::map<std::string, bool> Enabled;
  QWidget* Parent{nullptr};
  bool Shown{false};
};

// Watches the dialog of one call; once the check has ended it records the
// outcome, runs Then (by default: press OK).
class TDriver : public QObject {
public:
  TOutcome Outcome;
  std::function<void(Trelcheckform&)> Then = [](Trelcheckform& Form) {
    Form.SpeedButton1->click();
  };
  // Every status text as it is shown.
  std::function<void(const QString&)> OnStatus;

  TDriver() { qApp->installEventFilter(this); }
  ~TDriver() override { qApp->removeEventFilter(this); }

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Show && Watched == relcheckform && !Outcome.Shown) {
      Outcome.Shown = true;
      connect(relcheckform->StatusBar1, &QStatusBar::messageChanged, this,
              [this](const QString& Text) {
                Outcome.Statuses.push_back(Text);
                if (OnStatus) OnStatus(Text);
                if (IsFinal(Text)) QTimer::singleShot(0, this, [this] { Finish(); });
              });
    }
    return false;
  }

private:
  void Finish() {
    if (!relcheckform) return;
    Trelcheckform& F = *relcheckform;
    Outcome.Version = F.version->text();
    Outcome.NewVersion = F.newversion->text();
    Outcome.AppName = F.appname->text();
    Outcome.Status = F.StatusBar1->currentMessage();
    Outcome.Parent = F.parentWidget();
    for (QWidget* W : std::initializer_list<QWidget*>{F.Label2, F.newversion, F.Label3, F.appname,
                                                      F.downloadbutton, F.homepagebutton})
      Outcome.Enabled[W->objectName().toStdString()] = W->isEnabled();
    Then(F);
  }
};

}  // namespace chronark::test
