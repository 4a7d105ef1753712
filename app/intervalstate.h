#pragma once
// The running interval on disk, so that no end of the program loses it: a
// small file per timed project beside the settings file, written durably
// when timing starts and removed once the interval is saved in the project.
// Plain C++, no Qt.

#include "platform/files/datetime.h"

#include <optional>
#include <string>

namespace chronark {

// "chronark-<key>.running" in the folder of SettingsFile, the key derived
// from the project's real path.
std::string IntervalStateFileName(const std::string& SettingsFile, const std::string& Project);

// Replaces the file atomically and flushes it and its folder to disk.
// Throws EInOutError.
void WriteIntervalState(const std::string& StateFile, const std::string& Project, TDateTime Start);

// The start stamp kept in StateFile when it names Project (by real path);
// nothing when there is no such file or it belongs to another project.
std::optional<TDateTime> ReadIntervalState(const std::string& StateFile,
                                           const std::string& Project);

// Removes the file and flushes its folder; a missing file is no error.
void RemoveIntervalState(const std::string& StateFile);

}  // namespace chronark
