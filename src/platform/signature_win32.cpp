#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/error.h"
#include "platform/signature.h"

namespace rr::platform {

namespace {

// NTSTATUS values; mingw's headers do not define all of them for user mode.
constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusInvalidSignature = static_cast<LONG>(0xC000A000L);
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000DL);

class AlgorithmProvider {
  public:
    AlgorithmProvider() = default;
    ~AlgorithmProvider() {
        if (h_ != nullptr) {
            ::BCryptCloseAlgorithmProvider(h_, 0);
        }
    }
    AlgorithmProvider(const AlgorithmProvider&) = delete;
    AlgorithmProvider& operator=(const AlgorithmProvider&) = delete;
    BCRYPT_ALG_HANDLE* out() { return &h_; }
    BCRYPT_ALG_HANDLE get() const { return h_; }

  private:
    BCRYPT_ALG_HANDLE h_ = nullptr;
};

class KeyHandle {
  public:
    KeyHandle() = default;
    ~KeyHandle() {
        if (h_ != nullptr) {
            ::BCryptDestroyKey(h_);
        }
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    BCRYPT_KEY_HANDLE* out() { return &h_; }
    BCRYPT_KEY_HANDLE get() const { return h_; }

  private:
    BCRYPT_KEY_HANDLE h_ = nullptr;
};

SignatureCheck Failed(LONG status) {
    // The NTSTATUS itself, so that a log line names what BCrypt said.
    SetLastErrorCode(static_cast<uint32_t>(status));
    return SignatureCheck::kFailed;
}

}  // namespace

SignatureCheck VerifyP256Signature(const uint8_t (&publicPoint)[kP256PointBytes],
                                   const uint8_t (&digest)[kSha256Bytes],
                                   const uint8_t (&signature)[kP256SignatureBytes]) {
    if (publicPoint[0] != 0x04) {
        return Failed(kStatusInvalidParameter);
    }
    AlgorithmProvider algorithm;
    LONG status =
        ::BCryptOpenAlgorithmProvider(algorithm.out(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (status != kStatusSuccess) {
        return Failed(status);
    }
    // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y without the 0x04 tag.
    uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + kP256PointBytes - 1];
    BCRYPT_ECCKEY_BLOB header{};
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    std::memcpy(blob, &header, sizeof(header));
    std::copy(publicPoint + 1, publicPoint + kP256PointBytes, blob + sizeof(header));
    KeyHandle key;
    status = ::BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(), blob,
                                   sizeof(blob), 0);
    if (status != kStatusSuccess) {
        return Failed(status);
    }
    // BCrypt takes the raw r || s form, which is what the caller holds.
    uint8_t digestCopy[kSha256Bytes];
    uint8_t signatureCopy[kP256SignatureBytes];
    std::copy(std::begin(digest), std::end(digest), digestCopy);
    std::copy(std::begin(signature), std::end(signature), signatureCopy);
    status = ::BCryptVerifySignature(key.get(), nullptr, digestCopy, sizeof(digestCopy),
                                     signatureCopy, sizeof(signatureCopy), 0);
    if (status == kStatusSuccess) {
        return SignatureCheck::kValid;
    }
    if (status == kStatusInvalidSignature) {
        return SignatureCheck::kInvalid;
    }
    return Failed(status);
}

}  // namespace rr::platform
