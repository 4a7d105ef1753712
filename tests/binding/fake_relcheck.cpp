// Stands in for relcheck.so: records how the program called the update check.
#include "recorder.h"

#ifdef CHRONARK_RECORD_QT
#include <QWidget>
#endif

extern "C" __attribute__((visibility("default"))) void showrelcheckdialog_v1_11(
    uintptr_t AppHandle, const unsigned char* CurrentVersion, const unsigned char* Section,
    const unsigned char* UpdateURL) {
  using namespace chronark::test;
  std::string Line = "showrelcheckdialog_v1_11\t" +
                     LibraryPath(reinterpret_cast<const void*>(&showrelcheckdialog_v1_11));
  Line += HandleField("AppHandle", AppHandle);
  Line += ShortStringField("CurrentVersion", CurrentVersion);
  Line += ShortStringField("Section", Section);
  Line += ShortStringField("UpdateURL", UpdateURL);
#ifdef CHRONARK_RECORD_QT
  if (InspectHandles() && AppHandle)
    Line += "\tWindow=" + reinterpret_cast<QWidget*>(AppHandle)->objectName().toStdString();
#endif
  AppendRecord(Line);
}
