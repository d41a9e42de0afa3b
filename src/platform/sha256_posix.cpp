#include <openssl/evp.h>

#include "platform/error.h"
#include "platform/sha256.h"

namespace rr::platform {

namespace {

// ERROR_GEN_FAILURE: OpenSSL reports no errno that would say more.
constexpr uint32_t kErrorGenFailure = 31;

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// SHA-256 of the default provider, looked up once for the process: given
// EVP_sha256(), every EVP_DigestInit_ex fetches it again (OpenSSL 3), a cost
// that a scan of many small files pays per file. Kept to the end.
const EVP_MD* Sha256Algorithm() {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    static const EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (fetched != nullptr) {
        return fetched;
    }
#endif
    return EVP_sha256();
}

}  // namespace

struct Sha256Hasher::Impl {
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> ctx;
    bool ready = false;
};

Sha256Hasher::Sha256Hasher() : impl_(std::make_unique<Impl>()) {}
Sha256Hasher::~Sha256Hasher() = default;

bool Sha256Hasher::Init() {
    impl_->ready = false;
    impl_->ctx.reset(EVP_MD_CTX_new());
    if (!impl_->ctx) {
        SetLastErrorCode(kErrorNotEnoughMemory);
        return false;
    }
    if (EVP_DigestInit_ex(impl_->ctx.get(), Sha256Algorithm(), nullptr) != 1) {
        impl_->ctx.reset();
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    impl_->ready = true;
    return true;
}

bool Sha256Hasher::Update(const void* data, size_t size) {
    if (!impl_->ready) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    if (EVP_DigestUpdate(impl_->ctx.get(), data, size) != 1) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    return true;
}

bool Sha256Hasher::Final(uint8_t (&digest)[kSha256DigestBytes]) {
    if (!impl_->ready) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    unsigned int length = 0;
    impl_->ready = false;
    if (EVP_DigestFinal_ex(impl_->ctx.get(), digest, &length) != 1 ||
        length != kSha256DigestBytes) {
        SetLastErrorCode(kErrorGenFailure);
        return false;
    }
    return true;
}

}  // namespace rr::platform
