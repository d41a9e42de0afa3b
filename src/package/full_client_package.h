#pragma once
// The full client package: its settings from the command line, and a
// downloaded (or reused) copy in _full_tmp that matches the configured size
// and SHA-256.
#include <cstdint>
#include <string>

#include "fs/safe_fs.h"
#include "net/http_client.h"

namespace rr {

// The package as the command line names it, each text as given (empty when
// not given). The size is decimal text, checked here; the version is only
// logged.
struct PackageSource {
    std::wstring url;
    std::wstring sha256;
    std::wstring size;
    std::wstring version;
};

struct PackageSettings {
    bool sizeConfigured = false;
    uint64_t expectedSize = 0;
    std::string expectedSha256;  // empty when none is configured
    std::wstring fullTmpDir;
    std::wstring fileName;
    std::wstring packagePath;
};

// The file name for the package from the last segment of its URL (query and
// fragment cut off), other characters than ASCII letters, digits and . _ - ( )
// and space turned into '_'; "Orvella_Client.zip" when nothing usable remains.
std::wstring MakePackageFileName(const std::wstring& url);

// Decimal digits only, non-zero, at most 2^64 - 1.
bool ParsePackageSize(const std::wstring& text, uint64_t& size);

// Checks the package settings, then makes sure a package matching them lies in
// _full_tmp: a valid one already there is reused (and validated again), any
// other is downloaded afresh; one that fails its size or SHA-256 is deleted.
// Every failure is logged and shown; no client file is touched.
bool ObtainFullClientPackage(HttpClient& http, const ClientFolder& client,
                             const PackageSource& source, bool apply, PackageSettings& package);

}  // namespace rr
