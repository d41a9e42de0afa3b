#include "net/sha256.h"

#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "fs/file_ops.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/sha256.h"

namespace rr {

namespace {

constexpr size_t kHashChunkBytes = 32768;

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string DigestText(const uint8_t (&digest)[platform::kSha256DigestBytes]) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(platform::kSha256DigestBytes * 2);
    for (uint8_t byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    return text;
}

}  // namespace

namespace {

bool HashOpenFile(platform::FileReader& file, const std::wstring& path, std::string& digest) {
    // Declared after the file so that the hash is released before the file.
    platform::Sha256Hasher hasher;
    if (!hasher.Init()) {
        LogMain(L"CryptoAPI SHA256 init failed. error=" + ToDecimal(platform::LastError()));
        return false;
    }
    std::vector<unsigned char> buffer(kHashChunkBytes);
    for (;;) {
        size_t got = 0;
        if (!file.Read(buffer.data(), buffer.size(), got)) {
            // A digest of a partly read file would look like a content mismatch
            // at best and hide the fault; report the read error instead.
            LogMain(L"Failed to read file for SHA256. error=" + ToDecimal(platform::LastError()) +
                    L" path=" + path);
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!hasher.Update(buffer.data(), got)) {
            LogMain(L"CryptHashData failed. error=" + ToDecimal(platform::LastError()));
            return false;
        }
    }
    uint8_t value[platform::kSha256DigestBytes] = {};
    if (!hasher.Final(value)) {
        LogMain(L"CryptGetHashParam failed. error=" + ToDecimal(platform::LastError()));
        return false;
    }
    digest = DigestText(value);
    return true;
}

// Size of a regular file reached without following links below the root.
bool ReadRegularFileInfoBelow(const std::wstring& root, const std::wstring& path,
                              platform::FileInfo& info) {
    return StatBelow(root, path, info) && info.IsRegularFile();
}

}  // namespace

bool ComputeFileSha256(const std::wstring& path, std::string& digest) {
    digest.clear();
    platform::FileReader file;
    if (!file.Open(path)) {
        LogMain(L"Failed to open file for SHA256. error=" + ToDecimal(platform::LastError()) +
                L" path=" + path);
        return false;
    }
    return HashOpenFile(file, path, digest);
}

bool ComputeFileSha256Below(const ClientFolder& root, const std::wstring& path,
                            std::string& digest) {
    digest.clear();
    platform::FileReader file;
    WalkStop stop = WalkStop::kNone;
    if (!OpenFileBelow(root, path, file, &stop)) {
        std::wstring why = stop == WalkStop::kNone || stop == WalkStop::kFailed
                               ? std::wstring()
                               : std::wstring(L" (") + WalkStopText(stop) + L")";
        LogMain(L"Failed to open file for SHA256. error=" + ToDecimal(platform::LastError()) + why +
                L" path=" + path);
        return false;
    }
    return HashOpenFile(file, path, digest);
}

bool IsValidSha256Text(const std::string& text) {
    if (text.size() != platform::kSha256DigestBytes * 2) {
        return false;
    }
    for (char c : text) {
        if (!IsHexDigit(c)) {
            return false;
        }
    }
    return true;
}

bool Sha256TextEquals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool ValidateDownloadedFile(const std::wstring& root, const std::wstring& path,
                            const std::string& expectedSha256, uint64_t expectedSize) {
    platform::FileInfo info;
    if (!ReadRegularFileInfoBelow(root, path, info)) {
        LogMain(L"Failed to stat downloaded file: " + path);
        return false;
    }
    if (info.size != expectedSize) {
        LogMain(L"Downloaded file size mismatch. expected=" + ToDecimal(expectedSize) +
                L" actual=" + ToDecimal(info.size));
        return false;
    }
    std::string actual;
    if (!ComputeFileSha256Below(root, path, actual)) {
        return false;
    }
    if (!Sha256TextEquals(expectedSha256, actual)) {
        LogMain(L"Downloaded file SHA256 mismatch. expected=" + Utf8ToUtf16(expectedSha256) +
                L" actual=" + Utf8ToUtf16(actual));
        return false;
    }
    return true;
}

bool ValidateDownloadedFile(const std::wstring& path, const std::string& expectedSha256,
                            uint64_t expectedSize) {
    return ValidateDownloadedFile(ParentPath(path), path, expectedSha256, expectedSize);
}

bool ValidateFileSize(const std::wstring& root, const std::wstring& path, bool sizeConfigured,
                      uint64_t expectedSize) {
    if (!sizeConfigured) {
        return true;
    }
    platform::FileInfo info;
    if (!ReadRegularFileInfoBelow(root, path, info)) {
        LogMain(L"Failed to stat file for size validation: " + path);
        return false;
    }
    if (info.size != expectedSize) {
        LogMain(L"File size mismatch. expected=" + ToDecimal(expectedSize) + L" actual=" +
                ToDecimal(info.size) + L" path=" + path);
        return false;
    }
    LogMain(L"File size validation OK: " + ToDecimal(info.size));
    return true;
}

bool ValidateFileSize(const std::wstring& path, bool sizeConfigured, uint64_t expectedSize) {
    return ValidateFileSize(ParentPath(path), path, sizeConfigured, expectedSize);
}

bool ValidatePackageSha256(const std::wstring& root, const std::wstring& path,
                           const std::string& expectedSha256) {
    if (expectedSha256.empty()) {
        LogMain(
            L"WARNING: no SHA256 configured. No extraction/apply is allowed for this full client "
            L"package.");
        return true;
    }
    if (!IsValidSha256Text(expectedSha256)) {
        LogMain(L"Invalid expected SHA256 text: " + Utf8ToUtf16(expectedSha256));
        return false;
    }
    std::string actual;
    if (!ComputeFileSha256Below(root, path, actual)) {
        return false;
    }
    if (!Sha256TextEquals(expectedSha256, actual)) {
        LogMain(L"File SHA256 mismatch. expected=" + Utf8ToUtf16(expectedSha256) + L" actual=" +
                Utf8ToUtf16(actual) + L" path=" + path);
        return false;
    }
    LogMain(L"File SHA256 validation OK: " + Utf8ToUtf16(actual));
    return true;
}

bool ValidatePackageSha256(const std::wstring& path, const std::string& expectedSha256) {
    return ValidatePackageSha256(ParentPath(path), path, expectedSha256);
}

}  // namespace rr
