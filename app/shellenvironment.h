#pragma once
// Where the program lives and how it was started.

#include <string>

namespace chronark {

// Where the program lives and how it was started. The program entry takes it
// from the running program; tests put it in a folder of their own.
struct TShellEnvironment {
  std::string ProgramFile;    // full path of the program file
  std::string ProgramFolder;  // its folder, with a trailing "/"
  std::string SettingsFile;   // full name of chronark.ini
  std::string FirstArgument;  // the first command-line argument, "" when none

  static TShellEnvironment FromProgram(int Argc, char** Argv);
};

}  // namespace chronark
