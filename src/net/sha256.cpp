#include "net/sha256.h"

#include <cstdint>
#include <memory>

#include "base/text.h"
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

bool FailWithLastError(Error* err, const std::wstring& what, const std::wstring& tail = {}) {
    const uint32_t code = platform::LastError();
    return Fail(err, code, what + L" error=" + ToDecimal(code) + tail);
}

bool HashOpenFile(platform::FileReader& file, const std::wstring& path, std::string& digest,
                  Error* err) {
    // Declared after the file so that the hash is released before the file.
    platform::Sha256Hasher hasher;
    if (!hasher.Init()) {
        return FailWithLastError(err, L"CryptoAPI SHA256 init failed.");
    }
    // Left uninitialized: only what a read filled is hashed.
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kHashChunkBytes);
    for (;;) {
        size_t got = 0;
        if (!file.Read(buffer.get(), kHashChunkBytes, got)) {
            // A digest of a partly read file would look like a content mismatch
            // at best and hide the fault; report the read error instead.
            return FailWithLastError(err, L"Failed to read file for SHA256.", L" path=" + path);
        }
        if (got == 0) {
            break;
        }
        if (!hasher.Update(buffer.get(), got)) {
            return FailWithLastError(err, L"CryptHashData failed.");
        }
    }
    uint8_t value[platform::kSha256DigestBytes] = {};
    if (!hasher.Final(value)) {
        return FailWithLastError(err, L"CryptGetHashParam failed.");
    }
    digest = DigestText(value);
    return true;
}

}  // namespace

bool ComputeFileSha256Below(const ClientFolder& root, const std::wstring& path, std::string& digest,
                            Error* err) {
    digest.clear();
    platform::FileReader file;
    Error open;
    if (!OpenFileBelow(root, path, file, &open)) {
        std::wstring why = open.stop == WalkStop::kNone || open.stop == WalkStop::kFailed
                               ? std::wstring()
                               : std::wstring(L" (") + WalkStopText(open.stop) + L")";
        return Fail(err, open.code,
                    L"Failed to open file for SHA256. error=" + ToDecimal(open.code) + why +
                        L" path=" + path,
                    open.stop);
    }
    return HashOpenFile(file, path, digest, err);
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

}  // namespace rr
