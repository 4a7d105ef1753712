#include "app/qtconvert.h"

#include "common/cp1252.h"

#include <QFile>

#include <array>

namespace chronark {

QString PathToQt(const std::string& Path) {
  return QFile::decodeName(QByteArray(Path.data(), static_cast<qsizetype>(Path.size())));
}

std::string PathFromQt(const QString& Path) { return QFile::encodeName(Path).toStdString(); }

QString TextToQt(std::string_view Text) {
  // Windows-1252 is Latin-1 but for 0x80 to 0x9F: convert as Latin-1 (fast)
  // and mend those few characters afterwards.
  static const auto Upper = [] {
    std::array<char16_t, 32> Table{};
    for (int I = 0; I < 32; ++I)
      Table[I] = static_cast<char16_t>(Cp1252ToUnicode(static_cast<unsigned char>(0x80 + I)));
    return Table;
  }();
  QString Result = QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
  for (qsizetype I = 0; I < static_cast<qsizetype>(Text.size()); ++I) {
    const auto C = static_cast<unsigned char>(Text[static_cast<size_t>(I)]);
    if (C >= 0x80 && C < 0xA0) Result[I] = QChar(Upper[C - 0x80]);
  }
  return Result;
}

std::string TextFromQt(const QString& Text) { return Utf8ToCp1252(Text.toStdString()); }

}  // namespace chronark
