#include <gtest/gtest.h>

#include "base/text.h"
#include "fs/file_ops.h"
#include "base/path.h"
#include "log/delete_under_root.h"
#include "log/log.h"
#include "platform/error.h"
#include "test_support.h"

namespace rr {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(ParentPath, DriveRootsLeadingSeparatorAndPlainNames) {
    EXPECT_EQ(ParentPath(L"C:\\a"), L"C:\\");
    EXPECT_EQ(ParentPath(L"\\a"), L"\\");
    EXPECT_EQ(ParentPath(L"a"), L"");
    EXPECT_EQ(ParentPath(L"a/b"), L"a");
    EXPECT_EQ(ParentPath(L"C:\\a\\b\\"), L"C:\\a\\b");
}

TEST(CreateDirectoryTree, CreatesAncestorsAndRefusesAFileInTheWay) {
    TempDir dir;
    EXPECT_TRUE(CreateDirectoryTree(dir.core(L"a\\b\\c")));
    EXPECT_TRUE(fs::is_directory(dir.native() / "a" / "b" / "c"));
    EXPECT_TRUE(CreateDirectoryTree(dir.core(L"a\\b\\c"))) << "an existing directory is fine";
    EXPECT_TRUE(CreateDirectoryTree(L""));
    WriteFile(dir.native() / "file", "x");
    Error err;
    EXPECT_FALSE(CreateDirectoryTree(dir.core(L"file\\sub"), &err));
    EXPECT_NE(err.code, platform::kErrorSuccess) << "the failed call's code is reported";
    EXPECT_FALSE(CreateDirectoryTree(dir.core(L"file")));
    EXPECT_EQ(ReadFile(dir.native() / "file"), "x");
    EXPECT_TRUE(EnsureParentDirectory(dir.core(L"x\\y\\z.bin")));
    EXPECT_TRUE(fs::is_directory(dir.native() / "x" / "y"));
    EXPECT_TRUE(EnsureParentDirectory(L"plain.bin"));
}

class DeleteTreeTest : public ::testing::Test {
  protected:
    TempDir dir;
    LogScope logScope{dir.core()};
};

TEST_F(DeleteTreeTest, RemovesTreeWithReadOnlyFileDeepDown) {
    WriteFile(dir.native() / "w" / "a" / "b" / "c" / "ro.bin", "x");
    WriteFile(dir.native() / "w" / "top.bin", "y");
    fs::permissions(dir.native() / "w" / "a" / "b" / "c" / "ro.bin", fs::perms::owner_read);
    EXPECT_TRUE(DeleteTreeUnderRoot(dir.core(L"w"), dir.core()));
    EXPECT_FALSE(fs::exists(dir.native() / "w"));
}

TEST_F(DeleteTreeTest, MissingPathIsNothingToDelete) {
    EXPECT_TRUE(DeleteTreeUnderRoot(dir.core(L"nothing"), dir.core()));
}

TEST_F(DeleteTreeTest, SingleReadOnlyFile) {
    WriteFile(dir.native() / "ro.txt", "x");
    fs::permissions(dir.native() / "ro.txt", fs::perms::owner_read);
    EXPECT_TRUE(DeleteTreeUnderRoot(dir.core(L"ro.txt"), dir.core()));
    EXPECT_FALSE(fs::exists(dir.native() / "ro.txt"));
}

TEST_F(DeleteTreeTest, RefusesOutsideTheRootAndLogsIt) {
    WriteFile(dir.native() / "outside" / "keep.txt", "keep");
    fs::create_directories(dir.native() / "root");
    std::wstring escaping = dir.core(L"root\\..\\outside");
    EXPECT_FALSE(DeleteTreeUnderRoot(escaping, dir.core(L"root")));
    EXPECT_EQ(ReadFile(dir.native() / "outside" / "keep.txt"), "keep");
    std::string log = ReadFile(dir.native() / "Logs" / "RiveRoravav.log");
    EXPECT_NE(log.find("Refused to delete outside allowed root: " + Utf16ToUtf8(escaping)),
              std::string::npos)
        << log;
}

TEST_F(DeleteTreeTest, NeverDeletesThroughLinks) {
    WriteFile(dir.native() / "target" / "precious.txt", "precious");
    WriteFile(dir.native() / "tree" / "file.txt", "x");
    std::error_code ec;
    fs::create_directory_symlink(dir.native() / "target", dir.native() / "tree" / "link", ec);
    if (ec) {
        GTEST_SKIP() << "links cannot be created here: " << ec.message();
    }
    fs::create_directory_symlink(dir.native() / "target", dir.native() / "toplink", ec);
    ASSERT_FALSE(ec);

    // A link inside the tree is removed as an entry, its target stays whole.
    DeleteTreeUnderRoot(dir.core(L"tree"), dir.core());
    EXPECT_EQ(ReadFile(dir.native() / "target" / "precious.txt"), "precious");

    // A path that is itself a link loses only the link.
    DeleteTreeUnderRoot(dir.core(L"toplink"), dir.core());
    EXPECT_EQ(ReadFile(dir.native() / "target" / "precious.txt"), "precious");
    EXPECT_FALSE(fs::is_symlink(dir.native() / "toplink"));
}

}  // namespace
}  // namespace rr
