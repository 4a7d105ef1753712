// The settings value: the relative path rule, reading a value back, the switch.

#include "app/settings.h"

#include "app/main.h"
#include "app/qtconvert.h"
#include "app/trayicon.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>
#include <filesystem>

namespace chronark {
namespace {

struct TRelativeCase {
  const char* Base;
  const char* Dest;
  const char* Relative;
};

class ExtractRelativePathTest : public testing::TestWithParam<TRelativeCase> {};

TEST_P(ExtractRelativePathTest, FollowsTheFolderNames) {
  EXPECT_EQ(ExtractRelativePath(GetParam().Base, GetParam().Dest), GetParam().Relative);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ExtractRelativePathTest,
    testing::Values(
        TRelativeCase{"/opt/chronark/", "/opt/chronark/woche.crf", "woche.crf"},
        TRelativeCase{"/opt/chronark/", "/opt/chronark/", ""},
        TRelativeCase{"/opt/chronark/", "/opt/chronark/daten/woche.crf", "daten/woche.crf"},
        TRelativeCase{"/opt/chronark/", "/opt/woche.crf", "../woche.crf"},
        TRelativeCase{"/opt/chronark/", "/home/anna/zeit/woche.crf",
                      "../../home/anna/zeit/woche.crf"},
        // Folder names differ in case on Linux.
        TRelativeCase{"/opt/Chronark/", "/opt/chronark/woche.crf", "../chronark/woche.crf"},
        // A stored parent step comes back as it went in.
        TRelativeCase{"/opt/chronark/", "/opt/chronark/../woche.crf", "../woche.crf"},
        TRelativeCase{"/opt/chronark/", "woche.crf", "woche.crf"},
        TRelativeCase{"/opt//chronark/", "/opt/chronark/a/b.crf", "a/b.crf"}),
    [](const testing::TestParamInfo<TRelativeCase>& Info) {
      return "Case" + std::to_string(Info.index);
    });

struct TSettingCase {
  const char* Value;
  const char* Path;
};

class ProjectPathFromSettingTest : public testing::TestWithParam<TSettingCase> {};

TEST_P(ProjectPathFromSettingTest, PutsTheProgramFolderOnlyBeforeRelativeValues) {
  EXPECT_EQ(ProjectPathFromSetting("/opt/chronark/", GetParam().Value), GetParam().Path);
}

INSTANTIATE_TEST_SUITE_P(Values, ProjectPathFromSettingTest,
                         testing::Values(TSettingCase{"", "/opt/chronark/"},
                                         TSettingCase{"woche.crf", "/opt/chronark/woche.crf"},
                                         TSettingCase{"../woche.crf", "/opt/chronark/../woche.crf"},
                                         TSettingCase{"/home/anna/woche.crf",
                                                      "/home/anna/woche.crf"}),
                         [](const testing::TestParamInfo<TSettingCase>& Info) {
                           return "Case" + std::to_string(Info.index);
                         });

TEST(StartSwitch, MatchesSlashStartInAnyCaseOnly) {
  EXPECT_TRUE(IsStartSwitch("/start"));
  EXPECT_TRUE(IsStartSwitch("/STaRT"));
  EXPECT_FALSE(IsStartSwitch("-start"));
  EXPECT_FALSE(IsStartSwitch("/start "));
  EXPECT_FALSE(IsStartSwitch("/st\xC4rt"));
  EXPECT_FALSE(IsStartSwitch(""));
}

TEST(SettingsFile, LiesBesideAWritableProgramAndElseInTheConfigFolder) {
  const auto Folder =
      std::filesystem::temp_directory_path() / ("chronark-settings-" + std::to_string(::getpid()));
  std::filesystem::create_directories(Folder);
  EXPECT_EQ(SettingsFileNameFor(Folder.string() + "/chronark"), Folder.string() + "/chronark.ini");
  std::filesystem::remove_all(Folder);

  ::setenv("XDG_CONFIG_HOME", "/tmp/xdg-test", 1);
  // A folder nobody may write: it does not exist.
  EXPECT_EQ(SettingsFileNameFor("/nonexistent/chronark/chronark"),
            "/tmp/xdg-test/chronark/chronark.ini");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/anna", 1);
  EXPECT_EQ(SettingsFileNameFor("/nonexistent/chronark/chronark"),
            "/home/anna/.config/chronark/chronark.ini");
}

struct TTextCase {
  std::string Stored;  // Windows-1252
  QString Shown;
};

class TextBoundaryTest : public testing::TestWithParam<TTextCase> {};

TEST_P(TextBoundaryTest, ConvertsWithTheFullCodePage) {
  EXPECT_EQ(TextToQt(GetParam().Stored), GetParam().Shown);
  EXPECT_EQ(TextFromQt(GetParam().Shown), GetParam().Stored);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TextBoundaryTest,
    testing::Values(TTextCase{"", ""}, TTextCase{"Gesamt: 1 Std, 2 Min", "Gesamt: 1 Std, 2 Min"},
                    TTextCase{"M\xFCller \xC4rger \xDF", QString::fromUtf8("Müller Ärger ß")},
                    TTextCase{"\x80 \x84\x93 \x9F", QString::fromUtf8("€ „“ Ÿ")},
                    TTextCase{"\x81\x8D", QString(QChar(0x81)) + QChar(0x8D)}),
    [](const testing::TestParamInfo<TTextCase>& Info) {
      return "Case" + std::to_string(Info.index);
    });

TEST(TextBoundary, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  EXPECT_EQ(TextFromQt(QString::fromUtf8("✓ 日本")), "? ??");
}

TEST(TrayHint, UsesTheTextBeforeTheBarAndAtMost63Characters) {
  EXPECT_EQ(TRxTrayIcon::TipOf("Chronark"), "Chronark");
  EXPECT_EQ(TRxTrayIcon::TipOf("Chronark|l\u00e4uft"), "Chronark");
  EXPECT_EQ(TRxTrayIcon::TipOf(QString(70, u'x')), QString(63, u'x'));
  EXPECT_EQ(TRxTrayIcon::TipOf("|"), "");
}

}  // namespace
}  // namespace chronark
