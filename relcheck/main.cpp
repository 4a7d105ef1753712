#include "relcheck/main.h"

#include "common/cp1252.h"
#include "common/exceptions.h"
#include "common/scopeexit.h"
#include "common/shortstring.h"
#include "platform/version/version.h"
#include "relcheck/FmxUtils.h"

#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include <algorithm>

namespace chronark::relcheck {

std::string UpdateURL;
std::string CurrentVersion;
std::string Section;
std::string TempFileName;
std::string DownloadAddress;
std::string HomepageAddress;
uintptr_t ApplicationHandle = 0;
Trelcheckform* relcheckform = nullptr;

namespace {

std::function<std::unique_ptr<TDocumentFetcher>()>& FetcherFactory() {
  static std::function<std::unique_ptr<TDocumentFetcher>()> Instance;
  return Instance;
}

std::string& HostExecutableOverride() {
  static std::string Instance;
  return Instance;
}

QString FromCp1252(std::string_view Text) { return QString::fromStdString(Cp1252ToUtf8(Text)); }

// The caller's window, when the handle names a widget that exists; a stale
// or foreign value leaves the dialog without owner instead of crashing.
QWidget* OwnerWidget(uintptr_t Handle) {
  if (Handle == 0) return nullptr;
  for (QWidget* Widget : QApplication::allWidgets())
    if (reinterpret_cast<uintptr_t>(Widget) == Handle) return Widget;
  return nullptr;
}

// A label sizes itself to its text, as the form's labels do; its given size
// fits the form's original font, so it only ever grows beyond it.
QLabel* MakeLabel(QWidget* Parent, const char* Name, const QString& Text, QRect Geometry) {
  auto* Label = new QLabel(Text, Parent);
  Label->setObjectName(QString::fromLatin1(Name));
  const QSize Hint = Label->sizeHint();
  Label->setGeometry(Geometry.left(), Geometry.top(), std::max(Geometry.width(), Hint.width()),
                     std::max(Geometry.height(), Hint.height()));
  return Label;
}

// A static text with sunken border and fixed size.
QLabel* MakeStaticText(QWidget* Parent, const char* Name, QRect Geometry) {
  auto* Text = new QLabel(Parent);
  Text->setObjectName(QString::fromLatin1(Name));
  // Shows what the version document says, never markup it may carry.
  Text->setTextFormat(Qt::PlainText);
  Text->setGeometry(Geometry);
  Text->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Text->setFixedSize(Geometry.size());
  return Text;
}

// A flat button without image whose hint is shown.
QToolButton* MakeFlatButton(QWidget* Parent, const char* Name, const QString& Text,
                            const QString& Hint, QRect Geometry) {
  auto* Button = new QToolButton(Parent);
  Button->setObjectName(QString::fromLatin1(Name));
  Button->setText(Text);
  Button->setToolTip(Hint);
  Button->setAutoRaise(true);
  Button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  Button->setGeometry(Geometry);
  return Button;
}

// Restores the remembered application window handle however the call ends.
class TApplicationHandleScope {
public:
  explicit TApplicationHandleScope(uintptr_t Handle) : FSaved(ApplicationHandle) {
    ApplicationHandle = Handle;
  }
  ~TApplicationHandleScope() { ApplicationHandle = FSaved; }
  TApplicationHandleScope(const TApplicationHandleScope&) = delete;
  TApplicationHandleScope& operator=(const TApplicationHandleScope&) = delete;

private:
  uintptr_t FSaved;
};

// The check's view of the dialog; it ignores the check once the dialog is gone.
class TFormView : public TCheckView {
public:
  explicit TFormView(Trelcheckform* Form) : FForm(Form) {}
  void ShowStatus(std::string_view Text) override {
    if (FForm) FForm->ShowStatus(Text);
  }
  void ShowNewerVersion(const TPublishedVersion& Published) override {
    if (FForm) FForm->ShowNewerVersion(Published);
  }

private:
  QPointer<Trelcheckform> FForm;
};

}  // namespace

std::string DefaultUpdateURL() {
  return "http://" + std::string(DefaultUpdateHost) + "/software/version.txt";
}

void SetFetcherFactory(std::function<std::unique_ptr<TDocumentFetcher>()> Factory) {
  FetcherFactory() = std::move(Factory);
}

void SetHostExecutable(std::string FileName) { HostExecutableOverride() = std::move(FileName); }

Trelcheckform::Trelcheckform(QWidget* Owner) : QDialog(Owner) {
  setObjectName(QStringLiteral("relcheckform"));
  setWindowTitle(QStringLiteral("Online Relcheck"));
  // Dialog border: fixed size, close box only.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(245, 137);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
  CreateControls();
  uHttp1 = FetcherFactory() ? FetcherFactory()() : nullptr;
  if (!uHttp1) throw Exception("relcheck has no HTTP client");
  FormCreate();
}

Trelcheckform::~Trelcheckform() {
  if (relcheckform == this) relcheckform = nullptr;
}

void Trelcheckform::CreateControls() {
  version = MakeStaticText(this, "version", {3, 21, 107, 17});
  Label1 = MakeLabel(this, "Label1", QStringLiteral("aktuelle Version:"), {3, 3, 78, 13});
  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setSizeGripEnabled(false);
  StatusBar1->setGeometry(0, 118, 245, 19);
  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setLineWidth(1);
  Panel1->setGeometry(3, 84, 240, 31);
  downloadbutton = MakeFlatButton(Panel1, "downloadbutton", QStringLiteral("Download"),
                                  QStringLiteral("Downloade neue Version"), {3, 3, 85, 25});
  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  homepagebutton = MakeFlatButton(Panel1, "homepagebutton", QStringLiteral("Homepage"),
                                  QStringLiteral("Zur Homepage"), {91, 3, 85, 25});
  SpeedButton1 = MakeFlatButton(Panel1, "SpeedButton1", QStringLiteral("OK"),
                                QString::fromUtf8("Dialogbox schließen"), {179, 3, 58, 25});
  newversion = MakeStaticText(this, "newversion", {135, 21, 107, 17});
  Label2 = MakeLabel(this, "Label2", QStringLiteral("neue Version:"), {135, 3, 65, 13});
  Label3 = MakeLabel(this, "Label3", QStringLiteral("Name:"), {3, 43, 31, 13});
  appname = MakeStaticText(this, "appname", {3, 60, 240, 17});

  for (QWidget* Disabled :
       {static_cast<QWidget*>(Label2), static_cast<QWidget*>(newversion),
        static_cast<QWidget*>(Label3), static_cast<QWidget*>(appname),
        static_cast<QWidget*>(downloadbutton), static_cast<QWidget*>(homepagebutton)})
    Disabled->setEnabled(false);

  connect(downloadbutton, &QToolButton::clicked, this, &Trelcheckform::downloadbuttonClick);
  connect(homepagebutton, &QToolButton::clicked, this, &Trelcheckform::homepagebuttonClick);
  connect(SpeedButton1, &QToolButton::clicked, this, &Trelcheckform::SpeedButton1Click);
  connect(Timer1, &QTimer::timeout, this, &Trelcheckform::go);
}

void Trelcheckform::FormCreate() {
  Timer1->setInterval(1);
  Timer1->start();
}

void Trelcheckform::FormShow() { version->setText(FromCp1252(CurrentVersion)); }

void Trelcheckform::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  if (!FShown) {
    FShown = true;
    FormShow();
  }
}

void Trelcheckform::go() {
  // First, so that the events handled while the request runs cannot start a
  // second check.
  Timer1->stop();
  FCheckRunning = true;
  QPointer<Trelcheckform> Self(this);
  const std::shared_ptr<TDocumentFetcher> Http = uHttp1;
  Http->AbortRequested = [Self] { return Self && Self->HostEnding(); };
  TFormView View(this);
  RunVersionCheck(*Http, {UpdateURL, Section, CurrentVersion}, View, TempFileName);
  if (!Self) return;  // destroyed with its owner while the request ran
  FCheckRunning = false;
  if (FCloseRequested) QDialog::done(QDialog::Rejected);
}

void Trelcheckform::done(int Result) {
  if (FCheckRunning) {
    FCloseRequested = true;
    return;
  }
  QDialog::done(Result);
}

void Trelcheckform::SpeedButton1Click() { close(); }

void Trelcheckform::downloadbuttonClick() {
  OpenWithShell(DownloadAddress, "", "", 0, reinterpret_cast<uintptr_t>(this));
}

void Trelcheckform::homepagebuttonClick() {
  OpenWithShell(HomepageAddress, "", "", 0, reinterpret_cast<uintptr_t>(this));
}

void Trelcheckform::ShowStatus(std::string_view Text) { StatusBar1->showMessage(FromCp1252(Text)); }

void Trelcheckform::ShowNewerVersion(const TPublishedVersion& Published) {
  newversion->setText(FromCp1252(Published.Version));
  newversion->setEnabled(true);
  Label2->setEnabled(true);
  if (!Published.Name.empty()) {
    appname->setText(FromCp1252(Published.Name));
    appname->setEnabled(true);
    Label3->setEnabled(true);
  }
  DownloadAddress = Published.Download;
  if (!DownloadAddress.empty()) downloadbutton->setEnabled(true);
  HomepageAddress = Published.Homepage;
  if (!HomepageAddress.empty()) homepagebutton->setEnabled(true);
}

void ShowRelcheckDialog(uintptr_t AppHandle, const unsigned char* ACurrentVersion,
                        const unsigned char* ASection, const unsigned char* AUpdateURL) {
  const TShortString CurrentVersionArg = CopyShortString(ACurrentVersion);
  const TShortString SectionArg = CopyShortString(ASection);
  const TShortString UpdateURLArg = CopyShortString(AUpdateURL);
  // One dialog at a time: a call made while the dialog runs (from a timer of
  // the host, say) would overwrite the texts the running check uses.
  if (relcheckform) {
    relcheckform->activateWindow();
    return;
  }

  // A host without a Qt Widgets application gets one for the call.
  std::unique_ptr<QApplication> OwnApplication;
  if (!QCoreApplication::instance()) {
    static int Argc = 1;
    static char Name[] = "relcheck";
    static char* Argv[] = {Name, nullptr};
    OwnApplication = std::make_unique<QApplication>(Argc, Argv);
  } else if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    throw Exception("relcheck needs a Qt Widgets application");
  }
  TApplicationHandleScope HandleScope(AppHandle);
  QPointer<Trelcheckform> Form = new Trelcheckform(OwnerWidget(ApplicationHandle));
  relcheckform = Form.data();
  TScopeExit Release([&Form] {
    relcheckform = nullptr;
    delete Form.data();
  });

  UpdateURL = UpdateURLArg.Length == 0 ? DefaultUpdateURL() : UpdateURLArg.Str();
  if (CurrentVersionArg.Length != 0) {
    CurrentVersion = CurrentVersionArg.Str();
  } else {
    CurrentVersion = HostExecutableOverride().empty()
                         ? ReadRunningVersionString("FileVersion")
                         : ReadVersionString(HostExecutableOverride(), "FileVersion");
  }
  Section = SectionArg.Str();

  Form->setWindowModality(Qt::ApplicationModal);
  const QScreen* Screen = Form->parentWidget() && Form->parentWidget()->screen()
                              ? Form->parentWidget()->screen()
                              : QGuiApplication::primaryScreen();
  if (Screen) Form->move(Screen->geometry().center() - Form->rect().center());
  // Modal like exec(), but in a loop of our own, so that the check can tell
  // when the host application ends.
  QEventLoop ModalLoop;
  Form->SetModalLoop(&ModalLoop);
  QObject::connect(Form.data(), &QDialog::finished, &ModalLoop, &QEventLoop::quit);
  QObject::connect(Form.data(), &QObject::destroyed, &ModalLoop, &QEventLoop::quit);
  Form->show();
  ModalLoop.exec(QEventLoop::DialogExec);
}

}  // namespace chronark::relcheck
