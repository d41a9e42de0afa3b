#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "fs/delete_tree.h"
#include "fs/file_ops.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "cleanup/artifact_cleanup.h"
#include "platform/error.h"
#include "test_support.h"

namespace rr {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Everything below a folder: relative name -> content ("<dir>" for folders).
std::map<std::string, std::string> Listing(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        std::string rel = fs::relative(it->path(), root).generic_string();
        out[rel] = it->is_directory() ? "<dir>" : ReadFile(it->path());
    }
    return out;
}

// A client folder whose work folder holds a large tree, and a folder beside
// the client that an attacker wants deleted.
class SwapRaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(client / "Main.exe", "main");
        for (int i = 0; i < 50; ++i) {
            WriteFile(client / "_backup_update" / "Big" / ("f" + std::to_string(i)), "old");
            WriteFile(outside / ("victim" + std::to_string(i)), "precious");
        }
        WriteFile(outside / "Sub" / "deep", "precious");
        logScope.emplace(test::CorePath(client));
        before = Listing(outside);
    }

    // At the chosen moment the folder is renamed away and a link to the
    // outside folder put in its place.
    bool ArmSwap(DeleteTreePhase when) {
        std::error_code ec;
        fs::create_directory_symlink(outside, dir.native() / "probe", ec);
        if (ec) {
            return false;
        }
        fs::remove(dir.native() / "probe");
        swap.test = this;
        swap.when = when;
        return true;
    }

    // At its moment, the deletion's folder becomes a link to the outside.
    struct Swap : DeleteObserver {
        void Moment(DeleteTreePhase phase, const std::wstring& path) override {
            if (phase != when || path.find(L"Big") == std::wstring::npos || test->swapped) {
                return;
            }
            test->swapped = true;
            fs::path big = test->client / "_backup_update" / "Big";
            fs::rename(big, test->client / "_backup_update" / "Moved");
            fs::create_directory_symlink(test->outside, big);
        }
        SwapRaceTest* test = nullptr;
        DeleteTreePhase when = DeleteTreePhase::kBeforeEnter;
    } swap;

    TempDir dir;
    fs::path client = dir.native() / "Client";
    fs::path outside = dir.native() / "Outside";
    // Made once the client folder exists.
    std::optional<LogScope> logScope;
    std::map<std::string, std::string> before;
    bool swapped = false;
};

TEST_F(SwapRaceTest, SwapBeforeTheFolderIsOpenedIsRefused) {
    if (!ArmSwap(DeleteTreePhase::kBeforeEnter)) {
        GTEST_SKIP() << "links cannot be created here";
    }
    CleanupStats stats;
    DeleteTreeInsideRoot(test::CorePath(client / "_backup_update"), test::CorePath(client), stats,
                         &swap);
    EXPECT_TRUE(swapped);
    EXPECT_EQ(Listing(outside), before);
    EXPECT_GE(stats.blocked, 1u);
    EXPECT_TRUE(fs::is_symlink(client / "_backup_update" / "Big")) << "the link is left alone";
}

TEST_F(SwapRaceTest, SwapAfterTheFolderIsOpenedOnlyEmptiesTheRealFolder) {
    if (!ArmSwap(DeleteTreePhase::kEntered)) {
        GTEST_SKIP() << "links cannot be created here";
    }
    EXPECT_FALSE(
        DeleteTreeBelow(test::CorePath(client), L"_backup_update", LinkPolicy::kRemoveEntry, &swap))
        << "a folder that turned into a link cannot be removed: the call says so";
    EXPECT_TRUE(swapped);
    EXPECT_EQ(Listing(outside), before);
    // The walk kept working inside the folder it had opened, wherever that
    // folder went: the moved folder lost its files, the outside none.
    EXPECT_TRUE(fs::is_empty(client / "_backup_update" / "Moved"));
    EXPECT_EQ(ReadFile(client / "Main.exe"), "main");
}

TEST(CopyFileBelow, ReplacesByRenameSoAHardLinkIsBroken) {
    TempDir dir;
    fs::path client = dir.native() / "Client";
    WriteFile(client / "Data" / "new.bmd", "new bytes");
    WriteFile(dir.native() / "outside.bmd", "outside bytes");
    std::error_code ec;
    fs::create_hard_link(dir.native() / "outside.bmd", client / "Data" / "item.bmd", ec);
    if (ec) {
        GTEST_SKIP() << "hard links cannot be created here: " << ec.message();
    }
    const std::wstring root = test::CorePath(client);
    ASSERT_TRUE(CopyFileBelow(root, root + L"\\Data\\new.bmd", root + L"\\Data\\item.bmd",
                              root + L"\\_work"));
    EXPECT_EQ(ReadFile(client / "Data" / "item.bmd"), "new bytes");
    EXPECT_EQ(ReadFile(dir.native() / "outside.bmd"), "outside bytes");
    EXPECT_EQ(fs::hard_link_count(dir.native() / "outside.bmd"), 1u);
    EXPECT_TRUE(fs::is_empty(client / "_work"));
}

// The new bytes are staged in the work folder, so nothing beside the target
// is ever created or removed: a client file that bears the staging name is
// the client's, and a leftover of a killed copy in the work folder is simply
// replaced. A new .exe comes out runnable.
TEST(CopyFileBelow, StagesInTheWorkFolderAndLeavesTheTargetsNeighboursAlone) {
    TempDir dir;
    fs::path client = dir.native() / "Client";
    WriteFile(client / "new.bmd", "new bytes");
    WriteFile(client / "Data" / "item.bmd", "old bytes");
    WriteFile(client / "Data" / "item.bmd.~rrnew", "a client file");
    WriteFile(client / "_work" / "item.bmd.~rrnew", "left by a killed run");
    const std::wstring root = test::CorePath(client);
    const std::wstring work = root + L"\\_work";
    ASSERT_TRUE(CopyFileBelow(root, root + L"\\new.bmd", root + L"\\Data\\item.bmd", work));
    EXPECT_EQ(ReadFile(client / "Data" / "item.bmd"), "new bytes");
    EXPECT_EQ(ReadFile(client / "Data" / "item.bmd.~rrnew"), "a client file");
    EXPECT_TRUE(fs::is_empty(client / "_work"));

    WriteFile(client / "pkg" / "Main.exe", "game");
    fs::permissions(client / "pkg" / "Main.exe", fs::perms(0644));
    ASSERT_TRUE(CopyFileBelow(root, root + L"\\pkg\\Main.exe", root + L"\\New\\Main.exe", work));
    EXPECT_EQ(ReadFile(client / "New" / "Main.exe"), "game");
#ifndef _WIN32
    EXPECT_EQ(fs::status(client / "New" / "Main.exe").permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);
#endif
}

TEST(CopyFileBelow, ALinkOnTheWayStopsTheCopyBeforeAnyWrite) {
    TempDir dir;
    fs::path client = dir.native() / "Client";
    WriteFile(client / "new.bmd", "new bytes");
    WriteFile(dir.native() / "Outside" / "item.bmd", "outside bytes");
    std::error_code ec;
    fs::create_directory_symlink(dir.native() / "Outside", client / "Data", ec);
    if (ec) {
        GTEST_SKIP() << "links cannot be created here: " << ec.message();
    }
    const std::wstring root = test::CorePath(client);
    Error err;
    EXPECT_FALSE(CopyFileBelow(root, root + L"\\new.bmd", root + L"\\Data\\item.bmd",
                               root + L"\\_work", &err));
    EXPECT_EQ(err.stop, WalkStop::kLink);
    EXPECT_EQ(err.code, platform::kErrorStoppedOnSymlink);
    EXPECT_FALSE(CopyFileBelow(root, root + L"\\Data\\item.bmd", root + L"\\copy.bmd",
                               root + L"\\_work", &err))
        << "nor is a file read through a link";
    EXPECT_EQ(Listing(dir.native() / "Outside"),
              (std::map<std::string, std::string>{{"item.bmd", "outside bytes"}}));
    EXPECT_FALSE(fs::exists(client / "copy.bmd"));
}

}  // namespace
}  // namespace rr
