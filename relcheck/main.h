// Unit main of the update-check library: the dialog Trelcheckform, the
// library's module-level texts and the body of its export.
#pragma once

#include "relcheck/check.h"

#include <QDialog>
#include <QEventLoop>
#include <QPointer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QFrame;
class QLabel;
class QShowEvent;
class QStatusBar;
class QTimer;
class QToolButton;

namespace chronark::relcheck {

// The maker's update server; the scheme and the path are fixed.
inline constexpr std::string_view DefaultUpdateHost = "www.tolvane-software.example";
std::string DefaultUpdateURL();  // http://<DefaultUpdateHost>/software/version.txt

// Module-level state, alive while the library is loaded. All texts are
// Windows-1252 bytes.
extern std::string UpdateURL;
extern std::string CurrentVersion;
extern std::string Section;
extern std::string TempFileName;
extern std::string DownloadAddress;
extern std::string HomepageAddress;
// The window that owns the library's dialogs during a call of the export
// (the stand-in for the library's application window handle).
extern uintptr_t ApplicationHandle;

class Trelcheckform;
extern Trelcheckform* relcheckform;  // the dialog while the export runs

// The body of showrelcheckdialog_v1_11: copies the three short strings,
// shows the dialog modally over the caller's window and returns when it has
// closed. AppHandle holds the caller's QWidget* (0 for none).
void ShowRelcheckDialog(uintptr_t AppHandle, const unsigned char* ACurrentVersion,
                        const unsigned char* ASection, const unsigned char* AUpdateURL);

// The network step of new dialogs: the export installs CreateHttpFetcher,
// tests may install fakes.
void SetFetcherFactory(std::function<std::unique_ptr<TDocumentFetcher>()> Factory);
// The executable whose version block gives the running version when the
// caller passes none (empty: the host process's own file); for tests.
void SetHostExecutable(std::string FileName);

// The real network step: THttpCli with the dialog's settings, waiting inside
// Qt's event loop (httpfetch.cpp, library chronark_relcheck_http).
std::unique_ptr<TDocumentFetcher> CreateHttpFetcher();
// The same with other limits than the client's 30 s idle / 60 s total (tests).
std::unique_ptr<TDocumentFetcher> CreateHttpFetcher(std::chrono::milliseconds IdleTimeout,
                                                    std::chrono::milliseconds TotalTimeout);

class Trelcheckform : public QDialog {
  Q_OBJECT

public:
  explicit Trelcheckform(QWidget* Owner);
  ~Trelcheckform() override;

  QLabel* version{nullptr};
  QLabel* Label1{nullptr};
  QStatusBar* StatusBar1{nullptr};
  QFrame* Panel1{nullptr};
  QToolButton* downloadbutton{nullptr};
  QTimer* Timer1{nullptr};
  QToolButton* homepagebutton{nullptr};
  QToolButton* SpeedButton1{nullptr};
  QLabel* newversion{nullptr};
  QLabel* Label2{nullptr};
  QLabel* Label3{nullptr};
  QLabel* appname{nullptr};
  // Shared, so that a check keeps its client even when the owner's window
  // destroys the dialog while the request runs.
  std::shared_ptr<TDocumentFetcher> uHttp1;

  void go();
  void downloadbuttonClick();
  void FormCreate();
  void SpeedButton1Click();
  void FormShow();
  void homepagebuttonClick();

  bool CheckRunning() const { return FCheckRunning; }
  // The loop that shows the dialog modally. The host application ending
  // (QCoreApplication::exit or quit) tells every loop of the thread to
  // return; a check still waiting for its server is then aborted instead of
  // keeping the program alive until the server's timeout.
  void SetModalLoop(QEventLoop* Loop) { FModalLoop = Loop; }
  bool HostEnding() const { return FModalLoop && !FModalLoop->isRunning(); }

  // What the check shows.
  void ShowStatus(std::string_view Text);
  void ShowNewerVersion(const TPublishedVersion& Published);

protected:
  void showEvent(QShowEvent* Event) override;
  // A close asked for while the check runs waits for its end.
  void done(int Result) override;

private:
  void CreateControls();

  QPointer<QEventLoop> FModalLoop;
  bool FCheckRunning{false};
  bool FCloseRequested{false};
  bool FShown{false};
};

}  // namespace chronark::relcheck
