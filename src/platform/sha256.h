#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace rr::platform {

constexpr size_t kSha256DigestBytes = 32;

// One SHA-256 computation through the system's crypto service (CryptoAPI on
// Windows, OpenSSL EVP on POSIX). Every call returns false on failure with
// LastError() set; the object releases its handles on destruction.
class Sha256Hasher {
  public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    bool Init();
    bool Update(const void* data, size_t size);
    bool Final(uint8_t (&digest)[kSha256DigestBytes]);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace rr::platform
