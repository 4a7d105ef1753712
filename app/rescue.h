#pragma once
// Rescue copies: when the project cannot be saved at the end of the session
// and nobody is there to answer a box, the entries go to a file of their own
// under $XDG_DATA_HOME/chronark/rescue/, and the next start names it.
// Plain C++, no Qt.

#include "core/crkm.h"

#include <ctime>
#include <string>
#include <vector>

namespace chronark {

// $XDG_DATA_HOME/chronark/rescue/ (default ~/.local/share/chronark/rescue/).
std::string RescueFolder();

// "<project name without extension>-<YYYYMMDD-HHMMSS>.crf" in RescueFolder(),
// the stamp in local time.
std::string RescueFileName(const std::string& Project, std::time_t When);

// Writes every entry into a new rescue file (never over an existing one),
// and notes it for the next start. Returns its name; throws EInOutError.
std::string WriteRescueFile(const TChronarkMan& Manager, const std::string& Project);

// One line to standard error and to the system log (user facility, error).
void LogToSystem(const std::string& Message);

// The rescue files noted since the last call; the note is removed.
std::vector<std::string> TakeRescueNotes();

}  // namespace chronark
