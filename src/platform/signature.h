#pragma once
#include <cstddef>
#include <cstdint>

namespace rr::platform {

// An uncompressed P-256 public point: 0x04, then X and Y, 32 bytes each.
constexpr size_t kP256PointBytes = 65;
// A P-256 signature in the raw form: r, then s, 32 bytes each, big-endian.
constexpr size_t kP256SignatureBytes = 64;
constexpr size_t kSha256Bytes = 32;

enum class SignatureCheck {
    kValid,
    kInvalid,  // well formed, but not made by this key over this digest
    kFailed,   // the check could not be made; LastError() tells
};

// ECDSA P-256 over a SHA-256 digest: BCryptVerifySignature on Windows, OpenSSL
// EVP on POSIX. A point that is not on the curve is kFailed or kInvalid, never
// kValid.
SignatureCheck VerifyP256Signature(const uint8_t (&publicPoint)[kP256PointBytes],
                                   const uint8_t (&digest)[kSha256Bytes],
                                   const uint8_t (&signature)[kP256SignatureBytes]);

}  // namespace rr::platform
