// The full client package over an in-memory HTTP client: the lines its
// download and checks leave in the main log, first download and reuse.
#include "base/text.h"
#include "package/full_client_package.h"

#include <gtest/gtest.h>

#include "fake_http_client.h"
#include "log_capture.h"
#include "test_support.h"

namespace rr {
namespace {

using Lines = std::vector<std::wstring>;

const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class FullClientPackageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        source.url = L"http://127.0.0.1:8080/full/Client.zip";
        http.Serve(source.url, "abc");
    }
    // The lines that tell how the package was got and checked.
    Lines PackageLines() const {
        Lines kept;
        for (const std::wstring& line : logs.MainLines()) {
            if (line.rfind(L"File ", 0) == 0 || line.rfind(L"WARNING", 0) == 0 ||
                line.rfind(L"Already", 0) == 0) {
                kept.push_back(line);
            }
        }
        return kept;
    }
    test::FakeHttpClient http;
    test::LogCapture logs;
    test::TempDir dir;
    PackageSource source;
    PackageSettings package;
};

TEST_F(FullClientPackageTest, DownloadThenReuseLogEveryCheck) {
    source.size = L"3";
    source.sha256 = Utf8ToUtf16(kAbcDigest);
    ASSERT_TRUE(ObtainFullClientPackage(http, dir.core(), source, true, package));
    ASSERT_TRUE(ObtainFullClientPackage(http, dir.core(), source, true, package));
    EXPECT_EQ(http.requests.size(), 1u) << "the second run reuses the package";
    EXPECT_EQ(PackageLines(), (Lines{
                                  L"File HTTP status=200",
                                  L"File size validation OK: 3",
                                  L"File SHA256 validation OK: " + Utf8ToUtf16(kAbcDigest),
                                  L"File size validation OK: 3",
                                  L"Already downloaded and valid: " + package.packagePath,
                                  L"File size validation OK: 3",
                                  L"File SHA256 validation OK: " + Utf8ToUtf16(kAbcDigest),
                              }));
}

TEST_F(FullClientPackageTest, WithoutSizeOrDigestOnlyTheWarningsAreLogged) {
    ASSERT_TRUE(ObtainFullClientPackage(http, dir.core(), source, false, package));
    EXPECT_EQ(PackageLines(),
              (Lines{
                  L"WARNING: no SHA256 configured. Download is allowed for test only; "
                  L"extraction/apply remains disabled.",
                  L"File HTTP status=200",
                  L"WARNING: no SHA256 configured. No extraction/apply is allowed for this full "
                  L"client package.",
              }));

    // A download that fails leaves its reason and the package's own line.
    http.Serve(source.url, "", 404);
    EXPECT_FALSE(ObtainFullClientPackage(http, dir.core(), source, false, package));
    Lines lines = logs.MainLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], L"Rejected file HTTP status=404 url=" + source.url);
    EXPECT_EQ(lines.back(), L"Full client ZIP download failed. No client files were touched.");
}

}  // namespace
}  // namespace rr
