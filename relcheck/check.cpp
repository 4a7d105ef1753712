#include "relcheck/check.h"

#include "common/exceptions.h"
#include "common/scopeexit.h"
#include "platform/files/descriptor.h"
#include "platform/files/inifile.h"
#include "platform/version/version.h"
#include "relcheck/versioncompare.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace chronark::relcheck {
namespace {

void Evaluate(const TCheckRequest& Request, TCheckView& View, const TIniReader& Ini) {
  const std::string Published = Ini.ReadString(Request.Section, "Version", "0.0.0.0");
  if (!IsNewerVersion(Published, Request.CurrentVersion)) {
    View.ShowStatus(StatusNoUpdate);
    return;
  }
  TPublishedVersion Newer;
  Newer.Version = Published;
  Newer.Name = Ini.ReadString(Request.Section, "Name", "");
  Newer.Download = Ini.ReadAddress(Request.Section, "Download");
  Newer.Homepage = Ini.ReadAddress(Request.Section, "Homepage");
  View.ShowNewerVersion(Newer);
  View.ShowStatus(StatusNewer);
}

}  // namespace

std::string ErrorStatus(std::string_view Message) {
  return std::string(ErrorStatusPrefix) + "\"" + std::string(Message) + "\"";
}

std::string TIniReader::ReadString(std::string_view Section, std::string_view Key,
                                   std::string_view Default) const {
  return ReadPrivateProfileString(FFileName, Section, Key, Default);
}

std::string TIniReader::ReadAddress(std::string_view Section, std::string_view Key) const {
  bool WasCut = false;
  std::string Value = ReadPrivateProfileString(FFileName, Section, Key, "", &WasCut);
  if (WasCut) Value.clear();
  return Value;
}

void SaveDocument(const std::string& FileName, std::string_view Data) {
  // The file was created exclusively for this check; never follow a link
  // that may have replaced it in the shared temporary folder.
  TFileDescriptor Fd(
      FileName.empty()
          ? -1
          : ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!Fd.Valid()) throw EFCreateError("Cannot create file " + FileName, errno);
  while (!Data.empty()) {
    ssize_t Written = ::write(Fd.Get(), Data.data(), Data.size());
    if (Written < 0 && errno == EINTR) continue;
    if (Written <= 0) throw EInOutError("Stream write error", errno);
    Data.remove_prefix(static_cast<size_t>(Written));
  }
  if (Fd.Close() != 0) throw EInOutError("Stream write error", errno);
}

void RunVersionCheck(TDocumentFetcher& Http, const TCheckRequest& Request, TCheckView& View,
                     std::string& TempFileName) {
  TempFileName = MakeTempFileName();
  // The temporary file goes however the check ends.
  TScopeExit Remove([&TempFileName] {
    if (!TempFileName.empty()) ::unlink(TempFileName.c_str());
  });
  try {
    std::string Document;
    View.ShowStatus(StatusReceiving);
    Http.Get(Request.URL, UserAgent, Document);
    if (Document.size() > MaxVersionDocumentSize)
      throw Exception(std::string(DocumentTooLargeMessage));
    SaveDocument(TempFileName, Document);
    TIniReader Ini(TempFileName);
    View.ShowStatus(StatusEvaluating);
    Evaluate(Request, View, Ini);
  } catch (const std::bad_alloc&) {
    View.ShowStatus(ErrorStatus("Out of memory"));
  } catch (const std::exception& E) {
    View.ShowStatus(ErrorStatus(E.what()));
  } catch (...) {
    View.ShowStatus(ErrorStatus("Unknown error"));
  }
}

}  // namespace chronark::relcheck
