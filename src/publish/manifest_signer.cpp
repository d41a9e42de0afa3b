#include "publish/manifest_signer.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>

#include <cstring>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "manifest/manifest_signature.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace rr::publish {

namespace {

constexpr size_t kKeyFileMaxBytes = 64 * 1024;

struct BioDeleter {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct PkeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

// An encrypted key would make OpenSSL prompt on the terminal; refuse instead.
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

// The key file, at most kKeyFileMaxBytes; `code` tells why it could not be read.
bool ReadSmallFile(const std::wstring& path, std::string& bytes, uint32_t& code) {
    platform::FileReader reader;
    if (!reader.Open(path)) {
        code = platform::LastError();
        return false;
    }
    char buffer[4096];
    for (;;) {
        size_t got = 0;
        if (!reader.Read(buffer, sizeof(buffer), got)) {
            code = platform::LastError();
            return false;
        }
        if (got == 0) {
            return true;
        }
        bytes.append(buffer, got);
        if (bytes.size() > kKeyFileMaxBytes) {
            code = platform::kErrorInvalidParameter;
            return false;
        }
    }
}

}  // namespace

struct ManifestSigner::Impl {
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
};

ManifestSigner::ManifestSigner() : impl_(std::make_unique<Impl>()) {}
ManifestSigner::~ManifestSigner() = default;

bool ManifestSigner::Load(const std::wstring& pemPath, Error* err) {
    std::string pem;
    uint32_t code = 0;
    if (!ReadSmallFile(pemPath, pem, code)) {
        return Fail(err, code,
                    L"signing key cannot be read (error=" + ToDecimal(code) + L"): " + pemPath);
    }
    std::unique_ptr<BIO, BioDeleter> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (in) {
        impl_->key.reset(PEM_read_bio_PrivateKey(in.get(), nullptr, NoPassphrase, nullptr));
    }
    if (!impl_->key) {
        return Fail(err, platform::kErrorSuccess,
                    L"signing key is not an unencrypted PEM private key: " + pemPath);
    }
    char group[64] = {};
    size_t groupLength = 0;
    if (EVP_PKEY_is_a(impl_->key.get(), "EC") != 1 ||
        EVP_PKEY_get_utf8_string_param(impl_->key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group,
                                       sizeof(group), &groupLength) != 1 ||
        std::strcmp(group, "prime256v1") != 0) {
        return Fail(err, platform::kErrorSuccess,
                    L"signing key is not an ECDSA P-256 (prime256v1) key: " + pemPath);
    }
    std::unique_ptr<BIO, BioDeleter> out(BIO_new(BIO_s_mem()));
    char* data = nullptr;
    long length = 0;
    if (!out || PEM_write_bio_PUBKEY(out.get(), impl_->key.get()) != 1 ||
        (length = BIO_get_mem_data(out.get(), &data)) <= 0 ||
        !InstallManifestPublicKey(std::string_view(data, static_cast<size_t>(length)))) {
        return Fail(err, platform::kErrorSuccess,
                    L"public half of the signing key cannot be used by the updater: " + pemPath);
    }
    return true;
}

bool ManifestSigner::Sign(const std::string& body, std::string& signature, Error* err) {
    signature.clear();
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!impl_->key || !ctx ||
        EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, impl_->key.get()) != 1) {
        return Fail(err, platform::kErrorSuccess, L"signing could not start");
    }
    // Deterministic nonces (RFC 6979) where the library has them (OpenSSL
    // 3.2 on), so that the same manifest gets the same signature; older
    // versions ignore the parameter and sign with a random nonce.
    unsigned int nonceType = 1;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_uint("nonce-type", &nonceType), OSSL_PARAM_END};
    EVP_PKEY_CTX_set_params(pctx, params);
    size_t length = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
    if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, body.size()) != 1) {
        return Fail(err, platform::kErrorSuccess, L"signing failed");
    }
    std::vector<unsigned char> der(length);
    if (EVP_DigestSign(ctx.get(), der.data(), &length, bytes, body.size()) != 1) {
        return Fail(err, platform::kErrorSuccess, L"signing failed");
    }
    signature.assign(reinterpret_cast<const char*>(der.data()), length);
    if (CheckManifestSignatureBytes(body, signature) != ManifestSignatureStatus::kValid) {
        signature.clear();
        return Fail(err, platform::kErrorSuccess,
                    L"the signature just made does not verify the way the updater checks it");
    }
    return true;
}

}  // namespace rr::publish
