#pragma once
// HKEY_LOCAL_MACHINE on Linux: one INI-format file, read only.
//
//   [Software\Tolvane Software\Paths]
//   TVCommonFiles=/opt/tolvane
//   Count=dword:0000002a
//
// A section is a key path without its leading '\', each `name=value` line a
// string value; `name=dword:XXXXXXXX` (and `name=hex:..`) are values of another
// type. The file is $REGISTRY_HKLM_FILE when set, else
// /etc/registry/HKEY_LOCAL_MACHINE.ini. Key paths and value names are matched
// without regard to ASCII case, as the registry does; the first match wins.

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace chronark::platform {

enum class TRootKey { HKEY_LOCAL_MACHINE };

// Raised when a value is read as a string but holds another type.
class ERegistryException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TRegistry {
public:
  // Takes the store as read by this process; the file is read once per
  // process into an index, and again only when it has changed since. A
  // missing or unreadable file is an empty store.
  TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  static std::string HklmFileName();

  void SetRootKey(TRootKey Root) { FRootKey = Root; }
  TRootKey RootKey() const { return FRootKey; }

  // Opens Key (leading and trailing '\' optional) for reading. The store is
  // never written, so CanCreate cannot make a missing key appear: the result
  // is false then.
  bool OpenKeyReadOnly(std::string_view Key);
  bool OpenKey(std::string_view Key, bool CanCreate);
  void CloseKey();
  bool HasCurrentKey() const { return FCurrent != nullptr; }

  bool ValueExists(std::string_view Name) const;
  // The string value Name of the open key; empty when it does not exist.
  // Throws ERegistryException "Invalid data type for 'Name'" for a value of
  // another type.
  std::string ReadString(std::string_view Name) const;

  struct TStore;
  struct TKey;

private:
  TRootKey FRootKey = TRootKey::HKEY_LOCAL_MACHINE;
  std::shared_ptr<const TStore> FStore;
  const TKey* FCurrent = nullptr;
};

}  // namespace chronark::platform
