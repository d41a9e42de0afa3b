#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#ifdef _WIN32
#include <windows.h>
#endif

#include "base/path.h"
#include "base/text.h"
#include "fs/in_use.h"
#include "log/log.h"
#include "test_support.h"

namespace rr {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class LogTest : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(LogTest, LinesBeforeAScopeGoNowhere) {
    EXPECT_EQ(MainLogPath(), L"") << "no earlier test's logs are left installed";
    LogMain(L"lost");
    const LogScope scope(dir.core());
    EXPECT_FALSE(test::fs::exists(dir.native() / "Logs" / "RiveRoravav.log"));
    EXPECT_TRUE(test::fs::is_directory(dir.native() / "Logs"));
}

// An inner scope takes the lines and the in-use notice over; its end gives
// the outer scope's back, and the last end the notice from before any scope.
TEST_F(LogTest, ScopesNestAndGiveBackWhatWasThereBefore) {
    const InUseNotice before = [](const std::wstring&) {};
    SetInUseNotice(before);
    TempDir inner;
    {
        const LogScope outerScope(dir.core());
        LogMain(L"outer 1");
        {
            const LogScope innerScope(inner.core());
            LogMain(L"inner");
            EXPECT_EQ(MainLogPath(), inner.core(L"Logs\\RiveRoravav.log"));
        }
        LogMain(L"outer 2");
        EXPECT_EQ(MainLogPath(), dir.core(L"Logs\\RiveRoravav.log"));
    }
    LogMain(L"after");
    EXPECT_EQ(MainLogPath(), L"");
    EXPECT_EQ(SetInUseNotice(nullptr), before);
    const std::string outer = ReadFile(dir.native() / "Logs" / "RiveRoravav.log");
    // Each line is the 22 bytes of its time stamp, then the text.
    ASSERT_EQ(outer.size(), 2 * 31u) << outer;
    EXPECT_EQ(outer.substr(22, 9), "outer 1\r\n") << outer;
    EXPECT_EQ(outer.substr(31 + 22), "outer 2\r\n") << outer;
    const std::string innerLog = ReadFile(inner.native() / "Logs" / "RiveRoravav.log");
    ASSERT_EQ(innerLog.size(), 29u) << innerLog;
    EXPECT_EQ(innerLog.substr(22), "inner\r\n") << innerLog;
}

TEST_F(LogTest, LineFormatIsByteExactUtf8WithoutBom) {
    const LogScope scope(dir.core());
    LogMain(L"RiveRoravav V2-C4.3 started");
    LogMain(L"Cierre todas las instancias del juego: actualizaci\u00f3n \u00f1");
    std::string bytes = ReadFile(dir.native() / "Logs" / "RiveRoravav.log");
    std::regex line(
        "\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] RiveRoravav V2-C4\\.3 started\r\n"
        "\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] Cierre todas las instancias del juego: "
        "actualizaci\xC3\xB3n \xC3\xB1\r\n");
    EXPECT_TRUE(std::regex_match(bytes, line)) << bytes;
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes[0], '[') << "no byte-order mark";
}

TEST_F(LogTest, ModeLoggersWriteBothFiles) {
    const LogScope scope(dir.core());
    LogFullClientApply(L"APPLIED: Data\\x.bmd");
    LogRepairDryRun(L"OK: a");
    LogFullClientCompare(L"cmp");
    LogRepairCleanup(L"clean");
    std::string main = ReadFile(dir.native() / "Logs" / "RiveRoravav.log");
    for (const char* text : {"APPLIED: Data\\x.bmd\r\n", "OK: a\r\n", "cmp\r\n", "clean\r\n"}) {
        EXPECT_NE(main.find(text), std::string::npos) << text;
    }
    EXPECT_NE(ReadFile(dir.native() / "Logs" / "FullClientApply.log").find("APPLIED: Data\\x.bmd"),
              std::string::npos);
    EXPECT_EQ(ReadFile(dir.native() / "Logs" / "RepairDryRun.log").size(), 29u);
    EXPECT_NE(ReadFile(dir.native() / "Logs" / "FullClientCompare.log").find("cmp"),
              std::string::npos);
    EXPECT_NE(ReadFile(dir.native() / "Logs" / "RepairCleanup.log").find("clean"),
              std::string::npos);
}

TEST_F(LogTest, ControlCharactersAreEscapedSoTextCannotForgeLines) {
    const LogScope scope(dir.core());
    const wchar_t text[] =
        L"bad\r\nname\0x\x7f\x1b\tC:\\Data\n[2026-01-01 00:00:00] finished successfully";
    LogMain(std::wstring(text, std::size(text) - 1));
    const std::string bytes = ReadFile(dir.native() / "Logs" / "RiveRoravav.log");
    ASSERT_GE(bytes.size(), 22u) << bytes;
    EXPECT_EQ(bytes.substr(22),
              "bad\\r\\nname\\x00x\\x7f\\x1b\\tC:\\Data\\n[2026-01-01 00:00:00] finished "
              "successfully\r\n");
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 1) << "exactly one line";
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\r'), 1);
}

TEST_F(LogTest, AppendsToAnExistingLog) {
    WriteFile(dir.native() / "Logs" / "RiveRoravav.log", "old\r\n");
    const LogScope scope(dir.core());
    LogMain(L"new");
    std::string bytes = ReadFile(dir.native() / "Logs" / "RiveRoravav.log");
    EXPECT_EQ(bytes.substr(0, 5), "old\r\n");
    EXPECT_EQ(bytes.substr(bytes.size() - 5), "new\r\n");
}

TEST_F(LogTest, AnotherWriterOnlyCostsLines) {
    const LogScope scope(dir.core());
    LogMain(L"first");
    const test::fs::path log = dir.native() / "Logs" / "RiveRoravav.log";
#ifdef _WIN32
    // Another process writing the log without sharing it: our open fails and
    // the line is dropped, nothing else happens.
    HANDLE held = ::CreateFileW(log.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    LogMain(L"while held");
    ::CloseHandle(held);
    const char* held_line = "while held";
    const bool held_line_kept = false;
#else
    // POSIX has no share modes: the other writer's bytes and ours both land,
    // each of our lines whole.
    std::ofstream other(log, std::ios::binary | std::ios::app);
    ASSERT_TRUE(other.is_open());
    other << "other\r\n" << std::flush;
    LogMain(L"while held");
    other << "other again\r\n" << std::flush;
    other.close();
    const char* held_line = "] while held\r\n";
    const bool held_line_kept = true;
#endif
    LogMain(L"after");
    const std::string bytes = ReadFile(log);
    EXPECT_EQ(bytes.find("] first\r\n"), 20u) << bytes;
    EXPECT_EQ(bytes.find(held_line) != std::string::npos, held_line_kept) << bytes;
    ASSERT_GE(bytes.size(), 9u);
    EXPECT_EQ(bytes.substr(bytes.size() - 9), "] after\r\n") << bytes;
}

TEST_F(LogTest, PurgeDeletesAllFiveWithoutMarker) {
    const LogScope scope(dir.core());
    LogRepairDryRun(L"a");
    LogFullClientCompare(L"b");
    LogFullClientApply(L"c");
    LogRepairCleanup(L"d");
    WriteFile(dir.native() / "Logs" / "Other.log", "keep");
    PurgeLogsUnlessDiagnostics(dir.core());
    EXPECT_FALSE(test::fs::exists(dir.native() / "Logs" / "RiveRoravav.log"));
    EXPECT_FALSE(test::fs::exists(dir.native() / "Logs" / "RepairDryRun.log"));
    EXPECT_FALSE(test::fs::exists(dir.native() / "Logs" / "FullClientCompare.log"));
    EXPECT_FALSE(test::fs::exists(dir.native() / "Logs" / "FullClientApply.log"));
    EXPECT_FALSE(test::fs::exists(dir.native() / "Logs" / "RepairCleanup.log"));
    EXPECT_TRUE(test::fs::exists(dir.native() / "Logs" / "Other.log"));
}

TEST_F(LogTest, MarkerFileKeepsLogsButMarkerFolderDoesNot) {
    const LogScope scope(dir.core());
    LogMain(L"x");
    WriteFile(dir.native() / "Data" / "Local" / "EnableDiagnostics.txt", "");
    PurgeLogsUnlessDiagnostics(dir.core());
    EXPECT_TRUE(test::fs::exists(dir.native() / "Logs" / "RiveRoravav.log"));

    test::fs::remove(dir.native() / "Data" / "Local" / "EnableDiagnostics.txt");
    test::fs::create_directory(dir.native() / "Data" / "Local" / "EnableDiagnostics.txt");
    PurgeLogsUnlessDiagnostics(dir.core());
    EXPECT_FALSE(test::fs::exists(dir.native() / "Logs" / "RiveRoravav.log"));
}

TEST(TextConversion, RoundTripsAndReplacesInvalidInput) {
    EXPECT_EQ(Utf16ToUtf8(L""), "");
    EXPECT_EQ(Utf8ToUtf16(""), L"");
    EXPECT_EQ(Utf16ToUtf8(L"a\u00f3\u20ac"), "a\xC3\xB3\xE2\x82\xAC");
    EXPECT_EQ(Utf8ToUtf16("a\xC3\xB3\xE2\x82\xAC"), L"a\u00f3\u20ac");
    EXPECT_EQ(Utf16ToUtf8(std::wstring(L"ab\0cd", 5)), "ab") << "cut at the first NUL";
    EXPECT_EQ(Utf8ToUtf16(std::string("ab\0cd", 5)), std::wstring(L"ab\0cd", 5));
    EXPECT_EQ(Utf8ToUtf16("a\xFF"
                          "b"),
              L"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("a\xC3"), L"a\uFFFD");
    std::wstring emoji = Utf8ToUtf16("\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(emoji), "\xF0\x9F\x98\x80");
}

TEST(TextConversion, LoneSurrogateBecomesReplacement) {
    std::wstring lone(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(Utf16ToUtf8(L"a" + lone + L"b"),
              "a\xEF\xBF\xBD"
              "b");
}

}  // namespace
}  // namespace rr
