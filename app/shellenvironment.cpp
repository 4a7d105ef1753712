#include "app/shellenvironment.h"

#include "app/settings.h"
#include "platform/files/paths.h"

namespace chronark {

TShellEnvironment TShellEnvironment::FromProgram(int Argc, char** Argv) {
  TShellEnvironment Environment;
  Environment.ProgramFile = chronark::ProgramFileName();
  Environment.ProgramFolder = chronark::ProgramFolder();
  Environment.SettingsFile = SettingsFileNameFor(Environment.ProgramFile);
  Environment.FirstArgument = Argc > 1 && Argv[1] ? Argv[1] : "";
  return Environment;
}

}  // namespace chronark
