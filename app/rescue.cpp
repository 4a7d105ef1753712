#include "app/rescue.h"

#include "app/settings.h"
#include "platform/files/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace chronark {

namespace {

std::string NotesFile() { return RescueFolder() + "rescued.txt"; }

std::string WithoutExtension(const std::string& Name) {
  const size_t Dot = Name.rfind('.');
  return Dot == std::string::npos || Dot == 0 ? Name : Name.substr(0, Dot);
}

}  // namespace

std::string RescueFolder() { return UserDataFolder() + "/chronark/rescue/"; }

std::string RescueFileName(const std::string& Project, std::time_t When) {
  struct tm Local {};
  localtime_r(&When, &Local);
  char Stamp[32];
  std::strftime(Stamp, sizeof Stamp, "%Y%m%d-%H%M%S", &Local);
  std::string Name = WithoutExtension(ExtractFileName(Project));
  if (Name.empty()) Name = "projekt";
  return RescueFolder() + Name + "-" + Stamp + ".crf";
}

std::string WriteRescueFile(const TChronarkMan& Manager, const std::string& Project) {
  EnsureFolderOf(RescueFolder() + "x");
  const std::string Base = RescueFileName(Project, std::time(nullptr));
  std::string Name = Base;
  // A second rescue within the same second gets a number, never the first's place.
  for (int N = 2; PathPresent(Name); ++N)
    Name = Base.substr(0, Base.size() - 4) + "-" + std::to_string(N) + ".crf";
  Manager.SaveToFile(Name);
  std::ofstream(NotesFile(), std::ios::app) << Name << '\n';
  return Name;
}

void LogToSystem(const std::string& Message) {
  std::cerr << "chronark: " << Message << std::endl;
  openlog("chronark", LOG_PID, LOG_USER);
  syslog(LOG_ERR, "%s", Message.c_str());
  closelog();
}

std::vector<std::string> TakeRescueNotes() {
  std::vector<std::string> Names;
  const std::string Notes = NotesFile();
  std::ifstream In(Notes);
  for (std::string Line; std::getline(In, Line);)
    if (!Line.empty()) Names.push_back(Line);
  if (In.is_open()) ::unlink(Notes.c_str());
  return Names;
}

}  // namespace chronark
