#include <gtest/gtest.h>

#include "base/path.h"

namespace rr {
namespace {

std::wstring Reason(const std::wstring& input) {
    std::wstring normalized = L"junk";
    std::wstring reason;
    bool ok = ValidateRelativePath(input, normalized, &reason);
    if (ok) {
        EXPECT_TRUE(reason.empty());
        return L"OK:" + normalized;
    }
    EXPECT_TRUE(normalized.empty()) << "a refused path leaves no normalized form";
    return reason;
}

TEST(ValidateRelativePath, RefusesEachUnsafeFormWithItsReason) {
    EXPECT_EQ(Reason(L""), L"blocked empty path");
    EXPECT_EQ(Reason(L"\\a"), L"blocked absolute path");
    EXPECT_EQ(Reason(L"/a"), L"blocked absolute path");
    EXPECT_EQ(Reason(L"C:"), L"blocked absolute path");
    EXPECT_EQ(Reason(L"C:a"), L"blocked absolute path");
    EXPECT_EQ(Reason(L"C:\\x"), L"blocked absolute path");
    // A colon in the second position is the drive form, whatever letter precedes it.
    EXPECT_EQ(Reason(L"a:b"), L"blocked absolute path");
    EXPECT_EQ(Reason(L"ab:c"), L"blocked invalid path character");
    EXPECT_EQ(Reason(L"file.txt:stream"), L"blocked invalid path character");
    EXPECT_EQ(Reason(L"a//b"), L"blocked empty path segment");
    EXPECT_EQ(Reason(L"a\\\\b"), L"blocked empty path segment");
    EXPECT_EQ(Reason(L"a/\\b"), L"blocked empty path segment");
    EXPECT_EQ(Reason(L"./a"), L"blocked dot path segment");
    EXPECT_EQ(Reason(L"a/./b"), L"blocked dot path segment");
    EXPECT_EQ(Reason(L"a/."), L"blocked dot path segment");
    EXPECT_EQ(Reason(L"a/../b"), L"blocked traversal segment");
    EXPECT_EQ(Reason(L".."), L"blocked traversal segment");
    EXPECT_EQ(Reason(L"a\\.."), L"blocked traversal segment");
    for (const wchar_t* bad : {L"a\tb", L"a*b", L"a?b", L"a<b", L"a>b", L"a|b", L"a\"b"}) {
        EXPECT_EQ(Reason(bad), L"blocked invalid path character") << bad;
    }
    EXPECT_EQ(Reason(std::wstring(L"a\0b", 3)), L"blocked invalid path character");
}

// Names Win32 would not write as given: trailing dots and spaces are dropped,
// device names open the device whatever their extension or letter case.
TEST(ValidateRelativePath, RefusesNamesWin32WouldAlter) {
    const std::wstring dot = L"blocked trailing dot or space";
    const std::wstring device = L"blocked device name";
    const struct {
        const wchar_t* input;
        std::wstring expected;
    } cases[] = {
        {L"x.dll.", dot},
        {L"x.exe ", dot},
        {L"sub./y", dot},
        {L"Data/sub /y", dot},
        {L"...", dot},
        {L"CON", device},
        {L"Data/con.txt", device},
        {L"nul.tar.gz", device},
        {L"Aux/x", device},
        {L"pRn", device},
        {L"COM1.att", device},
        {L"com0", device},
        {L"LPT9.log", device},
        {L"conin$", device},
        {L"CONOUT$.x", device},
        {L"con .txt", device},
        {L"COM\u00b9", device},
        {L"lpt\u00b2.txt", device},
        {L"Com\u00b3", device},
        // Near misses stay ordinary names.
        {L"console.txt", L"OK:console.txt"},
        {L"com10", L"OK:com10"},
        {L"lpt", L"OK:lpt"},
        {L"comx", L"OK:comx"},
        {L"com\u00b4", L"OK:com\u00b4"},
        {L"xcon", L"OK:xcon"},
        {L"conin", L"OK:conin"},
        {L".con", L"OK:.con"},
        {L"a.b", L"OK:a.b"},
        {L"a .b", L"OK:a .b"},
        {L"Data/nul_x.bmd", L"OK:Data\\nul_x.bmd"},
        // Faults found by the earlier steps keep their own reasons.
        {L"x./../y", L"blocked traversal segment"},
        {L"con/./y", L"blocked dot path segment"},
        {L"nul//y", L"blocked empty path segment"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Reason(c.input), c.expected) << c.input;
    }
}

TEST(ValidateRelativePath, AcceptsOrdinaryNamesAndNormalizesSeparators) {
    EXPECT_EQ(Reason(L"a/"), L"OK:a\\");
    EXPECT_EQ(Reason(L"Data/Local/Text.bmd"), L"OK:Data\\Local\\Text.bmd");
    EXPECT_EQ(Reason(L"a..b"), L"OK:a..b");
    EXPECT_EQ(Reason(L"Opciones de resoluci\u00f3n-sonido/x.reg"),
              L"OK:Opciones de resoluci\u00f3n-sonido\\x.reg");
    std::wstring normalized;
    EXPECT_TRUE(ValidateRelativePath(L"x/y", normalized));  // no reason string wanted
    EXPECT_EQ(normalized, L"x\\y");
}

TEST(HasDoubleDotName, FindsDoubleDotsInsideNamesOnly) {
    EXPECT_TRUE(HasDoubleDotName(L"a\\b..c"));
    EXPECT_TRUE(HasDoubleDotName(L"x\\..."));
    EXPECT_FALSE(HasDoubleDotName(L"a\\..\\b"));
    EXPECT_FALSE(HasDoubleDotName(L"a\\b.c"));
}

TEST(JoinPath, AddsOneSeparatorOnlyWhenNeeded) {
    EXPECT_EQ(JoinPath(L"", L"x"), L"x");
    EXPECT_EQ(JoinPath(L"C:\\Game", L"x"), L"C:\\Game\\x");
    EXPECT_EQ(JoinPath(L"C:\\Game\\", L"x"), L"C:\\Game\\x");
    EXPECT_EQ(JoinPath(L"C:/Game/", L"x"), L"C:/Game/x");
}

TEST(PathCompareKey, FullPathLowerCaseWithoutTrailingSeparator) {
    EXPECT_EQ(PathCompareKey(L"C:/Games/Client/"), L"c:\\games\\client");
    EXPECT_EQ(PathCompareKey(L"C:\\Game\\\\"), L"c:\\game");
    EXPECT_EQ(PathCompareKey(L"C:\\"), L"c:\\");
    EXPECT_EQ(PathCompareKey(L"C:\\Game\\Data\\..\\Main.exe"), L"c:\\game\\main.exe");
    EXPECT_EQ(PathNormalForm(L"C:/Game/Sub/"), L"C:\\Game\\Sub");
}

TEST(IsSamePath, FoldsAsciiOnly) {
    EXPECT_TRUE(IsSamePath(L"C:\\GAME\\MAIN.EXE", L"c:/game/main.exe"));
    EXPECT_FALSE(IsSamePath(L"C:\\Game\\\u00c9t\u00e9", L"C:\\Game\\\u00e9t\u00e9"));
    EXPECT_TRUE(IsSamePath(L"C:\\Game\\\u00e9t\u00e9", L"c:\\GAME\\\u00e9t\u00e9"));
}

TEST(IsPathUnderRoot, ContainmentByWholeSegments) {
    EXPECT_TRUE(IsPathUnderRoot(L"C:\\Game", L"c:\\game\\"));
    EXPECT_TRUE(IsPathUnderRoot(L"C:\\Game\\Data\\x.bmd", L"C:\\Game"));
    EXPECT_FALSE(IsPathUnderRoot(L"C:\\Game2\\x", L"C:\\Game"));
    EXPECT_FALSE(IsPathUnderRoot(L"C:\\Gamex", L"C:\\Game"));
    EXPECT_FALSE(IsPathUnderRoot(L"C:\\Game\\..\\Other", L"C:\\Game"));
    EXPECT_FALSE(IsPathUnderRoot(L"C:\\Game\\Data\\..\\..\\Other\\x", L"C:\\Game"));
    EXPECT_TRUE(IsPathUnderRoot(L"C:\\Game\\Data\\..\\x", L"C:\\Game"));
}

TEST(RelativePathUnderRoot, GivesTheValidRemainderStrictlyBelowTheRoot) {
    std::wstring rel = L"junk";
    EXPECT_TRUE(RelativePathUnderRoot(L"C:\\Game", L"C:\\Game\\Data\\x.bmd", rel));
    EXPECT_EQ(rel, L"Data\\x.bmd");
    EXPECT_TRUE(RelativePathUnderRoot(L"c:\\game", L"C:\\GAME\\Data\\X.bmd", rel));
    EXPECT_EQ(rel, L"Data\\X.bmd") << "the remainder keeps the full path's letter case";
    EXPECT_FALSE(RelativePathUnderRoot(L"C:\\Game", L"C:\\Game", rel));
    EXPECT_TRUE(rel.empty());
    EXPECT_FALSE(RelativePathUnderRoot(L"C:\\Game", L"C:\\Game\\", rel));
    EXPECT_FALSE(RelativePathUnderRoot(L"C:\\Game", L"C:\\Gamex\\a", rel));
    EXPECT_FALSE(RelativePathUnderRoot(L"C:\\Game", L"C:\\Other\\a", rel));
    EXPECT_FALSE(RelativePathUnderRoot(L"C:\\Game\\", L"C:\\Game\\a:b", rel));
}

TEST(ResolveFullPathText, WindowsAndPosixFormsResolveWithoutTheDisk) {
    std::wstring full;
    EXPECT_TRUE(ResolveFullPathText(L"a\\..\\b\\.\\c", L"\\home\\Ana", full));
    EXPECT_EQ(full, L"\\home\\Ana\\b\\c");
    EXPECT_TRUE(ResolveFullPathText(L"..\\..\\..\\x", L"\\home\\Ana", full));
    EXPECT_EQ(full, L"\\x") << "'..' stops at the root";
    EXPECT_TRUE(ResolveFullPathText(L"C:/Game/Sub/../", L"\\home", full));
    EXPECT_EQ(full, L"C:\\Game\\");
    EXPECT_TRUE(ResolveFullPathText(L"D:x", L"\\home", full));
    EXPECT_EQ(full, L"D:\\x");
    EXPECT_TRUE(ResolveFullPathText(L"\\\\srv\\share\\..\\x", L"\\home", full));
    EXPECT_EQ(full, L"\\\\srv\\share\\x");
    EXPECT_TRUE(ResolveFullPathText(L"/tmp//a/", L"\\home", full));
    EXPECT_EQ(full, L"\\tmp\\a\\");
    EXPECT_FALSE(ResolveFullPathText(L"", L"\\home", full));
}

TEST(FoldCase, OnlyAsciiLettersChange) {
    EXPECT_EQ(FoldCase(L"ABC xyz \u00c1\u00d3"), L"abc xyz \u00c1\u00d3");
}

}  // namespace
}  // namespace rr
