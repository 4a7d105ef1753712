// One update check: fetch the version description file, keep it in a
// temporary file for the INI lookup, compare the published version with the
// running one, and tell the dialog what to show. No Qt here; the dialog
// supplies the view and the network step.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace chronark::relcheck {

// Status texts, Windows-1252 bytes.
inline constexpr std::string_view StatusReceiving = "Empfange Versionsinformationen...";
inline constexpr std::string_view StatusEvaluating = "Werte Informationen aus...";
inline constexpr std::string_view StatusNewer = "Eine neue Version ist vorhanden!";
inline constexpr std::string_view StatusNoUpdate = "Kein Update verf\xFCgbar";
inline constexpr std::string_view ErrorStatusPrefix = "Fehler: ";
std::string ErrorStatus(std::string_view Message);  // Fehler: "Message"

inline constexpr std::string_view UserAgent = "Online Relcheck";

// A version document is a few hundred bytes; anything beyond this is not kept.
inline constexpr size_t MaxVersionDocumentSize = 1u << 20;
inline constexpr std::string_view DocumentTooLargeMessage =
    "Die Versionsinformationen sind gr\xF6\xDF"
    "er als 1 MiB";

// The network step: the whole body of URL into Document, sending Agent as
// the user agent. Throws with the message the status bar shows; a body of
// more than MaxVersionDocumentSize bytes must end the request with
// DocumentTooLargeMessage. May run the thread's event loop meanwhile.
class TDocumentFetcher {
public:
  virtual ~TDocumentFetcher() = default;
  virtual void Get(const std::string& URL, std::string_view Agent, std::string& Document) = 0;

  // Asked whenever the request's wait wakes up; once it answers true, the
  // request is dropped and Get throws AbortedMessage (the host program is
  // ending, so waiting for a silent server would keep it alive).
  std::function<bool()> AbortRequested;
};

inline constexpr std::string_view AbortedMessage = "Operation aborted";

// What a check that found a newer version publishes (empty: not given).
struct TPublishedVersion {
  std::string Version, Name, Download, Homepage;
};

class TCheckView {
public:
  virtual ~TCheckView() = default;
  virtual void ShowStatus(std::string_view Text) = 0;
  virtual void ShowNewerVersion(const TPublishedVersion& Published) = 0;
};

struct TCheckRequest {
  std::string URL, Section, CurrentVersion;
};

// Runs the check to its end; every failure becomes the error status. The
// temporary file is gone when this returns, whatever happened. TempFileName
// receives its name for the length of the check.
void RunVersionCheck(TDocumentFetcher& Http, const TCheckRequest& Request, TCheckView& View,
                     std::string& TempFileName);

// The INI reader bound to one file: a key of a section, with a default.
class TIniReader {
public:
  explicit TIniReader(std::string FileName) : FFileName(std::move(FileName)) {}
  std::string ReadString(std::string_view Section, std::string_view Key,
                         std::string_view Default) const;
  // An address: empty when the value was longer than the reader's limit,
  // since its cut form would be another address than the one published.
  std::string ReadAddress(std::string_view Section, std::string_view Key) const;

private:
  std::string FFileName;
};

// Replaces the contents of FileName with Data. Throws EFCreateError
// "Cannot create file <FileName>" when the file cannot be opened for writing.
void SaveDocument(const std::string& FileName, std::string_view Data);

}  // namespace chronark::relcheck
