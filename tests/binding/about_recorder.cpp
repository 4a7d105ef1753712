// The tests' own about.so: records how the program called it.
#include "recorder.h"

#ifdef CHRONARK_RECORD_QT
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QWidget>
#endif

extern "C" __attribute__((visibility("default"))) void showaboutdialog_v1_1(
    uintptr_t Owner, const unsigned char* Name, const unsigned char* Text2,
    const unsigned char* Text3, const unsigned char* Text4, uintptr_t IconHandle) {
  using namespace chronark::test;
  std::string Line =
      "showaboutdialog_v1_1\t" + LibraryPath(reinterpret_cast<const void*>(&showaboutdialog_v1_1));
  Line += HandleField("Owner", Owner);
  Line += ShortStringField("Name", Name);
  Line += ShortStringField("Text2", Text2);
  Line += ShortStringField("Text3", Text3);
  Line += ShortStringField("Text4", Text4);
  Line += HandleField("IconHandle", IconHandle);
#ifdef CHRONARK_RECORD_QT
  if (InspectHandles()) {
    if (Owner) Line += "\tWindow=" + reinterpret_cast<QWidget*>(Owner)->objectName().toStdString();
    if (IconHandle) {
      const QIcon* Icon = reinterpret_cast<const QIcon*>(IconHandle);
      Line += "\tIconNull=" + std::to_string(Icon->isNull());
      // The picture itself, for the test to compare with the program's icon.
      if (const char* FileName = std::getenv("CHRONARK_BINDING_RECORD"))
        Icon->pixmap(16, 16).save(QString::fromLocal8Bit(FileName) + QStringLiteral(".png"), "PNG");
    }
  }
#endif
  AppendRecord(Line);
}
