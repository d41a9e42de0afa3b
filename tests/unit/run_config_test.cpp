#include <gtest/gtest.h>

#include "app/run_config.h"
#include "platform/system.h"

namespace rr {
namespace {

RunConfig Parse(std::vector<std::wstring> words) {
    words.insert(words.begin(), L"RiveRoravav.exe");
    return ParseArguments(words);
}

TEST(ParseArguments, DefaultsWithoutArguments) {
    RunConfig c = ParseArguments({L"RiveRoravav.exe"});
    EXPECT_EQ(c.mainExe, L"Main.exe");
    EXPECT_EQ(c.mode, L"update");
    EXPECT_EQ(c.mainPid, 0u);
    EXPECT_TRUE(c.clientDir.empty());
    EXPECT_TRUE(c.manifestUrl.empty());
    EXPECT_TRUE(c.fullManifestUrl.empty());
    EXPECT_TRUE(c.packageUrl.empty());
    EXPECT_FALSE(c.quarantineExtras);
    RunConfig none = ParseArguments({});
    EXPECT_EQ(none.mode, L"update");
}

TEST(ParseArguments, EveryOptionFillsItsField) {
    RunConfig c = Parse({L"--client-dir",
                         L"C:\\G",
                         L"--main-exe",
                         L"Game.exe",
                         L"--main-pid",
                         L"42",
                         L"--manifest-url",
                         L"u1",
                         L"--fallback-manifest-url",
                         L"u2",
                         L"--full-manifest-url",
                         L"u3",
                         L"--fallback-full-manifest-url",
                         L"u4",
                         L"--mode",
                         L"repair-dry-run",
                         L"--package-url",
                         L"p1",
                         L"--package-sha256",
                         L"p2",
                         L"--package-size",
                         L"p3",
                         L"--package-version",
                         L"p4",
                         L"--quarantine-extras"});
    EXPECT_EQ(c.clientDir, L"C:\\G");
    EXPECT_EQ(c.mainExe, L"Game.exe");
    EXPECT_EQ(c.mainPid, 42u);
    EXPECT_EQ(c.manifestUrl, L"u1");
    EXPECT_EQ(c.fallbackManifestUrl, L"u2");
    EXPECT_EQ(c.fullManifestUrl, L"u3");
    EXPECT_EQ(c.fallbackFullManifestUrl, L"u4");
    EXPECT_EQ(c.mode, L"repair-dry-run");
    EXPECT_EQ(c.packageUrl, L"p1");
    EXPECT_EQ(c.packageSha256, L"p2");
    EXPECT_EQ(c.packageSize, L"p3");
    EXPECT_EQ(c.packageVersion, L"p4");
    EXPECT_TRUE(c.quarantineExtras);
}

TEST(ParseArguments, MatchingRules) {
    EXPECT_EQ(Parse({L"--MODE", L"full-client"}).mode, L"update") << "names are case-sensitive";
    EXPECT_EQ(Parse({L"--mode", L"Full-Client"}).mode, L"Full-Client") << "values kept as written";
    EXPECT_TRUE(Parse({L"--quarantine-extras"}).quarantineExtras);
    EXPECT_EQ(Parse({L"--mode"}).mode, L"update") << "an option without its value changes nothing";
    EXPECT_EQ(Parse({L"--manifest-url", L"a", L"--manifest-url", L"b"}).manifestUrl, L"b");
    EXPECT_EQ(Parse({L"--client-dir", L"--mode", L"x"}).clientDir, L"--mode");
    EXPECT_EQ(Parse({L"--client-dir", L"--mode", L"x"}).mode, L"update");
    EXPECT_EQ(Parse({L"--mode=repair-dry-run"}).mode, L"update");
    EXPECT_EQ(Parse({L"stray", L"--mode", L"full-client"}).mode, L"full-client");
    EXPECT_EQ(Parse({L"--manifest-url", L""}).manifestUrl, L"");
    RunConfig flagLast = Parse({L"--mode", L"full-client-apply", L"--quarantine-extras"});
    EXPECT_TRUE(flagLast.quarantineExtras);
    EXPECT_EQ(flagLast.mode, L"full-client-apply");
}

TEST(ParseProcessId, ConvertsLikeTheCLibrary) {
    EXPECT_EQ(ParseProcessId(L"12ab"), 12u);
    EXPECT_EQ(ParseProcessId(L"abc"), 0u);
    EXPECT_EQ(ParseProcessId(L"  \t+77"), 77u);
    EXPECT_EQ(ParseProcessId(L""), 0u);
    EXPECT_EQ(ParseProcessId(L"-1"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseProcessId(L"99999999999999999999"), 2147483647u);
    EXPECT_EQ(ParseProcessId(L"4294967295"), 2147483647u);
}

TEST(ClientDir, DefaultIsTheUpdatersFolder) {
    EXPECT_EQ(DefaultClientDir(L"C:\\Games\\Client\\RiveRoravav.exe"), L"C:\\Games\\Client");
    EXPECT_EQ(DefaultClientDir(L"C:/Games/RiveRoravav.exe"), L"C:/Games");
    EXPECT_EQ(DefaultClientDir(L"RiveRoravav.exe"), L"RiveRoravav.exe");
}

TEST(ClientDir, NormalizedAndExpectedMainPath) {
    RunConfig c = Parse({L"--client-dir", L"C:/Games/Client/"});
    CompleteClientDir(c, L"C:\\Elsewhere\\RiveRoravav.exe");
    std::wstring expected = ExpectedMainPath(c.clientDir, c.mainExe);
    if (platform::FileSystemIgnoresCase()) {
        EXPECT_EQ(c.clientDir, L"c:\\games\\client");
        EXPECT_EQ(expected, L"c:\\games\\client\\main.exe");
    } else {
        // A case-sensitive file system keeps the folder's letter case.
        EXPECT_EQ(c.clientDir, L"C:\\Games\\Client");
        EXPECT_EQ(expected, L"C:\\Games\\Client\\Main.exe");
    }
}

TEST(ClientDir, EmptyClientDirTakesTheModuleFolder) {
    RunConfig c = Parse({});
    CompleteClientDir(c, L"C:\\Games\\MyClient\\RiveRoravav.exe");
    EXPECT_EQ(c.clientDir,
              platform::FileSystemIgnoresCase() ? L"c:\\games\\myclient" : L"C:\\Games\\MyClient");
}

}  // namespace
}  // namespace rr
