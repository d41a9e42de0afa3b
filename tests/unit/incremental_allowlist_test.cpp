#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/incremental_allowlist.h"
#include "log/log.h"

namespace rr {
namespace {

struct Case {
    const wchar_t* path;
    bool allowed;
    const wchar_t* reason;
};

void ExpectCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        PathPolicyDecision decision;
        decision.allowed = !c.allowed;
        decision.reason = L"stale";
        bool result = ClassifyIncrementalPath(c.path, decision);
        std::string label = Utf16ToUtf8(c.path);
        EXPECT_EQ(result, c.allowed) << label;
        EXPECT_EQ(decision.allowed, c.allowed) << label;
        EXPECT_EQ(Utf16ToUtf8(decision.reason), Utf16ToUtf8(c.reason)) << label;
    }
}

TEST(ClassifyIncrementalPath, EmptyAndTraversal) {
    ExpectCases({
        {L"", false, L"empty-path"},
        {L"a\\..\\Main.exe", false, L"path-traversal"},
        {L"Data/World1/../../x.att", false, L"path-traversal"},
        {L"..", false, L"path-traversal"},
        // Validation would stop at the doubled separator or the dot segment
        // first; the ".." must still never reach an allowing rule.
        {L"Data\\World1\\\\..\\x.att", false, L"path-traversal"},
        {L"Data\\World1\\.\\..\\..\\x.att", false, L"path-traversal"},
    });
}

TEST(ClassifyIncrementalPath, MainExecutableOnlyAtTheRoot) {
    ExpectCases({
        {L"Main.exe", true, L"allowed-main-exe"},
        {L"MAIN.EXE", true, L"allowed-main-exe"},
        {L"main.exe", true, L"allowed-main-exe"},
        {L"Data\\Main.exe", false, L"blocked-exe"},
        {L"Data/Main.exe", false, L"blocked-exe"},
        {L"Tool.exe", false, L"blocked-exe"},
        {L"main", false, L"blocked-filename:main"},
        {L"Data\\Main", false, L"blocked-filename:main"},
    });
}

TEST(ClassifyIncrementalPath, BlockedFoldersComeFirstAndMatchAnySegment) {
    ExpectCases({
        {L"Logs\\Main.exe", false, L"blocked-directory:logs"},
        {L"Data\\debug", false, L"blocked-directory:debug"},
        {L"Data\\World1\\Release\\a.att", false, L"blocked-directory:release"},
        {L"ScreenShots\\a.jpg", false, L"blocked-directory:screenshots"},
        {L"_backup_update\\Main.exe", false, L"blocked-directory:_backup_update"},
        {L"Data\\.GIT\\config", false, L"blocked-directory:.git"},
        {L"Data\\Objects\\obj\\a.bmd", false, L"blocked-directory:obj"},
        {L"_Update_Publish\\x", false, L"blocked-directory:_update_publish"},
        {L".vs", false, L"blocked-directory:.vs"},
    });
}

TEST(ClassifyIncrementalPath, BlockedFileNamesAtAnyDepth) {
    ExpectCases({
        {L"config.ini", false, L"blocked-filename:config.ini"},
        {L"Data\\Local\\config.ini", false, L"blocked-filename:config.ini"},
        {L"RiveRoravav.exe", false, L"blocked-filename:riveroravav.exe"},
        {L"Data\\Local\\LauncherUpdate.ini", false, L"blocked-filename:launcherupdate.ini"},
        {L"FTP.ini", false, L"blocked-filename:ftp.ini"},
        {L"Data\\Local\\LauncherLinks.ini", true, L"allowed-runtime-base"},
    });
}

TEST(ClassifyIncrementalPath, ExactRootFiles) {
    ExpectCases({
        {L"gkwclient.dll", true, L"allowed-root-anticheat-dll"},
        {L"GkwVerify.DLL", true, L"allowed-root-anticheat-dll"},
        {L"Data\\gkwclient.dll", false, L"blocked-dll"},
        {L"ah.emu", true, L"allowed-root-ah-emu"},
        {L"Data\\ah.emu", false, L"not-in-incremental-allowlist"},
        {L"Hexmantle.CFG", true, L"allowed-root-hexmantle"},
        {L"hexmantle.dll", true, L"allowed-root-hexmantle"},
        {L"other.dll", false, L"blocked-dll"},
    });
}

// The two Spanish folder names, with the small accented letters written out.
const std::wstring kSupport = L"librer\u00eda si no abre el main\\";
const std::wstring kResolution = L"opciones de resoluci\u00f3n-sonido\\";

TEST(ClassifyIncrementalPath, PassiveSupportAndResolutionFolders) {
    std::vector<std::wstring> paths = {
        kSupport + L"vc2010_x86.exe",
        kSupport + L"Visual C++ 2015-2022.exe",
        kSupport + L"ejecutar ambos y reincia el pc.txt",
        L"Librer\u00eda si no abre el Main/VC_REDIST.X64.exe",
        kResolution + L"1920x1080.reg",
        kResolution + L"_modo ventana.reg",
        L"Opciones de resoluci\u00f3n-sonido\\LangSpanish.reg",
        L"opciones de resoluci\u00f3n-sonido_pantalla completa.reg",
        L"opciones de resoluci\u00f3n-sonido_activar sonido y musica.reg",
    };
    for (size_t i = 0; i < paths.size(); ++i) {
        const wchar_t* reason =
            i < 4 ? L"allowed-passive-support-extra" : L"allowed-passive-resolution-reg";
        ExpectCases({{paths[i].c_str(), true, reason}});
    }

    // Capital accented letters (U+00CD, U+00D3) are not folded, and the
    // unaccented spelling is another folder.
    std::wstring capitalSupport = L"librer\u00cdA si no abre el main\\vc2010_x86.exe";
    std::wstring capitalResolution = L"opciones de resoluci\u00d3n-sonido\\1920x1080.reg";
    std::wstring unaccented = L"opciones de resolucion-sonido\\1920x1080.reg";
    std::wstring unlisted = kResolution + L"2560x1440.reg";
    std::wstring separatorNotUnderscore = kResolution + L"activar sonido y musica.reg";
    std::wstring rootWithoutFolder = L"opciones de resoluci\u00f3n-sonido_1920x1080.reg";
    ExpectCases({
        {capitalSupport.c_str(), false, L"blocked-exe"},
        {capitalResolution.c_str(), false, L"not-in-incremental-allowlist"},
        {unaccented.c_str(), false, L"not-in-incremental-allowlist"},
        {unlisted.c_str(), false, L"not-in-incremental-allowlist"},
        {separatorNotUnderscore.c_str(), false, L"not-in-incremental-allowlist"},
        {rootWithoutFolder.c_str(), false, L"not-in-incremental-allowlist"},
        {L"x.reg", false, L"not-in-incremental-allowlist"},
        {L"1920x1080.reg", false, L"not-in-incremental-allowlist"},
    });
    std::wstring unlistedExe = kSupport + L"setup.exe";
    ExpectCases({{unlistedExe.c_str(), false, L"blocked-exe"}});
}

TEST(ClassifyIncrementalPath, MapAndObjectFilesOnlyInNumberedWorldFolders) {
    ExpectCases({
        {L"Data\\World1\\Terrain1.map", true, L"allowed-runtime-world-map"},
        {L"data/world07/deep/x.MAP", true, L"allowed-runtime-world-map"},
        {L"Data\\Terrain.map", false, L"blocked-map-path"},
        {L"Data\\WorldX\\a.map", false, L"blocked-map-path"},
        {L"Data\\World\\a.map", false, L"blocked-map-path"},
        {L"Data\\World1x\\a.map", false, L"blocked-map-path"},
        {L"Data\\Object1\\a.map", false, L"blocked-map-path"},
        {L"Data\\World12\\sub\\a.obj", true, L"allowed-runtime-world-obj"},
        {L"Data\\Objects\\a.obj", false, L"blocked-extension:.obj"},
        {L"Data\\Object3\\a.obj", false, L"blocked-extension:.obj"},
    });
}

TEST(ClassifyIncrementalPath, BlockedExtensionsReportTheFoldedExtension) {
    ExpectCases({
        {L"Data\\World1\\a.PDB", false, L"blocked-extension:.pdb"},
        {L"Data\\Interface\\x.psd", false, L"blocked-extension:.psd"},
        {L"Data\\Local\\mix.bmd.bak", false, L"blocked-extension:.bak"},
        {L"Data\\Scripts\\a.h", false, L"blocked-extension:.h"},
        {L"Data\\Objects\\x.Targets", false, L"blocked-extension:.targets"},
        {L"notes.log", false, L"blocked-extension:.log"},
    });
}

TEST(ClassifyIncrementalPath, RuntimeBaseFilesAndScripts) {
    ExpectCases({
        {L"Data\\av-code45.pak", true, L"allowed-runtime-base"},
        {L"DATA/LOCAL/CONNECT.MSIL", true, L"allowed-runtime-base"},
        {L"Data\\Local\\mix.bmd", true, L"allowed-runtime-base"},
        {L"Data\\Scripts\\ai\\boss.lua", true, L"allowed-runtime-base"},
        {L"Data\\Scripts\\main.lua", true, L"allowed-runtime-base"},
        {L"Data\\Scripts\\boss.txt", false, L"not-in-incremental-allowlist"},
        {L"Data\\Local\\other.msil", false, L"not-in-incremental-allowlist"},
        {L"Data\\boss.lua", false, L"not-in-incremental-allowlist"},
    });
}

TEST(ClassifyIncrementalPath, AssetFoldersDirectChildrenWithListedExtensions) {
    ExpectCases({
        {L"Data\\Interface\\Launcher\\bg.png", true, L"allowed-launcher-asset"},
        {L"Data\\Interface\\Launcher\\bg.ozb", true, L"allowed-launcher-asset"},
        // Not a launcher extension, but an interface one would not match
        // either: a launcher file is not a direct child of Interface.
        {L"Data\\Interface\\Launcher\\x.bmd", false, L"not-in-incremental-allowlist"},
        {L"Data\\Interface\\x.ozt", true, L"allowed-interface-asset"},
        {L"Data\\Interface\\x.png", false, L"not-in-incremental-allowlist"},
        {L"Data\\Interface\\sub\\x.ozt", false, L"not-in-incremental-allowlist"},
        {L"Data\\Item\\Texture\\a.jpg", true, L"allowed-item-asset"},
        {L"Data\\Item\\Texture\\a.bmd", false, L"not-in-incremental-allowlist"},
        {L"Data\\Item\\a.jpg", false, L"not-in-incremental-allowlist"},
        {L"Data\\Item\\a.bmd", true, L"allowed-item-asset"},
        {L"Data\\Monster\\m.ozj", true, L"allowed-monster-asset"},
        {L"Data\\Monster\\sub\\m.ozj", false, L"not-in-incremental-allowlist"},
        {L"Data\\Skill\\s.BMD", true, L"allowed-skill-asset"},
        {L"Data\\Skill\\s.tga", false, L"not-in-incremental-allowlist"},
    });
}

TEST(ClassifyIncrementalPath, LanguageFilesAndMapObjectFolders) {
    ExpectCases({
        {L"Data\\Local\\Eng\\ItemTooltip.bmd", true, L"allowed-local-language-bmd"},
        {L"data\\local\\spn\\text.bmd", true, L"allowed-local-language-bmd"},
        {L"Data\\Local\\Ger\\Text.bmd", false, L"not-in-incremental-allowlist"},
        {L"Data\\Local\\Eng\\Other.bmd", false, L"not-in-incremental-allowlist"},
        {L"Data\\World3\\x.att", true, L"allowed-runtime-map-object"},
        {L"Data\\Object7\\y.bmd", true, L"allowed-runtime-map-object"},
        {L"Data\\Objects\\deep\\z.bmd", true, L"allowed-runtime-map-object"},
        {L"Data\\Object\\y.bmd", false, L"not-in-incremental-allowlist"},
        {L"Data\\Objects", false, L"not-in-incremental-allowlist"},
        {L"Data\\World3", false, L"not-in-incremental-allowlist"},
        {L"Data\\Unknown\\a.bmd", false, L"not-in-incremental-allowlist"},
        {L"readme.txt", false, L"not-in-incremental-allowlist"},
    });
}

TEST(ClassifyIncrementalPath, OnlyAsciiDigitsNumberAFolder) {
    // Superscript two, Arabic-Indic one, fullwidth one.
    std::wstring superscript = L"Data\\World\u00b2\\a.att";
    std::wstring arabic = L"Data\\Object\u0661\\a.att";
    std::wstring fullwidth = L"Data\\World\uff11\\a.map";
    ExpectCases({
        {superscript.c_str(), false, L"not-in-incremental-allowlist"},
        {arabic.c_str(), false, L"not-in-incremental-allowlist"},
        {fullwidth.c_str(), false, L"blocked-map-path"},
    });
}

TEST(IncrementalPathHelpers, NamesExtensionsAndFolders) {
    EXPECT_EQ(PathFileName(L"a\\b\\c.txt"), L"c.txt");
    EXPECT_EQ(PathFileName(L"c.txt"), L"c.txt");
    EXPECT_EQ(PathFileName(L"a\\"), L"");
    EXPECT_EQ(PathExtension(L"a.b\\c"), L"");
    EXPECT_EQ(PathExtension(L"a\\c.tar.gz"), L".gz");
    EXPECT_EQ(PathExtension(L"a\\.hidden"), L".hidden");

    EXPECT_TRUE(IsDirectChildOf(L"data\\item\\a.bmd", L"data\\item\\"));
    EXPECT_FALSE(IsDirectChildOf(L"data\\item\\", L"data\\item\\"));
    EXPECT_FALSE(IsDirectChildOf(L"data\\item\\t\\a.bmd", L"data\\item\\"));
    EXPECT_FALSE(IsDirectChildOf(L"data\\itemx\\a.bmd", L"data\\item\\"));

    EXPECT_TRUE(IsNumberedDataFolderPath(L"data\\world10\\a", L"world"));
    EXPECT_FALSE(IsNumberedDataFolderPath(L"data\\world10", L"world"));
    EXPECT_FALSE(IsNumberedDataFolderPath(L"data\\world\\a", L"world"));
    EXPECT_FALSE(IsNumberedDataFolderPath(L"data\\objects\\a", L"object"));

    EXPECT_TRUE(PathEqualsNoCase(L"Data/Local\\X.bmd", L"data\\local\\x.BMD"));
    EXPECT_FALSE(PathEqualsNoCase(L"\u00c1.bmd", L"\u00e1.bmd"));
    EXPECT_TRUE(IsMainExePath(L"mAiN.eXe"));
    EXPECT_FALSE(IsMainExePath(L"\\Main.exe"));

    std::wstring reason = L"unchanged";
    EXPECT_FALSE(FindBlockedDirectorySegment(L"Data\\Logsx\\a", reason));
    EXPECT_EQ(reason, L"unchanged");
    EXPECT_TRUE(FindBlockedDirectorySegment(L"Data/DEBUG/Logs/a", reason));
    EXPECT_EQ(reason, L"blocked-directory:debug");
}

}  // namespace
}  // namespace rr
