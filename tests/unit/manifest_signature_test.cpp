// Signature checks against vectors made with the openssl command line
// (`openssl dgst -sha256 -sign`) and the test publisher key of tests/keys:
// the same cases run natively (OpenSSL) and under Wine (BCrypt).
#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest_signature.h"

namespace rr {
namespace {

const char kPublicKeyPem[] = R"pem(-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE8MV/u07amZ2FirJAtT1Iu7SKm5vB
GQfpaSBqPdXDxgYD3fhH3bag3HWu4K8yeqmnxlT57tlD43ZVOOOXLenK5g==
-----END PUBLIC KEY-----
)pem";
// The same key with the point compressed, and an RSA key: neither is taken.
const char kCompressedPem[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgAC8MV/u07amZ2FirJAtT1Iu7SKm5vB\n"
    "GQfpaSBqPdXDxgY=\n"
    "-----END PUBLIC KEY-----\n";
const char kRsaPem[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDJ3DPAPU8TOFWHPvB06nKS2aFi\n"
    "zZbJx3js0U7PcguWirGkBq8NeJ9jaFDl+aDX97I26aQ6zjoc4EVMythQifIvQk9h\n"
    "U0BlMqBWNm+pkIWm8w4qJUTab3Ppl1KgKIMb+AvJnrwqpuX8ucpJXQVHm7QnGyRC\n"
    "YIxS1aap285WXcCpSwIDAQAB\n"
    "-----END PUBLIC KEY-----\n";

const std::string kBody = R"json({"version":"1","sequence":3,"files":[]})json";
const unsigned char kSignature[] = {
    0x30, 0x45, 0x02, 0x21, 0x00, 0x9c, 0x74, 0xfb, 0x59, 0x1f, 0x9b, 0x82, 0x7d, 0xca, 0x38,
    0xc1, 0xeb, 0x73, 0x08, 0xb9, 0xba, 0x71, 0x1f, 0xd7, 0xec, 0x6e, 0x85, 0xa4, 0xbf, 0x35,
    0x99, 0x74, 0x69, 0xe7, 0xbb, 0x6e, 0x2d, 0x02, 0x20, 0x6e, 0x9d, 0x76, 0x38, 0xe1, 0xcd,
    0x5b, 0x8b, 0xf9, 0xb6, 0xcd, 0x82, 0x44, 0xd6, 0x38, 0x52, 0x64, 0x23, 0x26, 0x21, 0x9d,
    0xe1, 0xde, 0xf3, 0x2c, 0x27, 0x29, 0xd0, 0x23, 0x5c, 0x0b, 0x91};
const unsigned char kOtherKeySignature[] = {
    0x30, 0x45, 0x02, 0x21, 0x00, 0xe4, 0x6c, 0x29, 0x1f, 0x6f, 0xa1, 0x55, 0x19, 0xdc, 0x27,
    0x7c, 0x32, 0x8e, 0xcf, 0x12, 0x0d, 0x41, 0x87, 0xc8, 0xc2, 0xa7, 0x4d, 0xa6, 0xdb, 0xed,
    0xfd, 0x38, 0xc7, 0x08, 0xed, 0x6e, 0xc7, 0x02, 0x20, 0x01, 0x17, 0xe8, 0xea, 0xcf, 0x1d,
    0xaa, 0xff, 0x9c, 0x56, 0x20, 0x91, 0x89, 0x22, 0x79, 0x4b, 0xbc, 0xce, 0x66, 0x61, 0x81,
    0x86, 0x81, 0x34, 0x0f, 0x21, 0x25, 0xe5, 0x28, 0x48, 0xcc, 0x40};

std::string Bytes(const unsigned char* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

class ManifestSignature : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(InstallManifestPublicKey(kPublicKeyPem)); }
    // Later tests load manifests unsigned.
    void TearDown() override { InstallManifestPublicKey(""); }
    const std::string good = Bytes(kSignature, sizeof(kSignature));
};

TEST_F(ManifestSignature, AcceptsThePublishersSignatureAndNothingElse) {
    EXPECT_TRUE(ManifestSignatureRequired());
    EXPECT_EQ(CheckManifestSignatureBytes(kBody, good), ManifestSignatureStatus::kValid);

    for (size_t i = 0; i < kBody.size(); i += 7) {
        std::string changed = kBody;
        changed[i] ^= 0x01;
        EXPECT_EQ(CheckManifestSignatureBytes(changed, good), ManifestSignatureStatus::kInvalid)
            << "body byte " << i;
    }
    EXPECT_EQ(CheckManifestSignatureBytes(kBody + " ", good), ManifestSignatureStatus::kInvalid);
    EXPECT_EQ(
        CheckManifestSignatureBytes(kBody, Bytes(kOtherKeySignature, sizeof(kOtherKeySignature))),
        ManifestSignatureStatus::kInvalid);
    // A changed byte inside r or s still parses, and must not verify.
    for (size_t i : {6u, 20u, 40u, 60u, 70u}) {
        std::string changed = good;
        changed[i] ^= 0x01;
        EXPECT_EQ(CheckManifestSignatureBytes(kBody, changed), ManifestSignatureStatus::kInvalid)
            << "signature byte " << i;
    }
}

TEST_F(ManifestSignature, DerFormIsReadStrictly) {
    uint8_t raw[platform::kP256SignatureBytes];
    ASSERT_TRUE(ParseDerSignature(good, raw));
    // r had a sign byte (33 bytes), s none (32 bytes): both land right-aligned.
    EXPECT_EQ(Bytes(raw, 32), good.substr(5, 32));
    EXPECT_EQ(Bytes(raw + 32, 32), good.substr(39, 32));

    for (size_t length = 0; length < good.size(); ++length) {
        EXPECT_EQ(CheckManifestSignatureBytes(kBody, good.substr(0, length)),
                  ManifestSignatureStatus::kMalformed)
            << "first " << length << " bytes";
    }
    EXPECT_FALSE(ParseDerSignature(good + std::string(1, '\0'), raw));  // trailing byte

    std::string longForm = good;  // the SEQUENCE length in the long form
    longForm.replace(1, 1, std::string("\x81\x45", 2));
    EXPECT_FALSE(ParseDerSignature(longForm, raw));

    std::string negative = good;  // r without its sign byte reads negative
    negative.erase(4, 1);
    negative[1] = static_cast<char>(negative[1] - 1);
    negative[3] = 0x20;
    EXPECT_FALSE(ParseDerSignature(negative, raw));

    std::string padded = good;  // s with a zero byte it does not need
    padded.insert(39, 1, '\0');
    padded[1] = static_cast<char>(padded[1] + 1);
    padded[38] = 0x21;
    EXPECT_FALSE(ParseDerSignature(padded, raw));
}

TEST(ManifestPublicKey, OnlyAnUncompressedP256KeyIsTaken) {
    uint8_t point[platform::kP256PointBytes];
    ASSERT_TRUE(ParseP256PublicKeyPem(kPublicKeyPem, point));
    EXPECT_EQ(point[0], 0x04);
    EXPECT_FALSE(ParseP256PublicKeyPem(kCompressedPem, point));
    EXPECT_FALSE(ParseP256PublicKeyPem(kRsaPem, point));
    std::string broken = kPublicKeyPem;
    broken[40] = '*';
    EXPECT_FALSE(ParseP256PublicKeyPem(broken, point));
    EXPECT_FALSE(ParseP256PublicKeyPem(std::string(kPublicKeyPem).substr(0, 60), point));

    // A build whose key cannot be read refuses every manifest instead of
    // taking them unsigned.
    EXPECT_FALSE(InstallManifestPublicKey(kRsaPem));
    EXPECT_TRUE(ManifestSignatureRequired());
    EXPECT_EQ(CheckManifestSignatureBytes(kBody, Bytes(kSignature, sizeof(kSignature))),
              ManifestSignatureStatus::kFailed);
    EXPECT_TRUE(InstallManifestPublicKey(""));
    EXPECT_FALSE(ManifestSignatureRequired());
}

}  // namespace
}  // namespace rr
