#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/post_update_cleanup.h"
#include "base/text.h"
#include "log/log.h"
#include "test_support.h"

namespace rr {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class PostUpdateCleanupTest : public ::testing::Test {
  protected:
    void SetUp() override { config.clientDir = dir.core(); }

    // The main log's lines without their time stamps.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(dir.native() / "Logs" / "RiveRoravav.log"));
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            size_t stamp = line.find("] ");
            lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
        }
        return lines;
    }

    std::string Core(const std::wstring& relative) const { return Utf16ToUtf8(dir.core(relative)); }

    // Replaces the (still empty) Logs folder by a link to another folder.
    bool MakeLogsALink(std::string& why) {
        std::error_code ec;
        fs::create_directories(dir.native() / "RealLogs");
        fs::remove(dir.native() / "Logs", ec);
        fs::create_directory_symlink(dir.native() / "RealLogs", dir.native() / "Logs", ec);
        why = ec.message();
        return !ec;
    }

    TempDir dir;
    LogScope logScope{dir.core()};
    RunConfig config;
};

TEST_F(PostUpdateCleanupTest, MissingBackupFolderIsSkipped) {
    EXPECT_TRUE(CleanupBackupAfterUpdate(config));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"backup cleanup skipped: not found"});
}

TEST_F(PostUpdateCleanupTest, BackupFolderWithReadOnlyFilesIsRemoved) {
    fs::path ro = dir.native() / "_backup_update" / "Data" / "Local" / "Text.bmd";
    WriteFile(ro, "old");
    WriteFile(dir.native() / "_backup_update" / "Main.exe", "old main");
    fs::permissions(ro, fs::perms::owner_read);
    WriteFile(dir.native() / "Main.exe", "new main");

    EXPECT_TRUE(CleanupBackupAfterUpdate(config));
    EXPECT_FALSE(fs::exists(dir.native() / "_backup_update"));
    EXPECT_EQ(ReadFile(dir.native() / "Main.exe"), "new main");
    EXPECT_EQ(LogLines(), std::vector<std::string>{"backup cleanup after successful update: OK"});
}

TEST_F(PostUpdateCleanupTest, BackupThatIsAFileIsKept) {
    WriteFile(dir.native() / "_backup_update", "not a folder");
    EXPECT_FALSE(CleanupBackupAfterUpdate(config));
    EXPECT_EQ(ReadFile(dir.native() / "_backup_update"), "not a folder");
    EXPECT_EQ(LogLines(), std::vector<std::string>{"backup cleanup blocked: target is not a "
                                                   "directory " +
                                                   Core(L"_backup_update")});
}

TEST_F(PostUpdateCleanupTest, BackupLinkIsNeitherFollowedNorRemoved) {
    WriteFile(dir.native() / "Elsewhere" / "precious.txt", "precious");
    std::error_code ec;
    fs::create_directory_symlink(dir.native() / "Elsewhere", dir.native() / "_backup_update", ec);
    if (ec) {
        GTEST_SKIP() << "links cannot be created here: " << ec.message();
    }
    EXPECT_FALSE(CleanupBackupAfterUpdate(config));
    EXPECT_TRUE(fs::is_symlink(dir.native() / "_backup_update"));
    EXPECT_EQ(ReadFile(dir.native() / "Elsewhere" / "precious.txt"), "precious");
    EXPECT_EQ(LogLines(), std::vector<std::string>{"backup cleanup blocked: target is a reparse "
                                                   "point " +
                                                   Core(L"_backup_update")});
}

TEST_F(PostUpdateCleanupTest, EmptyClientDirNeverReachesTheCurrentDirectory) {
    RunConfig empty;
    EXPECT_FALSE(CleanupBackupAfterUpdate(empty));
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"backup cleanup blocked: unsafe target _backup_update"});
}

TEST_F(PostUpdateCleanupTest, LegacyFilesInOrderReadOnlyDeletedFolderKept) {
    WriteFile(dir.native() / "Logs" / "StartupDiag.log", "1");
    WriteFile(dir.native() / "Logs" / "ClientSecuritySetup.log", "3");
    WriteFile(dir.native() / "Launcherlib.dll", "lib");
    fs::create_directories(dir.native() / "Launcher.exe" / "inside");
    WriteFile(dir.native() / "Launcher.exe" / "inside" / "keep.txt", "keep");
    fs::permissions(dir.native() / "Launcherlib.dll", fs::perms::owner_read);

    CleanupLegacyFiles(config);

    EXPECT_FALSE(fs::exists(dir.native() / "Logs" / "StartupDiag.log"));
    EXPECT_FALSE(fs::exists(dir.native() / "Logs" / "ClientSecuritySetup.log"));
    EXPECT_FALSE(fs::exists(dir.native() / "Launcherlib.dll"));
    EXPECT_EQ(ReadFile(dir.native() / "Launcher.exe" / "inside" / "keep.txt"), "keep");
    EXPECT_EQ(
        LogLines(),
        (std::vector<std::string>{
            "legacy_cleanup_deleted path=" + Core(L"Logs\\StartupDiag.log"),
            "legacy_cleanup_missing path=" + Core(L"Logs\\DefenderExclusion.log"),
            "legacy_cleanup_deleted path=" + Core(L"Logs\\ClientSecuritySetup.log"),
            "legacy_cleanup_failed path=" + Core(L"Launcher.exe") + " error=target is directory",
            "legacy_cleanup_deleted path=" + Core(L"Launcherlib.dll"),
        }));
}

TEST_F(PostUpdateCleanupTest, ReadOnlyLauncherIsDeleted) {
    WriteFile(dir.native() / "Launcher.exe", "old launcher");
    fs::permissions(dir.native() / "Launcher.exe", fs::perms::owner_read);
    DeleteLegacyFile(dir.core(), L"Launcher.exe");
    EXPECT_FALSE(fs::exists(dir.native() / "Launcher.exe"));
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"legacy_cleanup_deleted path=" + Core(L"Launcher.exe")});
}

TEST_F(PostUpdateCleanupTest, LegacyLogsBehindALinkedLogsFolderAreKept) {
    std::string why;
    if (!MakeLogsALink(why)) {
        GTEST_SKIP() << "links cannot be created here: " << why;
    }
    for (const char* name :
         {"StartupDiag.log", "DefenderExclusion.log", "ClientSecuritySetup.log"}) {
        WriteFile(dir.native() / "RealLogs" / name, "legacy");
    }
    // A run that starts with Logs a link keeps no log at all: nothing may be
    // written into, or deleted from, the folder the link points to.
    const LogScope linkedLogs(dir.core());
    EXPECT_TRUE(LogsFolderIsLink());
    CleanupLegacyFiles(config);
    PurgeLogsUnlessDiagnostics(dir.core());
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir.native() / "RealLogs")) {
        EXPECT_EQ(ReadFile(entry.path()), "legacy") << entry.path();
        ++count;
    }
    EXPECT_EQ(count, 3u);
}

TEST_F(PostUpdateCleanupTest, LegacyFileThatIsALinkIsKept) {
    WriteFile(dir.native() / "RealLauncher.exe", "target");
    std::error_code ec;
    fs::create_symlink(dir.native() / "RealLauncher.exe", dir.native() / "Launcher.exe", ec);
    if (ec) {
        GTEST_SKIP() << "links cannot be created here: " << ec.message();
    }
    DeleteLegacyFile(dir.core(), L"Launcher.exe");
    EXPECT_TRUE(fs::is_symlink(dir.native() / "Launcher.exe"));
    EXPECT_EQ(ReadFile(dir.native() / "RealLauncher.exe"), "target");
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"legacy_cleanup_failed path=" + Core(L"Launcher.exe") +
                                       " error=target is reparse point"});
}

TEST_F(PostUpdateCleanupTest, RefusesEmptyAndEscapingPaths) {
    fs::path outside = dir.native().parent_path() / (dir.native().filename().string() + "_out.exe");
    WriteFile(outside, "outside");
    std::wstring escaping = L"..\\" + Utf8ToUtf16(outside.filename().string());

    DeleteLegacyFile(dir.core(), L"");
    DeleteLegacyFile(dir.core(), escaping);

    EXPECT_EQ(ReadFile(outside), "outside");
    std::error_code ec;
    fs::remove(outside, ec);
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{
                  "legacy_cleanup_failed path=<empty> error=empty relative path",
                  "legacy_cleanup_failed path=" + Core(escaping) + " error=unsafe target",
              }));
}

TEST_F(PostUpdateCleanupTest, LegacyFileBehindALinkedFolderIsKept) {
    WriteFile(dir.native() / "Real" / "Sub" / "file.txt", "real");
    std::error_code ec;
    fs::create_directory_symlink(dir.native() / "Real", dir.native() / "Link", ec);
    if (ec) {
        GTEST_SKIP() << "links cannot be created here: " << ec.message();
    }
    DeleteLegacyFile(dir.core(), L"Link\\Sub\\file.txt");
    DeleteLegacyFile(dir.core(), L"Real\\Sub\\file.txt");
    EXPECT_TRUE(fs::is_symlink(dir.native() / "Link"));
    EXPECT_FALSE(fs::exists(dir.native() / "Real" / "Sub" / "file.txt"));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "legacy_cleanup_failed path=" + Core(L"Link\\Sub\\file.txt") +
                                  " error=parent is reparse point",
                              "legacy_cleanup_deleted path=" + Core(L"Real\\Sub\\file.txt"),
                          }));
}

}  // namespace
}  // namespace rr
