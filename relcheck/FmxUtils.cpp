#include "relcheck/FmxUtils.h"

#include "common/cp1252.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace chronark::relcheck {
namespace {

std::function<bool(const QUrl&)>& Opener() {
  static std::function<bool(const QUrl&)> Instance;
  return Instance;
}

bool HasControlCharacter(std::string_view Text) {
  for (unsigned char C : Text) {
    // C0 controls, DEL, and the bytes that decode to C1 controls.
    if (C < 0x20 || C == 0x7F || C == 0x81 || C == 0x8D || C == 0x8F || C == 0x90 || C == 0x9D)
      return true;
  }
  return false;
}

}  // namespace

QUrl ShellAddress(std::string_view FileName) {
  if (FileName.empty() || FileName.size() > MaxShellAddressLength || HasControlCharacter(FileName))
    return {};
  const QString Text = QString::fromStdString(Cp1252ToUtf8(FileName));
  const QString Lower = Text.toLower();
  if (!Lower.startsWith(QLatin1String("http://")) && !Lower.startsWith(QLatin1String("https://")))
    return {};
  QUrl Url(Text, QUrl::TolerantMode);
  if (!Url.isValid() || Url.isRelative() || Url.host().isEmpty()) return {};
  const QString Scheme = Url.scheme().toLower();
  if (Scheme != QLatin1String("http") && Scheme != QLatin1String("https")) return {};
  return Url;
}

int OpenWithShell(std::string_view FileName, std::string_view, std::string_view, int, uintptr_t) {
  const QUrl Url = ShellAddress(FileName);
  if (!Url.isValid()) return 0;
  if (Opener())
    Opener()(Url);
  else
    QDesktopServices::openUrl(Url);
  return 42;
}

void SetShellOpener(std::function<bool(const QUrl&)> Opener_) { Opener() = std::move(Opener_); }

}  // namespace chronark::relcheck
