#include "platform/dynlib/dynlib.h"

#include <dlfcn.h>

#include <utility>

namespace chronark::platform {

TDynLib::TDynLib(TDynLib&& Other) noexcept
    : FHandle(std::exchange(Other.FHandle, nullptr)), FFileName(std::move(Other.FFileName)) {}

TDynLib& TDynLib::operator=(TDynLib&& Other) noexcept {
  if (this != &Other) {
    Release();
    FHandle = std::exchange(Other.FHandle, nullptr);
    FFileName = std::move(Other.FFileName);
  }
  return *this;
}

TDynLib TDynLib::Open(const std::string& FullPath, std::string* Error) {
  TDynLib Lib;
  if (FullPath.empty() || FullPath.front() != '/') {
    if (Error) *Error = "not a full path: " + FullPath;
    return Lib;
  }
  Lib.FHandle = dlopen(FullPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Lib.FHandle) {
    if (Error) {
      const char* Text = dlerror();
      *Error = Text ? Text : "cannot load " + FullPath;
    }
    return Lib;
  }
  Lib.FFileName = FullPath;
  return Lib;
}

void* TDynLib::Symbol(const char* Name) const {
  if (!FHandle || !Name) return nullptr;
  return dlsym(FHandle, Name);
}

void TDynLib::Release() {
  if (FHandle) {
    dlclose(std::exchange(FHandle, nullptr));
    FFileName.clear();
  }
}

}  // namespace chronark::platform
