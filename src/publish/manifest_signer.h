#pragma once
#include <memory>
#include <string>

#include "base/error.h"

namespace rr::publish {

// Signs manifests with the publisher's ECDSA P-256 private key (PEM, not
// encrypted) through OpenSSL: the DER signature `openssl dgst -sha256 -sign`
// would write. Native builds only: the publisher runs on the release machine.
class ManifestSigner {
  public:
    ManifestSigner();
    ~ManifestSigner();
    ManifestSigner(const ManifestSigner&) = delete;
    ManifestSigner& operator=(const ManifestSigner&) = delete;

    // Reads the key and refuses any key but P-256. Also installs its public
    // half as the process's publisher key, so that Sign can check each
    // signature the way the updater will.
    bool Load(const std::wstring& pemPath, Error* err);
    // DER signature over the exact bytes, verified before it is returned.
    bool Sign(const std::string& body, std::string& signature, Error* err);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace rr::publish
