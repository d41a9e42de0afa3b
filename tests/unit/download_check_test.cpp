#include "net/download_check.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "fs/safe_fs.h"
#include "log_capture.h"
#include "platform/fs.h"
#include "test_support.h"

namespace rr {
namespace {

using test::LogCapture;
using test::TempDir;
using test::WriteFile;

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kAbcDigestUpper =
    "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

// Each check runs below a root and returns its failure's line in `err`.
class DownloadCheckTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_TRUE(logs.MainLines().empty()) << "failures are the caller's to log";
    }
    bool Downloaded(const std::wstring& path, const std::string& sha, uint64_t size,
                    const std::wstring& root = {}) {
        err = Error{};
        return ValidateDownloadedFile(root.empty() ? dir.core() : root, path, sha, size, &err);
    }
    bool Size(const std::wstring& path, bool configured, uint64_t size,
              const std::wstring& root = {}) {
        err = Error{};
        return ValidateFileSize(root.empty() ? dir.core() : root, path, configured, size, &err);
    }
    bool PackageSha(const std::wstring& path, const std::string& sha,
                    const std::wstring& root = {}) {
        err = Error{};
        return ValidatePackageSha256(root.empty() ? dir.core() : root, path, sha, actual, &err);
    }
    LogCapture logs;
    TempDir dir;
    Error err;
    std::string actual;
};

TEST_F(DownloadCheckTest, DownloadedFileChecksSizeThenDigest) {
    WriteFile(dir.native() / "Data" / "Item.bmd", "abc");
    std::wstring path = dir.core(L"Data\\Item.bmd");
    EXPECT_TRUE(Downloaded(path, kAbcDigestUpper, 3));
    EXPECT_TRUE(err.text.empty());

    EXPECT_FALSE(Downloaded(path, kEmptyDigest, 3));
    EXPECT_EQ(err.text, L"Downloaded file SHA256 mismatch. expected=" + Utf8ToUtf16(kEmptyDigest) +
                            L" actual=" + Utf8ToUtf16(kAbcDigest));
    EXPECT_FALSE(Downloaded(path, kAbcDigest, 4));
    EXPECT_EQ(err.text, L"Downloaded file size mismatch. expected=4 actual=3");
    EXPECT_FALSE(Downloaded(path, "not-a-digest", 3));
    EXPECT_EQ(err.text, L"Downloaded file SHA256 mismatch. expected=not-a-digest actual=" +
                            Utf8ToUtf16(kAbcDigest));
}

TEST_F(DownloadCheckTest, DownloadedFileOfWrongSizeIsNeverHashed) {
    // A file that cannot be hashed: a size mismatch must be reported before any
    // attempt to read it.
#ifdef _WIN32
    std::wstring root = dir.core();
    std::wstring path = dir.core(L"Held.bin");
    platform::FileWriter holder;  // held open for writing: a reader sharing only reading is refused
    ASSERT_TRUE(CreateFileBelow(dir.core(), path, holder));
    ASSERT_TRUE(holder.Write("abc", 3));
    const uint64_t actual = 3;
#else
    std::wstring root = L"\\proc\\self";
    std::wstring path = L"\\proc\\self\\mem";
    const uint64_t actual = 0;
#endif
    EXPECT_FALSE(Downloaded(path, kAbcDigest, actual + 1, root));
    EXPECT_EQ(err.text, L"Downloaded file size mismatch. expected=" + ToDecimal(actual + 1) +
                            L" actual=" + ToDecimal(actual));
    // With the right size the hash is attempted and fails: the file above
    // really could not have been hashed.
    EXPECT_FALSE(Downloaded(path, kAbcDigest, actual, root));
    EXPECT_NE(err.text.find(L"file for SHA256. error="), std::wstring::npos) << err.text;
#ifdef _WIN32
    // The file held open was waited for (in vain) before the read failed; that
    // notice is the log's own, not a failure line of the check.
    EXPECT_EQ(logs.MainLines(), std::vector<std::wstring>{L"File is in use, retrying: " + path});
    logs.Clear();
#endif
}

TEST_F(DownloadCheckTest, MissingFileOrFolderFailsTheAttributeRead) {
    test::fs::create_directory(dir.native() / "Folder");
    std::wstring folder = dir.core(L"Folder");
    std::wstring missing = dir.core(L"Missing.bin");
    EXPECT_FALSE(Downloaded(missing, kEmptyDigest, 0));
    EXPECT_EQ(err.text, L"Failed to stat downloaded file: " + missing);
    EXPECT_FALSE(Downloaded(folder, kEmptyDigest, 0));
    EXPECT_EQ(err.text, L"Failed to stat downloaded file: " + folder);
    EXPECT_FALSE(Size(missing, true, 0));
    EXPECT_EQ(err.text, L"Failed to stat file for size validation: " + missing);
    EXPECT_FALSE(Size(folder, true, 0));
    EXPECT_EQ(err.text, L"Failed to stat file for size validation: " + folder);
    EXPECT_TRUE(Size(missing, false, 0)) << "no size configured: nothing to check";
}

TEST_F(DownloadCheckTest, PackageSizeValidation) {
    WriteFile(dir.native() / "Orvella_Client.zip", "abc");
    std::wstring path = dir.core(L"Orvella_Client.zip");
    EXPECT_TRUE(Size(path, true, 3));
    EXPECT_FALSE(Size(path, true, 2));
    EXPECT_EQ(err.text, L"File size mismatch. expected=2 actual=3 path=" + path);
    EXPECT_TRUE(Size(path, false, 2));
}

TEST_F(DownloadCheckTest, PackageDigestValidation) {
    WriteFile(dir.native() / "Orvella_Client.zip", "abc");
    std::wstring path = dir.core(L"Orvella_Client.zip");
    std::wstring missing = dir.core(L"Missing.zip");
    EXPECT_TRUE(PackageSha(missing, "")) << "no digest: nothing to check, the caller warns";
    EXPECT_TRUE(actual.empty());
    EXPECT_FALSE(PackageSha(path, kAbcDigest.substr(1)));
    EXPECT_EQ(err.text, L"Invalid expected SHA256 text: " + Utf8ToUtf16(kAbcDigest.substr(1)));
    EXPECT_FALSE(PackageSha(path, std::string(64, 'E')));
    EXPECT_EQ(err.text, L"File SHA256 mismatch. expected=" + std::wstring(64, L'E') + L" actual=" +
                            Utf8ToUtf16(kAbcDigest) + L" path=" + path);
    EXPECT_TRUE(PackageSha(path, kAbcDigestUpper));
    EXPECT_EQ(actual, kAbcDigest);
    EXPECT_FALSE(PackageSha(missing, kAbcDigest));
    EXPECT_EQ(err.text, L"Failed to open file for SHA256. error=2 path=" + missing);
}

// The package is checked where it lies below the client folder: a link to a
// file that would pass, at the package or on the way to it, passes nothing.
TEST_F(DownloadCheckTest, PackageValidationRefusesLinks) {
    WriteFile(dir.native() / "Real" / "Orvella_Client.zip", "abc");
    std::error_code ec;
    test::fs::create_symlink(dir.native() / "Real" / "Orvella_Client.zip",
                             dir.native() / "Linked.zip", ec);
    test::fs::create_directory_symlink(dir.native() / "Real", dir.native() / "_full_tmp", ec);
    if (ec) {
        GTEST_SKIP() << "links need rights this system does not grant";
    }
    for (const std::wstring& path :
         {dir.core(L"Linked.zip"), dir.core(L"_full_tmp\\Orvella_Client.zip")}) {
        EXPECT_FALSE(Size(path, true, 3)) << Utf16ToUtf8(path);
        EXPECT_FALSE(PackageSha(path, kAbcDigest)) << Utf16ToUtf8(path);
    }
    const std::wstring real = dir.core(L"Real\\Orvella_Client.zip");
    EXPECT_TRUE(Size(real, true, 3));
    EXPECT_TRUE(PackageSha(real, kAbcDigest));
}

}  // namespace
}  // namespace rr
