// Entry of the window tests: the application object exists only while tests
// run, not while they are merely listed.

#include "app/application.h"

#include <gtest/gtest.h>

int main(int Argc, char** Argv) {
  testing::InitGoogleTest(&Argc, Argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  chronark::TChronarkApplication Application(Argc, Argv);
  Application.PrepareProgram();
  return RUN_ALL_TESTS();
}
