#include "platform/registry/registry.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "common/cstring.h"

namespace chronark::platform {
namespace {

constexpr std::string_view DefaultHklmFile = "/etc/registry/HKEY_LOCAL_MACHINE.ini";
constexpr std::string_view PlatformKey = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr std::string_view CommonFilesValue = "CommonFilesDir";
constexpr std::string_view DefaultCommonFiles = "/usr/lib";

// Lines, names and data lose blanks, tabs and line ends at both ends.
std::string_view Trim(std::string_view S) { return chronark::Trim(S, Whitespace); }

// "\Software\X\" and "Software\X" name the same key.
std::string_view NormalizeKeyPath(std::string_view Path) {
  Path = Trim(Path);
  while (!Path.empty() && Path.front() == '\\') Path.remove_prefix(1);
  while (!Path.empty() && Path.back() == '\\') Path.remove_suffix(1);
  return Path;
}

bool IsHexDigits(std::string_view S) {
  for (char C : S)
    if (!((C >= '0' && C <= '9') || (AsciiLower(C) >= 'a' && AsciiLower(C) <= 'f'))) return false;
  return !S.empty();
}

// The notation of exported registry files for non-string values:
// dword:0000002a, hex:01,02 and hex(2):41,00.
bool IsOtherTypeNotation(std::string_view Data) {
  if (StartsTextAscii(Data, "dword:")) return Data.size() == 6 + 8 && IsHexDigits(Data.substr(6));
  if (StartsTextAscii(Data, "hex:") || StartsTextAscii(Data, "hex(")) {
    const size_t Colon = Data.find(':');
    return Colon != std::string_view::npos;
  }
  return false;
}

}  // namespace

TRegistry::TRegistry() {
  Load(HklmFileName());
  AddPlatformDefaults();
}

std::string TRegistry::HklmFileName() {
  const char* FromEnv = std::getenv("REGISTRY_HKLM_FILE");
  if (FromEnv && *FromEnv) return FromEnv;
  return std::string(DefaultHklmFile);
}

void TRegistry::Load(const std::string& FileName) {
  // Only a regular file: a pipe or device there would stall the program's start.
  struct stat St {};
  if (::stat(FileName.c_str(), &St) != 0 || !S_ISREG(St.st_mode)) return;
  std::ifstream In(FileName, std::ios::binary);
  std::string Line;
  TKey* Section = nullptr;
  while (std::getline(In, Line)) {
    const std::string_view Text = Trim(Line);
    if (Text.empty() || Text.front() == ';') continue;
    if (Text.front() == '[') {
      const size_t Close = Text.find(']');
      if (Close == std::string_view::npos) {
        Section = nullptr;  // a broken header must not adopt the lines below it
        continue;
      }
      const std::string_view Path = NormalizeKeyPath(Text.substr(1, Close - 1));
      Section = FindKey(Path);
      if (!Section) Section = &FKeys.emplace_back(TKey{std::string(Path), {}});
      continue;
    }
    const size_t Eq = Text.find('=');
    if (!Section || Eq == std::string_view::npos) continue;
    TValue Value;
    Value.Name = std::string(Trim(Text.substr(0, Eq)));
    std::string_view Data = Trim(Text.substr(Eq + 1));
    if (Data.size() >= 2 && (Data.front() == '"' || Data.front() == '\'') &&
        Data.back() == Data.front()) {
      Data = Data.substr(1, Data.size() - 2);  // a quoted value is always a string
    } else if (IsOtherTypeNotation(Data)) {
      Value.Type = TValueType::Other;
    }
    Value.Data = std::string(Data);
    Section->Values.push_back(std::move(Value));
  }
}

void TRegistry::AddPlatformDefaults() {
  TKey* Key = FindKey(PlatformKey);
  if (!Key) Key = &FKeys.emplace_back(TKey{std::string(PlatformKey), {}});
  for (const TValue& Value : Key->Values)
    if (SameTextAscii(Value.Name, CommonFilesValue)) return;
  Key->Values.push_back(TValue{std::string(CommonFilesValue), std::string(DefaultCommonFiles)});
}

TRegistry::TKey* TRegistry::FindKey(std::string_view Path) {
  Path = NormalizeKeyPath(Path);
  for (TKey& Key : FKeys)
    if (SameTextAscii(Key.Path, Path)) return &Key;
  return nullptr;
}

bool TRegistry::OpenKeyReadOnly(std::string_view Key) {
  FCurrent = FindKey(Key);
  return FCurrent != nullptr;
}

bool TRegistry::OpenKey(std::string_view Key, bool /*CanCreate*/) { return OpenKeyReadOnly(Key); }

void TRegistry::CloseKey() { FCurrent = nullptr; }

const TRegistry::TValue* TRegistry::FindValue(std::string_view Name) const {
  if (!FCurrent) return nullptr;
  for (const TValue& Value : FCurrent->Values)
    if (SameTextAscii(Value.Name, Name)) return &Value;
  return nullptr;
}

bool TRegistry::ValueExists(std::string_view Name) const { return FindValue(Name) != nullptr; }

std::string TRegistry::ReadString(std::string_view Name) const {
  const TValue* Value = FindValue(Name);
  if (!Value) return {};
  if (Value->Type != TValueType::String)
    throw ERegistryException("Invalid data type for '" + std::string(Name) + "'");
  return Value->Data;
}

}  // namespace chronark::platform
