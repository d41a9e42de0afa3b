#include "net/download_check.h"

#include "base/text.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "net/sha256.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace rr {

namespace {

// Size of a regular file reached without following links below the root;
// anything else there is refused as access denied. A failure's text is
// `failure` followed by the path.
bool ReadRegularFileSize(const ClientFolder& root, const std::wstring& path, const wchar_t* failure,
                         uint64_t& size, Error* err) {
    platform::FileInfo info;
    Error stat;
    if (!StatBelow(root, path, info, &stat)) {
        return Fail(err, stat.code, failure + path, stat.stop);
    }
    if (!info.IsRegularFile()) {
        return Fail(err, platform::kErrorAccessDenied, failure + path);
    }
    size = info.size;
    return true;
}

}  // namespace

bool ValidateDownloadedFile(const ClientFolder& root, const std::wstring& path,
                            const std::string& expectedSha256, uint64_t expectedSize, Error* err) {
    uint64_t size = 0;
    if (!ReadRegularFileSize(root, path, L"Failed to stat downloaded file: ", size, err)) {
        return false;
    }
    if (size != expectedSize) {
        return Fail(err, platform::kErrorSuccess,
                    L"Downloaded file size mismatch. expected=" + ToDecimal(expectedSize) +
                        L" actual=" + ToDecimal(size));
    }
    std::string actual;
    if (!ComputeFileSha256Below(root, path, actual, err)) {
        return false;
    }
    if (!Sha256TextEquals(expectedSha256, actual)) {
        return Fail(err, platform::kErrorSuccess,
                    L"Downloaded file SHA256 mismatch. expected=" + Utf8ToUtf16(expectedSha256) +
                        L" actual=" + Utf8ToUtf16(actual));
    }
    return true;
}

bool ValidateFileSize(const ClientFolder& root, const std::wstring& path, bool sizeConfigured,
                      uint64_t expectedSize, Error* err) {
    if (!sizeConfigured) {
        return true;
    }
    uint64_t size = 0;
    if (!ReadRegularFileSize(root, path, L"Failed to stat file for size validation: ", size, err)) {
        return false;
    }
    if (size != expectedSize) {
        return Fail(err, platform::kErrorSuccess,
                    L"File size mismatch. expected=" + ToDecimal(expectedSize) + L" actual=" +
                        ToDecimal(size) + L" path=" + path);
    }
    return true;
}

bool ValidatePackageSha256(const ClientFolder& root, const std::wstring& path,
                           const std::string& expectedSha256, std::string& actual, Error* err) {
    actual.clear();
    if (expectedSha256.empty()) {
        return true;
    }
    if (!IsValidSha256Text(expectedSha256)) {
        return Fail(err, platform::kErrorSuccess,
                    L"Invalid expected SHA256 text: " + Utf8ToUtf16(expectedSha256));
    }
    if (!ComputeFileSha256Below(root, path, actual, err)) {
        return false;
    }
    if (!Sha256TextEquals(expectedSha256, actual)) {
        return Fail(err, platform::kErrorSuccess,
                    L"File SHA256 mismatch. expected=" + Utf8ToUtf16(expectedSha256) + L" actual=" +
                        Utf8ToUtf16(actual) + L" path=" + path);
    }
    return true;
}

}  // namespace rr
