#include "platform/registry/registry.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

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

// What makes a file another than the one read: a replaced, rewritten or
// touched file is read again.
struct TFileStamp {
  dev_t Device = 0;
  ino_t Inode = 0;
  off_t Size = -1;
  timespec Modified{};
  bool operator==(const TFileStamp& O) const {
    return Device == O.Device && Inode == O.Inode && Size == O.Size &&
           Modified.tv_sec == O.Modified.tv_sec && Modified.tv_nsec == O.Modified.tv_nsec;
  }
};

TFileStamp StampOf(const struct stat& St) { return {St.st_dev, St.st_ino, St.st_size, St.st_mtim}; }

// The whole file, when it is a regular one: a pipe or device there would
// stall the program's start.
bool ReadRegularFile(const std::string& FileName, std::string& Text, TFileStamp& Stamp) {
  const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (Fd < 0) return false;
  struct stat St {};
  bool Ok = ::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode);
  if (Ok) {
    Stamp = StampOf(St);
    char Buffer[65536];
    for (;;) {
      const ssize_t Got = ::read(Fd, Buffer, sizeof Buffer);
      if (Got < 0 && errno == EINTR) continue;
      if (Got < 0) Ok = false;
      if (Got <= 0) break;
      Text.append(Buffer, static_cast<size_t>(Got));
    }
  }
  ::close(Fd);
  return Ok;
}

}  // namespace

enum class TRegistryValueType { String, Other };

struct TRegistryValue {
  std::string Name;
  std::string Data;
  TRegistryValueType Type = TRegistryValueType::String;
};

struct TRegistry::TKey {
  std::string Path;
  // A key holds a handful of values: a scan in file order finds the first
  // of a name, as the registry does.
  std::vector<TRegistryValue> Values;

  void Add(TRegistryValue Value) { Values.push_back(std::move(Value)); }
  const TRegistryValue* Find(std::string_view Name) const {
    for (const TRegistryValue& Value : Values)
      if (SameTextAscii(Value.Name, Name)) return &Value;
    return nullptr;
  }
};

// One reading of the file, indexed by key path (without regard to ASCII
// case); a section that appears twice adds to the first.
struct TRegistry::TStore {
  std::string FileName;
  TFileStamp Stamp;
  std::vector<TKey> Keys;
  std::unordered_map<std::string, size_t> ByPath;

  TKey& KeyFor(std::string_view Path) {
    const auto [It, Added] = ByPath.try_emplace(AsciiLowerCase(Path), Keys.size());
    if (Added) Keys.push_back(TKey{std::string(Path), {}});
    return Keys[It->second];
  }
  const TKey* Find(std::string_view Path) const {
    const auto It = ByPath.find(AsciiLowerCase(NormalizeKeyPath(Path)));
    return It == ByPath.end() ? nullptr : &Keys[It->second];
  }

  void Parse(std::string_view Text) {
    TKey* Section = nullptr;
    while (!Text.empty()) {
      const size_t End = Text.find('\n');
      std::string_view Line = Text.substr(0, End);
      Text = End == std::string_view::npos ? std::string_view() : Text.substr(End + 1);
      Line = Trim(Line);
      if (Line.empty() || Line.front() == ';') continue;
      if (Line.front() == '[') {
        const size_t Close = Line.find(']');
        // A broken header must not adopt the lines below it.
        Section = Close == std::string_view::npos
                      ? nullptr
                      : &KeyFor(NormalizeKeyPath(Line.substr(1, Close - 1)));
        continue;
      }
      const size_t Eq = Line.find('=');
      if (!Section || Eq == std::string_view::npos) continue;
      TRegistryValue Value;
      Value.Name = std::string(Trim(Line.substr(0, Eq)));
      std::string_view Data = Trim(Line.substr(Eq + 1));
      if (Data.size() >= 2 && (Data.front() == '"' || Data.front() == '\'') &&
          Data.back() == Data.front()) {
        Data = Data.substr(1, Data.size() - 2);  // a quoted value is always a string
      } else if (IsOtherTypeNotation(Data)) {
        Value.Type = TRegistryValueType::Other;
      }
      Value.Data = std::string(Data);
      Section->Add(std::move(Value));
    }
  }

  void AddPlatformDefaults() {
    TKey& Key = KeyFor(PlatformKey);
    if (!Key.Find(CommonFilesValue))
      Key.Add(TRegistryValue{std::string(CommonFilesValue), std::string(DefaultCommonFiles)});
  }
};

namespace {

// The store of this process. Keys and values are found through the index,
// so a lookup costs the same for a file of ten sections or of 100,000.
std::shared_ptr<const TRegistry::TStore> CurrentStore() {
  static std::mutex Lock;
  static std::shared_ptr<const TRegistry::TStore> Cached;
  const std::string FileName = TRegistry::HklmFileName();
  struct stat St {};
  const bool Exists = ::stat(FileName.c_str(), &St) == 0 && S_ISREG(St.st_mode);
  const TFileStamp Stamp = Exists ? StampOf(St) : TFileStamp{};
  std::lock_guard<std::mutex> Guard(Lock);
  if (Cached && Cached->FileName == FileName && Cached->Stamp == Stamp) return Cached;
  auto Store = std::make_shared<TRegistry::TStore>();
  Store->FileName = FileName;
  std::string Text;
  if (Exists && ReadRegularFile(FileName, Text, Store->Stamp))
    Store->Parse(Text);
  else
    Store->Stamp = TFileStamp{};
  Store->AddPlatformDefaults();
  Cached = Store;
  return Cached;
}

}  // namespace

TRegistry::TRegistry() : FStore(CurrentStore()) {}

std::string TRegistry::HklmFileName() {
  const char* FromEnv = std::getenv("REGISTRY_HKLM_FILE");
  if (FromEnv && *FromEnv) return FromEnv;
  return std::string(DefaultHklmFile);
}

bool TRegistry::OpenKeyReadOnly(std::string_view Key) {
  FCurrent = FStore->Find(Key);
  return FCurrent != nullptr;
}

bool TRegistry::OpenKey(std::string_view Key, bool /*CanCreate*/) { return OpenKeyReadOnly(Key); }

void TRegistry::CloseKey() { FCurrent = nullptr; }

bool TRegistry::ValueExists(std::string_view Name) const {
  return FCurrent && FCurrent->Find(Name) != nullptr;
}

std::string TRegistry::ReadString(std::string_view Name) const {
  const TRegistryValue* Value = FCurrent ? FCurrent->Find(Name) : nullptr;
  if (!Value) return {};
  if (Value->Type != TRegistryValueType::String)
    throw ERegistryException("Invalid data type for '" + std::string(Name) + "'");
  return Value->Data;
}

}  // namespace chronark::platform
