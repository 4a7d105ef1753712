// The library's one export. Everything else in relcheck.so is hidden.
#include "relcheck/main.h"

#include <cstdio>
#include <exception>

// Called by the host with its main window and three short strings (length
// byte, then the characters). Returns when the dialog has closed. No
// exception may cross into a host that knows nothing of our types, so a
// failure to create or show the dialog is reported on standard error.
extern "C" __attribute__((visibility("default"))) void showrelcheckdialog_v1_11(
    uintptr_t AppHandle, const unsigned char* CurrentVersion, const unsigned char* Section,
    const unsigned char* UpdateURL) noexcept {
  try {
    chronark::relcheck::SetFetcherFactory([] { return chronark::relcheck::CreateHttpFetcher(); });
    chronark::relcheck::ShowRelcheckDialog(AppHandle, CurrentVersion, Section, UpdateURL);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "relcheck: %s\n", E.what());
  } catch (...) {
    std::fprintf(stderr, "relcheck: unknown error\n");
  }
}
