#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "app/run_config.h"
#include "base/path.h"
#include "fake_http_client.h"
#include "log/log.h"
#include "recording_display.h"
#include "test_support.h"
#include "ui/progress.h"
#include "update/apply_update.h"
#include "update/update_mode.h"

namespace rr {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class ApplyTest : public ::testing::Test {
  protected:
    void SetUp() override { config.clientDir = dir.core(); }
    PreparedFile Stage(const std::wstring& rel, const std::string& bytes) {
        PreparedFile f;
        f.relativePath = rel;
        f.tempPath = JoinPath(StagingRoot(config.clientDir), rel);
        f.destinationPath = JoinPath(config.clientDir, rel);
        f.backupPath = JoinPath(BackupRoot(config.clientDir), rel);
        WriteFile(test::NativePath(f.tempPath), bytes);
        f.destinationExisted = fs::is_regular_file(test::NativePath(f.destinationPath));
        return f;
    }
    std::string Log() { return ReadFile(dir.native() / "Logs" / "RiveRoravav.log"); }

    TempDir dir;
    LogScope logScope{dir.core()};
    RunConfig config;
    test::RecordingDisplay recorder;
};

TEST_F(ApplyTest, ReplacesWithBackupsCreatesNewFilesAndRemovesStaging) {
    WriteFile(dir.native() / "Data" / "Item" / "a.bmd", "old-a");
    WriteFile(dir.native() / "_backup_update" / "Data" / "Item" / "a.bmd", "older backup");
    std::vector<PreparedFile> files = {Stage(L"Data\\Item\\a.bmd", "new-a"),
                                       Stage(L"Data\\New\\Deep\\b.bmd", "new-b")};
    ASSERT_TRUE(ApplyPreparedFiles(config.clientDir, files));
    EXPECT_EQ(ReadFile(dir.native() / "Data" / "Item" / "a.bmd"), "new-a");
    EXPECT_EQ(ReadFile(dir.native() / "Data" / "New" / "Deep" / "b.bmd"), "new-b");
    EXPECT_EQ(ReadFile(dir.native() / "_backup_update" / "Data" / "Item" / "a.bmd"), "old-a")
        << "an older backup is overwritten";
    EXPECT_FALSE(fs::exists(dir.native() / "_backup_update" / "Data" / "New"))
        << "a new file has nothing to back up";
    EXPECT_FALSE(fs::exists(dir.native() / "_update_tmp"));
    std::string log = Log();
    EXPECT_NE(log.find("Updated file: Data\\Item\\a.bmd\r\n"), std::string::npos);
    EXPECT_NE(log.find("Updated file: Data\\New\\Deep\\b.bmd\r\n"), std::string::npos);
    ASSERT_FALSE(recorder.shown.empty());
    EXPECT_EQ(recorder.shown.back().permille, 980);
    EXPECT_EQ(recorder.shown.back().detail, L"Applied file 2 / 2: Data\\New\\Deep\\b.bmd");
    EXPECT_EQ(recorder.shown.front().detail, L"Applying file 1 / 2: Data\\Item\\a.bmd");
    EXPECT_EQ(recorder.shown.front().permille, 820);
}

TEST_F(ApplyTest, EmptyListOnlyDeletesStaging) {
    fs::create_directories(dir.native() / "_update_tmp" / "x");
    EXPECT_TRUE(ApplyPreparedFiles(config.clientDir, {}));
    EXPECT_FALSE(fs::exists(dir.native() / "_update_tmp"));
}

TEST_F(ApplyTest, FailedReplacementRestoresTheFileAndKeepsWorkFolders) {
    WriteFile(dir.native() / "Data" / "Item" / "a.bmd", "old-a");
    WriteFile(dir.native() / "Data" / "Item" / "b.bmd", "old-b");
    std::vector<PreparedFile> files = {Stage(L"Data\\Item\\a.bmd", "new-a"),
                                       Stage(L"Data\\Item\\b.bmd", "new-b")};
#ifdef _WIN32
    // Held open for reading by another handle: Windows refuses any writer.
    HANDLE held =
        ::CreateFileW((dir.native() / "Data" / "Item" / "b.bmd").c_str(), GENERIC_READ,
                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    struct Closer {
        HANDLE h;
        ~Closer() { ::CloseHandle(h); }
    } closer{held};
#else
    // A read-only destination refuses to be overwritten.
    fs::permissions(dir.native() / "Data" / "Item" / "b.bmd", fs::perms::owner_read);
#endif
    EXPECT_FALSE(ApplyPreparedFiles(config.clientDir, files));
    EXPECT_EQ(ReadFile(dir.native() / "Data" / "Item" / "a.bmd"), "new-a")
        << "files before the failure stay applied";
    EXPECT_EQ(ReadFile(dir.native() / "Data" / "Item" / "b.bmd"), "old-b");
    EXPECT_TRUE(fs::exists(dir.native() / "_update_tmp"));
    EXPECT_TRUE(fs::exists(dir.native() / "_backup_update"));
    EXPECT_NE(Log().find("Failed to replace file. error="), std::string::npos);
}

TEST_F(ApplyTest, BackupFolderLinkIsRefusedBeforeAnyChange) {
    fs::create_directories(dir.native() / "Elsewhere");
    std::error_code ec;
    fs::create_directory_symlink(dir.native() / "Elsewhere", dir.native() / "_backup_update", ec);
    if (ec) {
        GTEST_SKIP() << "links cannot be created here: " << ec.message();
    }
    WriteFile(dir.native() / "Data" / "Item" / "a.bmd", "old-a");
    std::vector<PreparedFile> files = {Stage(L"Data\\Item\\a.bmd", "new-a")};
    EXPECT_FALSE(ApplyPreparedFiles(config.clientDir, files));
    EXPECT_EQ(ReadFile(dir.native() / "Data" / "Item" / "a.bmd"), "old-a");
    EXPECT_TRUE(fs::is_empty(dir.native() / "Elsewhere"));
}

// The whole mode over the client the run hands it: the manifest and the file
// come from there, and nothing else is asked for.
TEST_F(ApplyTest, TheUpdateModeDownloadsOverTheClientItIsHanded) {
    WriteFile(dir.native() / "Data" / "Item" / "x.bmd", "old");
    const std::wstring base = L"http://127.0.0.1:8080/patch/";
    test::FakeHttpClient http;
    http.Serve(base + L"manifest.json",
               R"({"version": "7", "files": [{"path": "Data/Item/x.bmd", "url": "Data/Item/x.bmd",)"
               R"( "size": 3, "sha256": )"
               R"("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}]})");
    http.Serve(base + L"Data/Item/x.bmd", "abc");
    config.manifestUrl = base + L"manifest.json";
    RunContext context{http};
    ASSERT_TRUE(RunUpdateMode(config, context)) << Log();
    EXPECT_EQ(ReadFile(dir.native() / "Data" / "Item" / "x.bmd"), "abc");
    ASSERT_EQ(http.requests.size(), 2u);
    EXPECT_EQ(http.requests[1].url, base + L"Data/Item/x.bmd");
}

}  // namespace
}  // namespace rr
