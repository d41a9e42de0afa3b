#include <windows.h>
#include <wincrypt.h>

#include "platform/error.h"
#include "platform/sha256.h"

namespace rr::platform {

namespace {

class CryptContext {
  public:
    CryptContext() = default;
    ~CryptContext() { Reset(); }
    CryptContext(const CryptContext&) = delete;
    CryptContext& operator=(const CryptContext&) = delete;
    HCRYPTPROV* out() { return &h_; }
    HCRYPTPROV get() const { return h_; }
    void Reset() {
        if (h_ != 0) {
            ::CryptReleaseContext(h_, 0);
            h_ = 0;
        }
    }

  private:
    HCRYPTPROV h_ = 0;
};

class CryptHash {
  public:
    CryptHash() = default;
    ~CryptHash() { Reset(); }
    CryptHash(const CryptHash&) = delete;
    CryptHash& operator=(const CryptHash&) = delete;
    HCRYPTHASH* out() { return &h_; }
    HCRYPTHASH get() const { return h_; }
    void Reset() {
        if (h_ != 0) {
            ::CryptDestroyHash(h_);
            h_ = 0;
        }
    }

  private:
    HCRYPTHASH h_ = 0;
};

}  // namespace

// The hash is declared after the context so that it is destroyed first.
struct Sha256Hasher::Impl {
    CryptContext context;
    CryptHash hash;
};

Sha256Hasher::Sha256Hasher() : impl_(std::make_unique<Impl>()) {}
Sha256Hasher::~Sha256Hasher() = default;

bool Sha256Hasher::Init() {
    impl_->hash.Reset();
    impl_->context.Reset();
    if (!::CryptAcquireContextW(impl_->context.out(), nullptr, nullptr, PROV_RSA_AES,
                                CRYPT_VERIFYCONTEXT)) {
        return false;
    }
    if (!::CryptCreateHash(impl_->context.get(), CALG_SHA_256, 0, 0, impl_->hash.out())) {
        DWORD error = ::GetLastError();
        impl_->context.Reset();
        ::SetLastError(error);
        return false;
    }
    return true;
}

bool Sha256Hasher::Update(const void* data, size_t size) {
    if (impl_->hash.get() == 0) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const BYTE* p = static_cast<const BYTE*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        if (!::CryptHashData(impl_->hash.get(), p, chunk, 0)) {
            return false;
        }
        p += chunk;
        size -= chunk;
    }
    return true;
}

bool Sha256Hasher::Final(uint8_t (&digest)[kSha256DigestBytes]) {
    if (impl_->hash.get() == 0) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD length = static_cast<DWORD>(kSha256DigestBytes);
    if (!::CryptGetHashParam(impl_->hash.get(), HP_HASHVAL, digest, &length, 0)) {
        return false;
    }
    if (length != kSha256DigestBytes) {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

}  // namespace rr::platform
