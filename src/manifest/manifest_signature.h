#pragma once
// Signed manifests. A build that carries its publisher's ECDSA P-256 public key
// accepts a manifest only when the detached signature published beside it
// (the manifest URL + ".sig", DER as `openssl dgst -sha256 -sign` writes it)
// verifies over the exact body bytes. Whoever controls the network or a mirror
// can then serve no manifest of their own choosing. A build without a key
// does not look for signatures at all.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "net/http_client.h"
#include "platform/signature.h"

namespace rr {

// The largest .sig fetched: a DER P-256 signature is at most 72 bytes.
constexpr uint64_t kManifestSignatureMaxBytes = 1024;

// Sets the process's publisher key from its PEM text ("PUBLIC KEY", the
// SubjectPublicKeyInfo of a P-256 key). Empty text: manifests are not signed.
// A key that cannot be read still makes signatures required, and every
// manifest is then refused: a build meant to check cannot silently stop.
// Returns whether the key was usable (true for empty text).
bool InstallManifestPublicKey(std::string_view pem);
bool ManifestSignatureRequired();

// The 65-byte uncompressed point of a PEM "PUBLIC KEY" holding a P-256 key.
// Only that exact form is taken (what `openssl ec -pubout` writes).
bool ParseP256PublicKeyPem(std::string_view pem, uint8_t (&point)[platform::kP256PointBytes]);

// A DER ECDSA-Sig-Value (SEQUENCE of two INTEGERs) as raw r || s. Refused:
// trailing or missing bytes, long or indefinite lengths, negative or
// non-minimal integers, values wider than 32 bytes.
bool ParseDerSignature(std::string_view der, uint8_t (&raw)[platform::kP256SignatureBytes]);

enum class ManifestSignatureStatus {
    kValid,
    kMalformed,  // not a DER P-256 signature
    kInvalid,    // another key, or other bytes
    kFailed,     // no usable key, or the check itself could not be made
};

// Checks a detached DER signature over body with the installed key; logs nothing.
// On kFailed `err` (when given) holds the code of the check that could not be made.
ManifestSignatureStatus CheckManifestSignatureBytes(std::string_view body, std::string_view der,
                                                    Error* err = nullptr);

// Fetches manifestUrl + ".sig" and checks it over body. Every outcome writes
// its own line to the main log; true only for a valid signature.
bool VerifyManifestSignature(HttpClient& http, const std::wstring& manifestUrl,
                             std::string_view body);

}  // namespace rr
