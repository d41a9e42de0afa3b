#include "net/sha256.h"

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
using Lines = std::vector<std::wstring>;

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kAbcDigestUpper =
    "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

class Sha256Test : public ::testing::Test {
  protected:
    LogCapture logs;
    TempDir dir;
};

TEST_F(Sha256Test, DigestsOfKnownContents) {
    WriteFile(dir.native() / "Empty.bin", "");
    WriteFile(dir.native() / "Abc.bin", "abc");
    // Many full 32 KiB chunks and a short last one.
    WriteFile(dir.native() / "Million.bin", std::string(1000000, 'a'));
    std::string digest = "stale";
    ASSERT_TRUE(ComputeFileSha256(dir.core(L"Empty.bin"), digest));
    EXPECT_EQ(digest, kEmptyDigest);
    ASSERT_TRUE(ComputeFileSha256(dir.core(L"Abc.bin"), digest));
    EXPECT_EQ(digest, kAbcDigest);
    ASSERT_TRUE(ComputeFileSha256(dir.core(L"Million.bin"), digest));
    EXPECT_EQ(digest, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_TRUE(logs.MainLines().empty());
}

TEST_F(Sha256Test, UnopenableFilesFailWithTheirReason) {
    std::string digest = "stale";
    std::wstring missing = dir.core(L"Missing.bin");
    EXPECT_FALSE(ComputeFileSha256(missing, digest));
    EXPECT_TRUE(digest.empty());
    test::fs::create_directory(dir.native() / "Folder");
    EXPECT_FALSE(ComputeFileSha256(dir.core(L"Folder"), digest));
    Lines lines = logs.MainLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Failed to open file for SHA256. error=2 path=" + missing);
    EXPECT_EQ(lines[1].rfind(L"Failed to open file for SHA256. error=", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(L" path=" + dir.core(L"Folder")), std::wstring::npos);
}

#ifndef _WIN32
// procfs gives a file that opens but fails on the first read: the hash must
// fail rather than report the digest of the bytes read so far.
TEST_F(Sha256Test, ReadErrorIsAFailureNotADigest) {
    std::string digest = "stale";
    EXPECT_FALSE(ComputeFileSha256(L"\\proc\\self\\mem", digest));
    EXPECT_TRUE(digest.empty());
    Lines lines = logs.MainLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(L"Failed to read file for SHA256. error=", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(L"path=\\proc\\self\\mem"), std::wstring::npos);
}
#endif

TEST(Sha256Text, WellFormedness) {
    EXPECT_TRUE(IsValidSha256Text(kAbcDigest));
    EXPECT_TRUE(IsValidSha256Text(kAbcDigestUpper));
    EXPECT_FALSE(IsValidSha256Text(""));
    EXPECT_FALSE(IsValidSha256Text(kAbcDigest.substr(0, 63)));
    EXPECT_FALSE(IsValidSha256Text(kAbcDigest + "0"));
    std::string spaced = kAbcDigest;
    spaced[10] = ' ';
    EXPECT_FALSE(IsValidSha256Text(spaced));
    std::string withG = kAbcDigest;
    withG[63] = 'g';
    EXPECT_FALSE(IsValidSha256Text(withG));
    EXPECT_FALSE(IsValidSha256Text("0x" + kAbcDigest.substr(2)));
    EXPECT_FALSE(IsValidSha256Text(std::string(kAbcDigest).replace(5, 1, 1, '\0')));
}

TEST(Sha256Text, ComparisonFoldsAsciiLettersOnly) {
    EXPECT_TRUE(Sha256TextEquals(kAbcDigestUpper, kAbcDigest));
    EXPECT_TRUE(Sha256TextEquals("", ""));
    EXPECT_FALSE(Sha256TextEquals(kAbcDigest, kAbcDigest.substr(0, 63)));
    EXPECT_FALSE(Sha256TextEquals(kAbcDigest, kEmptyDigest));
    // Only 'A'..'Z' fold: '@' and '`' sit right next to them.
    EXPECT_FALSE(Sha256TextEquals("@", "`"));
    EXPECT_FALSE(Sha256TextEquals("[", "{"));
}

TEST_F(Sha256Test, DownloadedFileChecksSizeThenDigest) {
    WriteFile(dir.native() / "Data" / "Item.bmd", "abc");
    std::wstring path = dir.core(L"Data\\Item.bmd");
    EXPECT_TRUE(ValidateDownloadedFile(path, kAbcDigestUpper, 3));
    EXPECT_TRUE(logs.MainLines().empty()) << "success logs nothing";

    EXPECT_FALSE(ValidateDownloadedFile(path, kEmptyDigest, 3));
    EXPECT_FALSE(ValidateDownloadedFile(path, kAbcDigest, 4));
    EXPECT_FALSE(ValidateDownloadedFile(path, "not-a-digest", 3));
    Lines lines = logs.MainLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], L"Downloaded file SHA256 mismatch. expected=" + Utf8ToUtf16(kEmptyDigest) +
                            L" actual=" + Utf8ToUtf16(kAbcDigest));
    EXPECT_EQ(lines[1], L"Downloaded file size mismatch. expected=4 actual=3");
    EXPECT_EQ(lines[2], L"Downloaded file SHA256 mismatch. expected=not-a-digest actual=" +
                            Utf8ToUtf16(kAbcDigest));
}

TEST_F(Sha256Test, DownloadedFileOfWrongSizeIsNeverHashed) {
    // A file that cannot be hashed: a size mismatch must be reported before any
    // attempt to read it.
#ifdef _WIN32
    std::wstring path = dir.core(L"Held.bin");
    platform::FileWriter holder;  // held open for writing: a reader sharing only reading is refused
    ASSERT_TRUE(CreateFileBelow(dir.core(), path, holder));
    ASSERT_TRUE(holder.Write("abc", 3));
    const uint64_t actual = 3;
#else
    std::wstring path = L"\\proc\\self\\mem";
    const uint64_t actual = 0;
#endif
    EXPECT_FALSE(ValidateDownloadedFile(path, kAbcDigest, actual + 1));
    Lines lines = logs.MainLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"Downloaded file size mismatch. expected=" + ToDecimal(actual + 1) +
                            L" actual=" + ToDecimal(actual));
    // With the right size the hash is attempted and fails: the file above
    // really could not have been hashed.
    logs.Clear();
    EXPECT_FALSE(ValidateDownloadedFile(path, kAbcDigest, actual));
    lines = logs.MainLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(L"file for SHA256. error="), std::wstring::npos) << lines[0];
}

TEST_F(Sha256Test, MissingFileOrFolderFailsTheAttributeRead) {
    test::fs::create_directory(dir.native() / "Folder");
    std::wstring folder = dir.core(L"Folder");
    std::wstring missing = dir.core(L"Missing.bin");
    EXPECT_FALSE(ValidateDownloadedFile(missing, kEmptyDigest, 0));
    EXPECT_FALSE(ValidateDownloadedFile(folder, kEmptyDigest, 0));
    EXPECT_FALSE(ValidateFileSize(missing, true, 0));
    EXPECT_FALSE(ValidateFileSize(folder, true, 0));
    EXPECT_TRUE(ValidateFileSize(missing, false, 0)) << "no size configured: nothing to check";
    EXPECT_EQ(logs.MainLines(), (Lines{
                                    L"Failed to stat downloaded file: " + missing,
                                    L"Failed to stat downloaded file: " + folder,
                                    L"Failed to stat file for size validation: " + missing,
                                    L"Failed to stat file for size validation: " + folder,
                                }));
}

TEST_F(Sha256Test, PackageSizeValidation) {
    WriteFile(dir.native() / "Orvella_Client.zip", "abc");
    std::wstring path = dir.core(L"Orvella_Client.zip");
    EXPECT_TRUE(ValidateFileSize(path, true, 3));
    EXPECT_FALSE(ValidateFileSize(path, true, 2));
    EXPECT_TRUE(ValidateFileSize(path, false, 2));
    EXPECT_EQ(logs.MainLines(), (Lines{
                                    L"File size validation OK: 3",
                                    L"File size mismatch. expected=2 actual=3 path=" + path,
                                }));
}

TEST_F(Sha256Test, PackageDigestValidation) {
    WriteFile(dir.native() / "Orvella_Client.zip", "abc");
    std::wstring path = dir.core(L"Orvella_Client.zip");
    std::wstring missing = dir.core(L"Missing.zip");
    EXPECT_TRUE(ValidatePackageSha256(missing, "")) << "no digest is a warning, not a failure";
    EXPECT_FALSE(ValidatePackageSha256(path, kAbcDigest.substr(1)));
    EXPECT_FALSE(ValidatePackageSha256(path, std::string(64, 'E')));
    EXPECT_TRUE(ValidatePackageSha256(path, kAbcDigestUpper));
    EXPECT_FALSE(ValidatePackageSha256(missing, kAbcDigest));
    Lines lines = logs.MainLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0],
              L"WARNING: no SHA256 configured. No extraction/apply is allowed for this full "
              L"client package.");
    EXPECT_EQ(lines[1], L"Invalid expected SHA256 text: " + Utf8ToUtf16(kAbcDigest.substr(1)));
    EXPECT_EQ(lines[2], L"File SHA256 mismatch. expected=" + std::wstring(64, L'E') + L" actual=" +
                            Utf8ToUtf16(kAbcDigest) + L" path=" + path);
    EXPECT_EQ(lines[3], L"File SHA256 validation OK: " + Utf8ToUtf16(kAbcDigest));
    EXPECT_EQ(lines[4], L"Failed to open file for SHA256. error=2 path=" + missing);
}

// The package is checked where it lies below the client folder: a link to a
// file that would pass, at the package or on the way to it, passes nothing.
TEST_F(Sha256Test, PackageValidationRefusesLinks) {
    WriteFile(dir.native() / "Real" / "Orvella_Client.zip", "abc");
    std::error_code ec;
    test::fs::create_symlink(dir.native() / "Real" / "Orvella_Client.zip",
                             dir.native() / "Linked.zip", ec);
    test::fs::create_directory_symlink(dir.native() / "Real", dir.native() / "_full_tmp", ec);
    if (ec) {
        GTEST_SKIP() << "links need rights this system does not grant";
    }
    const std::wstring root = dir.core();
    for (const std::wstring& path :
         {dir.core(L"Linked.zip"), dir.core(L"_full_tmp\\Orvella_Client.zip")}) {
        EXPECT_FALSE(ValidateFileSize(root, path, true, 3)) << Utf16ToUtf8(path);
        EXPECT_FALSE(ValidatePackageSha256(root, path, kAbcDigest)) << Utf16ToUtf8(path);
    }
    const std::wstring real = dir.core(L"Real\\Orvella_Client.zip");
    EXPECT_TRUE(ValidateFileSize(root, real, true, 3));
    EXPECT_TRUE(ValidatePackageSha256(root, real, kAbcDigest));
}

}  // namespace
}  // namespace rr
