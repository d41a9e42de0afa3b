#include <gtest/gtest.h>

#include "log/log.h"
#include "platform/system.h"
#include "dry_run/repair_dry_run.h"
#include "test_support.h"
#include "recording_display.h"
#include "ui/progress.h"

namespace rr {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// SHA-256 of "abc" and of the empty input.
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

class DryRunTest : public ::testing::Test {
  protected:
    static ManifestFile Entry(const std::wstring& path, const std::string& sha) {
        ManifestFile f;
        f.path = path;
        f.url = path;
        f.sha256 = sha;
        return f;
    }
    std::string Report() { return ReadFile(dir.native() / "Logs" / "RepairDryRun.log"); }
    static bool Has(const std::string& log, const std::string& line) {
        return log.find("] " + line + "\r\n") != std::string::npos;
    }

    TempDir dir;
    LogScope logScope{dir.core()};
    test::RecordingDisplay recorder;
};

TEST_F(DryRunTest, ReportsEachVerdictAndChangesNothing) {
    WriteFile(dir.native() / "Data" / "ok.bmd", "abc");
    // Letter case may differ only where the file system ignores it.
    WriteFile(platform::FileSystemIgnoresCase() ? dir.native() / "data" / "local" / "text.bmd"
                                                : dir.native() / "Data" / "Local" / "Text.bmd",
              "abc");
    WriteFile(dir.native() / "Data" / "diff.bmd", "abd");
    WriteFile(dir.native() / "Data" / "extra.bmd", "x");
    WriteFile(dir.native() / "Data" / "x.dll", "dll");
    WriteFile(dir.native() / "Data" / "Local" / "config.ini", "cfg");
    WriteFile(dir.native() / "Data" / "y.log", "log");
    WriteFile(dir.native() / "Data" / "short.bmd", "abc");
    fs::create_directories(dir.native() / "Data" / "folder.bmd");
    Manifest m;
    m.version = L"1.0";
    std::string upper = kAbc;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    m.files = {Entry(L"Data/ok.bmd", upper),
               Entry(L"Data/Local/Text.bmd", kAbc),
               Entry(L"Data\\diff.bmd", kAbc),
               Entry(L"Data\\missing.bmd", kAbc),
               Entry(L"Data\\folder.bmd", kAbc),
               Entry(L"..\\escape.bmd", kAbc),
               Entry(L"Data\\short.bmd", kAbc.substr(1)),
               Entry(L"config.ini", kEmpty)};
    RepairDryRunCounts c = ReportRepairDryRun(dir.core(), m);
    EXPECT_EQ(c.ok, 2u);
    EXPECT_EQ(c.missing, 3u) << "missing file, folder in its place, absent config.ini";
    EXPECT_EQ(c.different, 1u);
    EXPECT_EQ(c.blocked, 2u);
    EXPECT_EQ(c.extra, 2u) << "extra.bmd and the 63-digit entry's file";
    std::string log = Report();
    EXPECT_TRUE(Has(log, "OK: Data\\ok.bmd"));
    EXPECT_TRUE(Has(log, "OK: Data\\Local\\Text.bmd"));
    EXPECT_TRUE(Has(log, "DIFFERENT: Data\\diff.bmd"));
    EXPECT_TRUE(Has(log, "MISSING: Data\\missing.bmd"));
    EXPECT_TRUE(Has(log, "MISSING: Data\\folder.bmd"));
    EXPECT_TRUE(Has(log, "BLOCKED unsafe manifest path: ..\\escape.bmd") &&
                Has(log, "blocked traversal segment: ..\\escape.bmd"));
    EXPECT_TRUE(Has(log, "BLOCKED invalid SHA256 for manifest path: Data\\short.bmd"));
    EXPECT_TRUE(Has(log, "EXTRA: Data\\extra.bmd"));
    EXPECT_TRUE(Has(log, "EXTRA: Data\\short.bmd"));
    EXPECT_EQ(log.find("EXTRA: Data\\x.dll"), std::string::npos);
    EXPECT_TRUE(Has(log, "MISSING: config.ini")) << "listed files are checked even when preserved";
    EXPECT_EQ(log.find("EXTRA: Data\\Local\\config.ini"), std::string::npos);
    EXPECT_EQ(log.find("EXTRA: Data\\y.log"), std::string::npos);
    EXPECT_TRUE(Has(log, "blocked count: 2"));
    EXPECT_TRUE(Has(log, "Managed roots:"));
    EXPECT_TRUE(Has(log, " - Data\\"));
    EXPECT_EQ(ReadFile(dir.native() / "Data" / "diff.bmd"), "abd");
}

TEST_F(DryRunTest, ManagedRootsAreFilteredAndDeduplicated) {
    Manifest m;
    m.managedRoots = {L"Data\\Local", L"data/local/", L"Logs", L"..\\x", L"Database"};
    std::vector<std::wstring> roots = BuildManagedRoots(m);
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0], L"Data\\Local");
    std::string log = ReadFile(dir.native() / "Logs" / "RepairDryRun.log");
    EXPECT_TRUE(Has(log, "Ignored unmanaged root outside safe repair scope: Logs"));
    EXPECT_TRUE(Has(log, "Ignored unsafe managedRoot: ..\\x"));
    EXPECT_TRUE(Has(log, "blocked traversal segment: ..\\x"));
    EXPECT_TRUE(Has(log, "Ignored unmanaged root outside safe repair scope: Database"));

    Manifest onlyIgnored;
    onlyIgnored.managedRoots = {L"Logs"};
    EXPECT_TRUE(BuildManagedRoots(onlyIgnored).empty()) << "Data\\ applies only to an empty list";
    EXPECT_EQ(BuildManagedRoots(Manifest{}), std::vector<std::wstring>{L"Data\\"});
}

TEST_F(DryRunTest, ProgressValuesOfFilesAndRoots) {
    Manifest m;
    for (int i = 0; i < 4; ++i) {
        m.files.push_back(Entry(L"Data\\f" + std::to_wstring(i), kAbc));
    }
    m.managedRoots = {L"Data\\A", L"Data\\B"};
    ReportRepairDryRun(dir.core(), m);
    std::vector<int> expected = {120, 260, 400, 540, 700, 810, 810, 920};
    EXPECT_EQ(recorder.Permilles(), expected);
}

TEST_F(DryRunTest, PreservedAndManifestRulesNeverExtra) {
    WriteFile(dir.native() / "Data" / "Custom" / "x.bmd", "1");
    WriteFile(dir.native() / "Data" / "CustomX.bmd", "1");
    Manifest m;
    m.preserve = {L"Data/Custom/"};
    m.files = {Entry(L"Data\\a.bmd", kAbc)};
    RepairDryRunCounts c = ReportRepairDryRun(dir.core(), m);
    EXPECT_EQ(c.extra, 1u);
    EXPECT_TRUE(Has(Report(), "EXTRA: Data\\CustomX.bmd"));
}

TEST_F(DryRunTest, DirectoryLinksAreNotEntered) {
    WriteFile(dir.native() / "Outside" / "secret.bmd", "s");
    fs::create_directories(dir.native() / "Data");
    std::error_code ec;
    fs::create_directory_symlink(dir.native() / "Outside", dir.native() / "Data" / "Link", ec);
    if (ec) {
        GTEST_SKIP() << "links cannot be created here: " << ec.message();
    }
    // A cycle: a link back to its own parent.
    fs::create_directory_symlink(dir.native() / "Data", dir.native() / "Data" / "Loop", ec);
    ASSERT_FALSE(ec);
    Manifest m;
    m.files = {Entry(L"Data\\a.bmd", kAbc)};
    RepairDryRunCounts c = ReportRepairDryRun(dir.core(), m);
    EXPECT_EQ(c.extra, 0u);
    EXPECT_EQ(Report().find("secret.bmd"), std::string::npos);
}

}  // namespace
}  // namespace rr
