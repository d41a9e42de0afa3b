#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "platform/error.h"
#include "platform/signature.h"

namespace rr::platform {

namespace {

// ERROR_GEN_FAILURE: OpenSSL reports no errno that would say more.
constexpr uint32_t kErrorGenFailure = 31;

// SubjectPublicKeyInfo of an id-ecPublicKey on prime256v1 with a 65-byte
// uncompressed point; d2i_PUBKEY takes the key in exactly this form.
constexpr uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

struct PkeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct EcdsaSigDeleter {
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
struct BignumDeleter {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
struct OpenSslFree {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

SignatureCheck Failed() {
    SetLastErrorCode(kErrorGenFailure);
    return SignatureCheck::kFailed;
}

}  // namespace

SignatureCheck VerifyP256Signature(const uint8_t (&publicPoint)[kP256PointBytes],
                                   const uint8_t (&digest)[kSha256Bytes],
                                   const uint8_t (&signature)[kP256SignatureBytes]) {
    uint8_t spki[sizeof(kP256SpkiPrefix) + kP256PointBytes];
    std::copy(std::begin(kP256SpkiPrefix), std::end(kP256SpkiPrefix), spki);
    std::copy(std::begin(publicPoint), std::end(publicPoint), spki + sizeof(kP256SpkiPrefix));
    const unsigned char* cursor = spki;
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(
        d2i_PUBKEY(nullptr, &cursor, static_cast<long>(sizeof(spki))));
    if (!key) {
        return Failed();  // also a point that is not on the curve
    }

    // OpenSSL verifies the DER form; the raw r || s is encoded back here.
    std::unique_ptr<ECDSA_SIG, EcdsaSigDeleter> sig(ECDSA_SIG_new());
    std::unique_ptr<BIGNUM, BignumDeleter> r(BN_bin2bn(signature, 32, nullptr));
    std::unique_ptr<BIGNUM, BignumDeleter> s(BN_bin2bn(signature + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        return Failed();
    }
    r.release();  // owned by sig now
    s.release();
    unsigned char* derRaw = nullptr;
    int derLength = i2d_ECDSA_SIG(sig.get(), &derRaw);
    std::unique_ptr<unsigned char, OpenSslFree> der(derRaw);
    if (derLength <= 0) {
        return Failed();
    }

    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1) {
        return Failed();
    }
    int result =
        EVP_PKEY_verify(ctx.get(), der.get(), static_cast<size_t>(derLength), digest, kSha256Bytes);
    if (result == 1) {
        return SignatureCheck::kValid;
    }
    if (result == 0) {
        return SignatureCheck::kInvalid;
    }
    return Failed();
}

}  // namespace rr::platform
