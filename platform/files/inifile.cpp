#include "platform/files/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/cstring.h"
#include "common/exceptions.h"
#include "platform/files/safefile.h"

namespace chronark {

namespace {

struct TIniLine {
  std::string_view Text;  // without its line end
  std::string_view Eol;   // "\r\n", "\n", "\r" or "" for a last line without one
};

std::vector<TIniLine> SplitLines(std::string_view Text) {
  std::vector<TIniLine> Lines;
  size_t I = 0;
  while (I < Text.size()) {
    size_t E = Text.find_first_of("\r\n", I);
    if (E == std::string_view::npos) {
      Lines.push_back({Text.substr(I), {}});
      break;
    }
    const size_t EolLen = (Text[E] == '\r' && E + 1 < Text.size() && Text[E + 1] == '\n') ? 2 : 1;
    Lines.push_back({Text.substr(I, E - I), Text.substr(E, EolLen)});
    I = E + EolLen;
  }
  return Lines;
}

// Names and values lose blanks and tabs at both ends.
std::string_view Trim(std::string_view S) { return chronark::Trim(S, SpaceTab); }

// "[name]" (the ']' may be missing): true and the trimmed name.
bool SectionName(std::string_view Line, std::string_view& Name) {
  const std::string_view T = Trim(Line);
  if (T.empty() || T[0] != '[') return false;
  const size_t Close = T.find(']');
  Name = Trim(T.substr(1, Close == std::string_view::npos ? std::string_view::npos : Close - 1));
  return true;
}

// "key=value" outside comments: true, the trimmed key and the raw value.
bool KeyLine(std::string_view Line, std::string_view& Key, std::string_view& Value) {
  const std::string_view T = Trim(Line);
  if (T.empty() || T[0] == ';' || T[0] == '[') return false;
  const size_t Eq = T.find('=');
  if (Eq == std::string_view::npos) return false;
  Key = Trim(T.substr(0, Eq));
  Value = Trim(T.substr(Eq + 1));
  return true;
}

std::string_view Unquote(std::string_view V) {
  if (V.size() >= 2 && (V[0] == '"' || V[0] == '\'') && V.back() == V[0])
    return V.substr(1, V.size() - 2);
  return V;
}

std::string_view SkipBom(std::string_view Text) {
  return Text.substr(0, 3) == "\xEF\xBB\xBF" ? Text.substr(3) : Text;
}

std::string Cut(std::string_view V, bool* WasCut = nullptr) {
  if (WasCut) *WasCut = V.size() > MaxProfileValueLength;
  return std::string(V.substr(0, MaxProfileValueLength));
}

// Whole file; false with the errno when it cannot be read.
bool ReadWholeFile(const std::string& FileName, std::string& Text, int& Error) {
  const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0) {
    Error = errno;
    return false;
  }
  struct stat St;
  const bool Stat = ::fstat(Fd, &St) == 0;
  if (!Stat || !S_ISREG(St.st_mode)) {  // a pipe or device is no INI file
    Error = !Stat ? errno : S_ISDIR(St.st_mode) ? EISDIR : EINVAL;
    ::close(Fd);
    return false;
  }
  char Buf[65536];
  for (;;) {
    const ssize_t N = ::read(Fd, Buf, sizeof Buf);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) {
      Error = errno;
      ::close(Fd);
      return false;
    }
    if (N == 0) break;
    Text.append(Buf, size_t(N));
  }
  ::close(Fd);
  return true;
}

}  // namespace

std::string ReadProfileStringFromText(std::string_view Text, std::string_view Section,
                                      std::string_view Key, std::string_view Default,
                                      bool* WasCut) {
  bool InSection = false, SectionSeen = false;
  for (const TIniLine& L : SplitLines(SkipBom(Text))) {
    std::string_view Name, K, V;
    if (SectionName(L.Text, Name)) {
      // Only the first section of that name counts.
      if (InSection) break;
      InSection = !SectionSeen && SameTextAscii(Name, Trim(Section));
      SectionSeen = SectionSeen || InSection;
    } else if (InSection && KeyLine(L.Text, K, V) && SameTextAscii(K, Trim(Key))) {
      return Cut(Unquote(V), WasCut);
    }
  }
  return Cut(Default, WasCut);
}

std::string ReadPrivateProfileString(const std::string& FileName, std::string_view Section,
                                     std::string_view Key, std::string_view Default, bool* WasCut) {
  std::string Text;
  int Error = 0;
  if (!ReadWholeFile(FileName, Text, Error)) return Cut(Default, WasCut);
  return ReadProfileStringFromText(Text, Section, Key, Default, WasCut);
}

std::string WriteProfileStringToText(std::string_view Text, std::string_view Section,
                                     std::string_view Key, std::string_view Value) {
  // A byte order mark stays in front, outside the first line.
  const std::string_view Bom = Text.substr(0, Text.size() - SkipBom(Text).size());
  Text = SkipBom(Text);
  const std::vector<TIniLine> Lines = SplitLines(Text);
  std::string_view Eol = "\n";
  for (const TIniLine& L : Lines)
    if (!L.Eol.empty()) {
      Eol = L.Eol;
      break;
    }
  const std::string NewLine = std::string(Trim(Key)) + "=" + std::string(Value);

  // Where the key line goes: Replace (an existing line) or InsertAt.
  size_t SectionAt = Lines.size(), Replace = Lines.size(), InsertAt = Lines.size();
  for (size_t I = 0; I < Lines.size(); ++I) {
    std::string_view Name;
    if (SectionName(Lines[I].Text, Name) && SameTextAscii(Name, Trim(Section))) {
      SectionAt = I;
      break;
    }
  }
  if (SectionAt < Lines.size()) {
    InsertAt = SectionAt + 1;
    for (size_t I = SectionAt + 1; I < Lines.size(); ++I) {
      std::string_view Name, K, V;
      if (SectionName(Lines[I].Text, Name)) break;
      if (KeyLine(Lines[I].Text, K, V) && SameTextAscii(K, Trim(Key))) {
        Replace = I;
        break;
      }
      if (!Trim(Lines[I].Text).empty()) InsertAt = I + 1;
    }
  }

  const bool Found = SectionAt < Lines.size();
  const bool Appends = !Found || (Replace == Lines.size() && InsertAt == Lines.size());
  std::string Out(Bom);
  Out.reserve(Bom.size() + Text.size() + NewLine.size() + Section.size() + 8);
  for (size_t I = 0; I < Lines.size(); ++I) {
    if (Found && Replace == Lines.size() && I == InsertAt) Out.append(NewLine).append(Eol);
    Out.append(I == Replace ? std::string_view(NewLine) : Lines[I].Text);
    // A last line without line end stays so unless something is appended.
    Out.append(Lines[I].Eol.empty() && I + 1 == Lines.size() && Appends ? Eol : Lines[I].Eol);
  }
  if (!Found) {
    if (!Text.empty()) Out.append(Eol);
    Out.append("[").append(Trim(Section)).append("]").append(Eol);
  }
  if (Appends) Out.append(NewLine).append(Eol);
  return Out;
}

void WritePrivateProfileString(const std::string& FileName, std::string_view Section,
                               std::string_view Key, std::string_view Value) {
  std::string Text;
  int Error = 0;
  if (!ReadWholeFile(FileName, Text, Error) && Error != ENOENT)
    throw EIniFileException("Unable to write to " + FileName, Error);
  try {
    SafeWriteFile(FileName, WriteProfileStringToText(Text, Section, Key, Value));
  } catch (const EInOutError& E) {
    throw EIniFileException("Unable to write to " + FileName, E.ErrorCode());
  }
}

}  // namespace chronark
