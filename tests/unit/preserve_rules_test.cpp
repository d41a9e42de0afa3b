#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/preserve_rules.h"
#include "log/log.h"

namespace rr {
namespace {

TEST(MakeRuleKey, SeparatorsTrailingSlashesAndCase) {
    EXPECT_EQ(MakeRuleKey(L"Logs/Sub/"), L"logs\\sub");
    EXPECT_EQ(MakeRuleKey(L"Data\\Local\\\\"), L"data\\local");
    EXPECT_EQ(MakeRuleKey(L"\\\\"), L"");
    // Only ASCII letters fold; nothing else is normalized.
    EXPECT_EQ(MakeRuleKey(L"\u00c1\\.\\B"), L"\u00c1\\.\\b");
}

TEST(KeyHasExtension, LastDotOfTheWholeKey) {
    EXPECT_TRUE(KeyHasExtension(L"data\\x.dll", L".dll"));
    EXPECT_FALSE(KeyHasExtension(L"data\\x.dll.bak", L".dll"));
    EXPECT_FALSE(KeyHasExtension(L"data\\xdll", L".dll"));
    EXPECT_FALSE(KeyHasExtension(L"data\\x.DLL", L".dll")) << "keys are folded by the caller";
}

TEST(PreserveRuleMatches, FolderRulesAndExactRules) {
    EXPECT_TRUE(PreserveRuleMatches(L"data\\custom", L"Data/Custom/"));
    EXPECT_TRUE(PreserveRuleMatches(L"data\\custom\\x.bmd", L"Data/Custom/"));
    EXPECT_FALSE(PreserveRuleMatches(L"data\\customx.bmd", L"Data/Custom/"));
    EXPECT_TRUE(PreserveRuleMatches(L"data\\x.bmd", L"Data\\x.bmd"));
    EXPECT_FALSE(PreserveRuleMatches(L"data\\x.bmd\\y", L"Data\\x.bmd"));
    EXPECT_FALSE(PreserveRuleMatches(L"data", L"Data\\x.bmd"));
    EXPECT_FALSE(PreserveRuleMatches(L"", L""));
    EXPECT_FALSE(PreserveRuleMatches(L"", L"//"));
    EXPECT_FALSE(PreserveRuleMatches(L"a", L"\\"));
}

TEST(IsRepairPreserved, ManifestRulesComeFirst) {
    std::vector<std::wstring> preserve = {L"Data/Custom/", L"Data\\x.bmd", L"", L"/"};
    EXPECT_TRUE(IsRepairPreserved(L"data\\custom", &preserve));
    EXPECT_TRUE(IsRepairPreserved(L"Data\\Custom\\x.bmd", &preserve));
    EXPECT_FALSE(IsRepairPreserved(L"Data\\CustomX.bmd", &preserve));
    EXPECT_TRUE(IsRepairPreserved(L"Data/X.bmd", &preserve));
    EXPECT_FALSE(IsRepairPreserved(L"Data\\y.bmd", &preserve));
    EXPECT_FALSE(IsRepairPreserved(L"Data\\Custom\\x.bmd", nullptr));
}

TEST(IsRepairPreserved, BuiltInRules) {
    for (const wchar_t* kept :
         {L"Logs\\a.txt", L"ScreenShots\\b.jpg", L"Data\\Local\\config.ini", L"anything.exe",
          L"Data\\x.tmp", L"_update_tmp\\Data\\a.bmd", L"_Backup_Update\\Main.exe",
          L"_full_tmp\\pkg.zip", L"opciones de resolucion-sonido\\800x600.reg",
          L"Data\\Local\\LauncherLinks.INI", L"x.pdb", L"a\\b.ILK", L"Data\\World1\\a.obj",
          L"old.log", L"", L"\\"}) {
        EXPECT_TRUE(IsRepairPreserved(kept, nullptr)) << Utf16ToUtf8(kept);
    }
    std::wstring accented = L"opciones de resoluci\u00f3n-sonido\\800x600.reg";
    for (const std::wstring& reported :
         {std::wstring(L"Logs"), std::wstring(L"Data\\y.bmd"), std::wstring(L"LogsX\\a.txt"),
          std::wstring(L"_full_extract\\a.bmd"), std::wstring(L"_quarantine_update\\a.bmd"),
          std::wstring(L"Data\\config.ini.bak"), std::wstring(L"x.exe.txt"), accented}) {
        EXPECT_FALSE(IsRepairPreserved(reported, nullptr)) << Utf16ToUtf8(reported);
    }
}

TEST(IsFullClientPreserved, BuiltInRules) {
    for (const wchar_t* kept :
         {L"Logs", L"logs\\", L"Data\\Local\\Logs\\z.txt", L"sub\\RiveRoravav.exe", L"Data\\x.dll",
          L"config.ini", L"Data/Local/LauncherLinks.ini", L"_full_extract\\Client\\Main.exe",
          L"_Quarantine_Update", L"ScreenShots\\s.jpg", L"a\\b.log", L"c.TMP", L"",
          L"data/local/enablediagnostics.txt"}) {
        EXPECT_TRUE(IsFullClientPreserved(kept)) << Utf16ToUtf8(kept);
    }
    for (const wchar_t* repaired :
         {L"Data\\Local\\config.ini", L"tool.exe", L"Main.exe", L"Data\\LauncherLinks.ini",
          L"Data\\Local\\LogsX\\a.txt", L"LogsX", L"Data\\x.pdb", L"EnableDiagnostics.txt",
          L"Data\\Local\\EnableDiagnostics.txt.bak"}) {
        EXPECT_FALSE(IsFullClientPreserved(repaired)) << Utf16ToUtf8(repaired);
    }
}

TEST(IsInSafeRepairScope, OnlyDataAndBelow) {
    EXPECT_TRUE(IsInSafeRepairScope(L"Data"));
    EXPECT_TRUE(IsInSafeRepairScope(L"data/"));
    EXPECT_TRUE(IsInSafeRepairScope(L"Data\\Local"));
    EXPECT_FALSE(IsInSafeRepairScope(L"Logs"));
    EXPECT_FALSE(IsInSafeRepairScope(L"Database"));
    EXPECT_FALSE(IsInSafeRepairScope(L""));
    EXPECT_FALSE(IsInSafeRepairScope(L"\\"));
}

TEST(ProtectedFolderKind, ClientRootDataAndProtectedFolders) {
    EXPECT_EQ(ProtectedFolderKind(L""), 1);
    EXPECT_EQ(ProtectedFolderKind(L"Data"), 1);
    EXPECT_EQ(ProtectedFolderKind(L"Data\\"), 1);
    EXPECT_EQ(ProtectedFolderKind(L"Data\\Local"), 2);
    EXPECT_EQ(ProtectedFolderKind(L"Data\\Local\\Logs\\old"), 2);
    EXPECT_EQ(ProtectedFolderKind(L"_Update_Tmp\\x"), 2);
    EXPECT_EQ(ProtectedFolderKind(L"Data\\World1"), 0);
    EXPECT_EQ(ProtectedFolderKind(L"Data\\LocalX"), 0);
    EXPECT_EQ(ProtectedFolderKind(L"LogsOld"), 0);
}

}  // namespace
}  // namespace rr
