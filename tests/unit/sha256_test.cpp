#include "net/sha256.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "fs/safe_fs.h"
#include "log_capture.h"
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

class Sha256Test : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_TRUE(logs.MainLines().empty()) << "failures are the caller's to log";
    }
    bool Hash(const std::wstring& root, const std::wstring& path, std::string& digest) {
        err = Error{};
        return ComputeFileSha256Below(root, path, digest, &err);
    }
    LogCapture logs;
    TempDir dir;
    Error err;
};

TEST_F(Sha256Test, DigestsOfKnownContents) {
    WriteFile(dir.native() / "Empty.bin", "");
    WriteFile(dir.native() / "Abc.bin", "abc");
    // Many full 32 KiB chunks and a short last one.
    WriteFile(dir.native() / "Data" / "Million.bin", std::string(1000000, 'a'));
    std::string digest = "stale";
    ASSERT_TRUE(Hash(dir.core(), dir.core(L"Empty.bin"), digest));
    EXPECT_EQ(digest, kEmptyDigest);
    ASSERT_TRUE(Hash(dir.core(), dir.core(L"Abc.bin"), digest));
    EXPECT_EQ(digest, kAbcDigest);
    ASSERT_TRUE(Hash(dir.core(), dir.core(L"Data\\Million.bin"), digest));
    EXPECT_EQ(digest, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(Sha256Test, UnopenableFilesFailWithTheirReason) {
    std::string digest = "stale";
    std::wstring missing = dir.core(L"Missing.bin");
    EXPECT_FALSE(Hash(dir.core(), missing, digest));
    EXPECT_TRUE(digest.empty());
    EXPECT_EQ(err.text, L"Failed to open file for SHA256. error=2 path=" + missing);
    EXPECT_EQ(err.code, 2u);
    test::fs::create_directory(dir.native() / "Folder");
    EXPECT_FALSE(Hash(dir.core(), dir.core(L"Folder"), digest));
    EXPECT_EQ(err.text.rfind(L"Failed to open file for SHA256. error=", 0), 0u) << err.text;
    EXPECT_NE(err.text.find(L" path=" + dir.core(L"Folder")), std::wstring::npos);
}

#ifndef _WIN32
// procfs gives a file that opens but fails on the first read: the hash must
// fail rather than report the digest of the bytes read so far.
TEST_F(Sha256Test, ReadErrorIsAFailureNotADigest) {
    std::string digest = "stale";
    EXPECT_FALSE(Hash(L"\\proc\\self", L"\\proc\\self\\mem", digest));
    EXPECT_TRUE(digest.empty());
    EXPECT_EQ(err.text.rfind(L"Failed to read file for SHA256. error=", 0), 0u) << err.text;
    EXPECT_NE(err.text.find(L"path=\\proc\\self\\mem"), std::wstring::npos);
    EXPECT_NE(err.code, 0u);
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

}  // namespace
}  // namespace rr
