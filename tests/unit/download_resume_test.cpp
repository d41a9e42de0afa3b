// What a resumed package download trusts: the Content-Range of a 206 must be
// exactly the rest of the file, and a kept validator counts only for the
// package it was kept for. The end-to-end suite shows the whole download.
#include <gtest/gtest.h>

#include "net/download_resume.h"
#include "test_support.h"

namespace rr {
namespace {

TEST(DownloadResumeTest, OnlyTheExactRestOfTheFileIsAccepted) {
    EXPECT_TRUE(IsRestOfFile(L"bytes 100-999/1000", 100, 1000));
    EXPECT_TRUE(IsRestOfFile(L"bytes 999-999/*", 999, 1000));
    for (const wchar_t* range :
         {L"bytes 0-999/1000", L"bytes 101-999/1000", L"bytes 100-998/1000", L"bytes 100-999/1001",
          L"bytes 100-999/1000 ", L"bytes 100-999", L"bytes 100-/1000", L"bytes -999/1000",
          L"items 100-999/1000", L"bytes 100-999/1000/1000", L"bytes 18446744073709551716-999/1000",
          L"bytes +100-999/1000", L""}) {
        EXPECT_FALSE(IsRestOfFile(range, 100, 1000)) << Utf16ToUtf8(range);
    }
}

TEST(DownloadResumeTest, AKeptValidatorBelongsToOnePackage) {
    test::TempDir dir;
    platform::DirHandle folder;
    ASSERT_TRUE(folder.OpenAnchor(dir.core()));
    const ResumeTarget a{1000, std::string(64, 'a')};
    const ResumeTarget b{1000, std::string(64, 'b')};
    const std::wstring name = ValidatorFileName(L"pkg.zip");
    ASSERT_TRUE(WriteValidator(folder, name, a, L"\"5f-3e8\""));
    std::wstring validator;
    EXPECT_FALSE(ReadValidator(folder, name, b, validator)) << "kept for another package";
    ASSERT_TRUE(ReadValidator(folder, name, ResumeTarget{1000, std::string(64, 'A')}, validator));
    EXPECT_EQ(validator, L"\"5f-3e8\"");
    EXPECT_FALSE(WriteValidator(folder, name, a, std::wstring(201, L'x')));
    test::WriteFile(
        dir.native() / "pkg.zip.resume",
        "sha256=" + std::string(64, 'a') + "\nvalidator=" + std::string(201, 'x') + "\n");
    EXPECT_FALSE(ReadValidator(folder, name, a, validator)) << "longer than ever written";
    EXPECT_TRUE(RemoveValidator(folder, name));
    EXPECT_TRUE(RemoveValidator(folder, name)) << "none left is fine";
}

}  // namespace
}  // namespace rr
