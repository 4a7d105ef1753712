#pragma once
// One loaded shared library: dlopen by full path, dlsym by name, dlclose in
// the destructor. Move-only, so each handle has exactly one owner.

#include <string>

namespace chronark::platform {

class TDynLib {
public:
  TDynLib() = default;
  ~TDynLib() { Release(); }
  TDynLib(TDynLib&& Other) noexcept;
  TDynLib& operator=(TDynLib&& Other) noexcept;
  TDynLib(const TDynLib&) = delete;
  TDynLib& operator=(const TDynLib&) = delete;

  // Loads FullPath with RTLD_NOW | RTLD_LOCAL. Only absolute paths are taken:
  // a bare name would send the loader through its search path, a relative
  // one through the current folder. The file must be a regular ELF shared
  // library of the process's own class and machine, and as long as each of
  // its loadable segments claims: a cut copy is refused instead of being
  // mapped past its end. On failure the result is empty and Error says why.
  static TDynLib Open(const std::string& FullPath, std::string* Error = nullptr);

  bool IsLoaded() const { return FHandle != nullptr; }
  explicit operator bool() const { return IsLoaded(); }
  const std::string& FileName() const { return FFileName; }

  // The address of the export Name, or nullptr.
  void* Symbol(const char* Name) const;

  template <typename TFunction>
  TFunction* Function(const char* Name) const {
    return reinterpret_cast<TFunction*>(Symbol(Name));
  }

  // Unloads now; a second call does nothing.
  void Release();

private:
  void* FHandle = nullptr;
  std::string FFileName;
};

}  // namespace chronark::platform
