#include "manifest/manifest_signature.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "net/http.h"
#include "platform/error.h"
#include "platform/sha256.h"

namespace rr {

namespace {

struct PublisherKey {
    bool required = false;
    bool usable = false;
    uint8_t point[platform::kP256PointBytes] = {};
};

PublisherKey& Key() {
    static PublisherKey key;
    return key;
}

// SubjectPublicKeyInfo { id-ecPublicKey, prime256v1 }, BIT STRING of 66 bytes
// (no unused bits, then the uncompressed point).
constexpr uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Standard base64 with line breaks; '=' only as the final padding.
bool DecodeBase64(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    uint32_t accumulator = 0;
    int bits = 0;
    size_t padding = 0;
    size_t symbols = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        }
        if (c == '=') {
            ++padding;
            ++symbols;
            continue;
        }
        int value = Base64Value(c);
        if (value < 0 || padding != 0) {
            return false;
        }
        ++symbols;
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((accumulator >> bits) & 0xFF));
        }
    }
    return padding <= 2 && symbols % 4 == 0;
}

// One DER INTEGER at pos holding a positive value of at most 32 bytes,
// minimally encoded, written right-aligned into out.
bool ReadDerInteger(std::string_view der, size_t& pos, uint8_t* out) {
    if (pos + 2 > der.size() || static_cast<uint8_t>(der[pos]) != 0x02) {
        return false;
    }
    size_t length = static_cast<uint8_t>(der[pos + 1]);
    pos += 2;
    if (length == 0 || length > 33 || pos + length > der.size()) {
        return false;
    }
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(der[pos + i]); };
    if ((byte(0) & 0x80) != 0) {
        return false;  // negative
    }
    if (length > 1 && byte(0) == 0x00 && (byte(1) & 0x80) == 0) {
        return false;  // a leading zero that is not needed
    }
    size_t skip = byte(0) == 0x00 && length > 1 ? 1 : 0;
    size_t width = length - skip;
    if (width > 32) {
        return false;
    }
    std::fill(out, out + 32, uint8_t{0});
    for (size_t i = 0; i < width; ++i) {
        out[32 - width + i] = byte(skip + i);
    }
    pos += length;
    return true;
}

}  // namespace

bool ParseP256PublicKeyPem(std::string_view pem, uint8_t (&point)[platform::kP256PointBytes]) {
    constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
    constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";
    size_t begin = pem.find(kBegin);
    if (begin == std::string_view::npos) {
        return false;
    }
    begin += kBegin.size();
    size_t end = pem.find(kEnd, begin);
    if (end == std::string_view::npos) {
        return false;
    }
    std::vector<uint8_t> der;
    if (!DecodeBase64(pem.substr(begin, end - begin), der)) {
        return false;
    }
    if (der.size() != sizeof(kP256SpkiPrefix) + platform::kP256PointBytes ||
        !std::equal(std::begin(kP256SpkiPrefix), std::end(kP256SpkiPrefix), der.begin())) {
        return false;
    }
    const uint8_t* rest = der.data() + sizeof(kP256SpkiPrefix);
    if (rest[0] != 0x04) {
        return false;  // compressed points are not taken
    }
    std::copy(rest, rest + platform::kP256PointBytes, point);
    return true;
}

bool ParseDerSignature(std::string_view der, uint8_t (&raw)[platform::kP256SignatureBytes]) {
    // The longest form, two 33-byte integers, is 2 + 2 * 35 = 72 bytes, so the
    // SEQUENCE length always fits the short form.
    if (der.size() < 2 || static_cast<uint8_t>(der[0]) != 0x30) {
        return false;
    }
    size_t length = static_cast<uint8_t>(der[1]);
    if ((length & 0x80) != 0 || length + 2 != der.size()) {
        return false;
    }
    size_t pos = 2;
    if (!ReadDerInteger(der, pos, raw) || !ReadDerInteger(der, pos, raw + 32)) {
        return false;
    }
    return pos == der.size();
}

bool InstallManifestPublicKey(std::string_view pem) {
    PublisherKey& key = Key();
    key = PublisherKey{};
    if (pem.empty()) {
        return true;
    }
    key.required = true;
    key.usable = ParseP256PublicKeyPem(pem, key.point);
    return key.usable;
}

bool ManifestSignatureRequired() {
    return Key().required;
}

ManifestSignatureStatus CheckManifestSignatureBytes(std::string_view body, std::string_view der,
                                                    Error* err) {
    const PublisherKey& key = Key();
    if (!key.usable) {
        Fail(err, platform::LastError());
        return ManifestSignatureStatus::kFailed;
    }
    uint8_t raw[platform::kP256SignatureBytes];
    if (!ParseDerSignature(der, raw)) {
        return ManifestSignatureStatus::kMalformed;
    }
    platform::Sha256Hasher hasher;
    uint8_t digest[platform::kSha256DigestBytes];
    if (!hasher.Init() || !hasher.Update(body.data(), body.size()) || !hasher.Final(digest)) {
        Fail(err, platform::LastError());
        return ManifestSignatureStatus::kFailed;
    }
    switch (platform::VerifyP256Signature(key.point, digest, raw)) {
        case platform::SignatureCheck::kValid:
            return ManifestSignatureStatus::kValid;
        case platform::SignatureCheck::kInvalid:
            return ManifestSignatureStatus::kInvalid;
        case platform::SignatureCheck::kFailed:
            break;
    }
    Fail(err, platform::LastError());
    return ManifestSignatureStatus::kFailed;
}

bool VerifyManifestSignature(HttpClient& http, const std::wstring& manifestUrl,
                             std::string_view body) {
    if (!Key().usable) {
        LogMain(
            L"Manifest rejected: this build's publisher key is unusable; no manifest can be "
            L"accepted.");
        return false;
    }
    const std::wstring signatureUrl = manifestUrl + L".sig";
    LogMain(L"Downloading manifest signature: " + signatureUrl);
    std::string der;
    Error err;
    const TransferEvents events{
        [](uint32_t status) { LogMain(HttpStatusLine(HttpUse::kFetch, status)); }};
    if (!FetchUrlToMemory(http, signatureUrl, kManifestSignatureMaxBytes, der, events, &err)) {
        if (!err.text.empty()) {
            LogMain(err.text);
        }
        LogMain(L"Manifest rejected: signature missing or not downloadable: " + signatureUrl);
        return false;
    }
    Error check;
    switch (CheckManifestSignatureBytes(body, der, &check)) {
        case ManifestSignatureStatus::kValid:
            LogMain(L"Manifest signature verified: " + signatureUrl);
            return true;
        case ManifestSignatureStatus::kMalformed:
            LogMain(L"Manifest rejected: signature is not a DER ECDSA P-256 signature. bytes=" +
                    ToDecimal(der.size()) + L" url=" + signatureUrl);
            return false;
        case ManifestSignatureStatus::kInvalid:
            LogMain(L"Manifest rejected: signature does not verify with the publisher key: " +
                    signatureUrl);
            return false;
        case ManifestSignatureStatus::kFailed:
            break;
    }
    LogMain(L"Manifest rejected: signature check could not be made. error=" +
            ToDecimal(check.code) + L" url=" + signatureUrl);
    return false;
}

}  // namespace rr
