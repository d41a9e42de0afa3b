#include "package/full_client_package.h"

#include <cstdint>

#include "base/path.h"
#include "base/text.h"
#include "fs/safe_fs.h"
#include "log/delete_under_root.h"
#include "log/log.h"
#include "net/download_check.h"
#include "net/http.h"
#include "net/sha256.h"
#include "package/package_progress.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "ui/progress.h"

namespace rr {

namespace {

const wchar_t* const kDefaultPackageName = L"Orvella_Client.zip";
const wchar_t* const kDownloadFailed = L"Full client download failed";
const wchar_t* const kMainLogHint = L"Check Logs\\RiveRoravav.log";
constexpr uint64_t kDownloadSlackBytes = 1048576;
constexpr uint64_t kUnsizedDownloadLimit = 6442450944;  // 6 GiB

bool Fail(const std::wstring& status, const std::wstring& detail) {
    SetProgressState(status, detail, kMainLogHint, kProgressComplete, true);
    return false;
}

bool IsAllowedNameChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'.' || c == L'_' || c == L'-' || c == L'(' || c == L')' || c == L' ';
}

uint64_t DownloadLimit(const PackageSettings& package) {
    if (!package.sizeConfigured) {
        return kUnsizedDownloadLimit;
    }
    // Saturates: a size near 2^64 must not wrap the limit round to a tiny one.
    return package.expectedSize > UINT64_MAX - kDownloadSlackBytes
               ? UINT64_MAX
               : package.expectedSize + kDownloadSlackBytes;
}

bool CheckSettings(const PackageSource& source, bool apply, PackageSettings& package) {
    if (!IsHttpUrl(source.url)) {
        LogMain(L"Full client package URL is not configured or is not http/https.");
        return Fail(kDownloadFailed, L"Package URL not configured");
    }
    package.sizeConfigured = !source.size.empty();
    if (package.sizeConfigured && !ParsePackageSize(source.size, package.expectedSize)) {
        LogMain(L"Invalid full client package size: " + source.size);
        return Fail(kDownloadFailed, L"Invalid package size");
    }
    package.expectedSha256 = Utf16ToUtf8(source.sha256);
    if (package.expectedSha256.empty()) {
        LogMain(
            L"WARNING: no SHA256 configured. Download is allowed for test only; extraction/apply "
            L"remains disabled.");
        if (apply) {
            LogMain(L"Full-client apply requires package SHA256. Aborting.");
            return Fail(L"Repair failed", L"Package SHA256 is required for apply");
        }
    } else if (!IsValidSha256Text(package.expectedSha256)) {
        LogMain(L"Invalid full client SHA256: " + source.sha256);
        return Fail(kDownloadFailed, L"Invalid package SHA256");
    }
    return true;
}

bool PrepareFullTmp(const ClientFolder& client, const PackageSource& source,
                    PackageSettings& package) {
    package.fullTmpDir = JoinPath(client.Path(), L"_full_tmp");
    // Made through handles from the client folder: a link standing at
    // _full_tmp is refused, so the package can never land outside.
    Error err;
    if (!CreateFolderBelow(client, package.fullTmpDir, &err)) {
        LogMain(L"Failed to create _full_tmp directory. error=" + ToDecimal(err.code) + L" path=" +
                package.fullTmpDir);
        return Fail(kDownloadFailed, L"Could not create _full_tmp");
    }
    package.fileName = MakePackageFileName(source.url);
    package.packagePath = JoinPath(package.fullTmpDir, package.fileName);
    if (!IsPathUnderRoot(package.packagePath, package.fullTmpDir) ||
        IsSamePath(package.packagePath, package.fullTmpDir)) {
        LogMain(L"Refused unsafe full client output path: " + package.packagePath);
        return Fail(kDownloadFailed, L"Unsafe output path");
    }
    LogMain(L"full tmp dir=" + package.fullTmpDir);
    LogMain(L"output zip path=" + package.packagePath);
    LogMain(package.sizeConfigured ? L"expected size=" + ToDecimal(package.expectedSize)
                                   : std::wstring(L"expected size=not configured"));
    LogMain(package.expectedSha256.empty() ? std::wstring(L"expected sha256=not configured")
                                           : L"expected sha256=" + source.sha256);
    return true;
}

void LogSizeValidated(const PackageSettings& package) {
    if (package.sizeConfigured) {
        LogMain(L"File size validation OK: " + ToDecimal(package.expectedSize));
    }
}

bool IsResumable(const PackageSettings& package) {
    return package.sizeConfigured && !package.expectedSha256.empty();
}

// A package left by an earlier run counts only with a configured SHA-256 that
// it matches; without one nothing tells a good package from a bad one.
bool IsReusable(const ClientFolder& client, const PackageSettings& package) {
    platform::FileInfo info;
    if (package.expectedSha256.empty() || !StatBelow(client, package.packagePath, info) ||
        info.IsDirectory()) {
        return false;
    }
    SetProgressState(L"Checking existing package...", package.fileName, L"Validating SHA256",
                     kPackageReuseCheckPoint, false);
    std::string digest;
    Error err;
    // A file shorter than the package cannot be it: no need to read it all.
    const bool shorter = package.sizeConfigured && info.size < package.expectedSize;
    if (!shorter && ComputeFileSha256Below(client, package.packagePath, digest, &err) &&
        Sha256TextEquals(digest, package.expectedSha256) &&
        ValidateFileSize(client, package.packagePath, package.sizeConfigured, package.expectedSize,
                         &err)) {
        LogSizeValidated(package);
        return true;
    }
    if (!err.text.empty()) {
        LogMain(err.text);
    }
    LogMain(
        L"Existing full client package is missing/invalid; downloading again inside _full_tmp "
        L"only.");
    return false;
}

// One attempt at the package, shown and logged as every attempt is.
bool DownloadOnce(HttpClient& http, const ClientFolder& client, const std::wstring& url,
                  const PackageSettings& package, RetryCause& cause) {
    std::wstring hint = L"Downloaded 0.00 MB";
    if (package.sizeConfigured) {
        hint += L" / " + FormatMegabytes(package.expectedSize);
    }
    SetProgressState(L"Downloading full client...", package.fileName, hint, kPackageDownloadPoint,
                     false);
    const uint64_t announced = package.sizeConfigured ? package.expectedSize : 0;
    const TransferEvents events{
        [](uint32_t status) { LogMain(HttpStatusLine(HttpUse::kDownload, status)); },
        [&](uint64_t received, bool complete) {
            ShowDownloadProgress(package.fileName, 1, 1, received, announced, complete);
        },
        &cause,
        [&](uint64_t offset) {
            LogMain(L"Resuming full client download at " + ToDecimal(offset) + L" of " +
                    ToDecimal(package.expectedSize) + L" bytes.");
        },
        [] { LogMain(L"Server did not resume; downloading from the start."); }};
    const DownloadRequest request{url, client, package.packagePath, DownloadLimit(package)};
    Error err;
    // Only a package whose size and digest are known can be pieced together
    // safely: the digest decides in the end whatever the server sent.
    const bool ok =
        IsResumable(package)
            ? DownloadResumable(http, request, {package.expectedSize, package.expectedSha256},
                                events, &err)
            : DownloadUrlToFile(http, request, events, &err);
    if (!ok) {
        LogMain(err.text);
    }
    return ok;
}

bool Download(HttpClient& http, const ClientFolder& client, const std::wstring& url,
              const PackageSettings& package) {
    if (!WithRetries(http.Retries(), url, [&](RetryCause& cause) {
            return DownloadOnce(http, client, url, package, cause);
        })) {
        LogMain(L"Full client ZIP download failed. No client files were touched.");
        return Fail(kDownloadFailed, L"Download failed");
    }
    return true;
}

// A package that fails its size or digest is of no use to any later run,
// and neither is what was kept to resume it.
void DeleteInvalidPackage(const ClientFolder& client, const PackageSettings& package) {
    if (!DeleteTreeUnderRoot(package.packagePath, client)) {
        LogMain(L"Failed to delete invalid full client package: " + package.packagePath);
    }
    const std::wstring validator =
        JoinPath(package.fullTmpDir, ValidatorFileName(package.fileName));
    if (IsResumable(package) && !DeleteTreeUnderRoot(validator, client)) {
        LogMain(L"Failed to delete invalid full client package: " + validator);
    }
}

bool Validate(const ClientFolder& client, const PackageSettings& package) {
    SetProgressState(L"Validating full client package...", package.fileName,
                     L"Checking size and SHA256", kPackageValidatePoint, false);
    Error err;
    if (!ValidateFileSize(client, package.packagePath, package.sizeConfigured, package.expectedSize,
                          &err)) {
        LogMain(err.text);
        DeleteInvalidPackage(client, package);
        return Fail(kDownloadFailed, L"Size validation failed");
    }
    LogSizeValidated(package);
    std::string digest;
    if (!ValidatePackageSha256(client, package.packagePath, package.expectedSha256, digest, &err)) {
        LogMain(err.text);
        DeleteInvalidPackage(client, package);
        return Fail(kDownloadFailed, L"SHA256 validation failed");
    }
    LogMain(package.expectedSha256.empty()
                ? std::wstring(L"WARNING: no SHA256 configured. No extraction/apply is allowed "
                               L"for this full client package.")
                : L"File SHA256 validation OK: " + Utf8ToUtf16(digest));
    return true;
}

}  // namespace

std::wstring MakePackageFileName(const std::wstring& url) {
    std::wstring name = url.substr(0, url.find_first_of(L"?#"));
    const size_t slash = name.find_last_of(L"/\\");
    if (slash != std::wstring::npos) {
        name.erase(0, slash + 1);
    }
    if (name.empty()) {
        return kDefaultPackageName;
    }
    for (wchar_t& c : name) {
        if (!IsAllowedNameChar(c)) {
            c = L'_';
        }
    }
    // Names Windows would alter or read as a device (a trailing dot or space,
    // NUL.zip) would put the package somewhere other than where it is checked.
    std::wstring normalized;
    if (name.find(L"..") != std::wstring::npos || !ValidateRelativePath(name, normalized)) {
        return kDefaultPackageName;
    }
    return name;
}

bool ParsePackageSize(const std::wstring& text, uint64_t& size) {
    size = 0;
    uint64_t value = 0;
    if (!ParseDecimal(text, value) || value == 0) {
        return false;
    }
    size = value;
    return true;
}

bool ObtainFullClientPackage(HttpClient& http, const ClientFolder& client,
                             const PackageSource& source, bool apply, PackageSettings& package) {
    package = PackageSettings{};
    SetProgressState(L"Starting full client download...", L"Validating package config", L"",
                     kPackageStartPoint, false);
    if (!CheckSettings(source, apply, package) || !PrepareFullTmp(client, source, package)) {
        return false;
    }
    if (IsReusable(client, package)) {
        LogMain(L"Already downloaded and valid: " + package.packagePath);
        SetProgressState(L"Full client package ready", L"Already downloaded and valid",
                         package.packagePath, kPackageReadyPoint, false);
    } else if (!Download(http, client, source.url, package)) {
        return false;
    }
    if (!Validate(client, package)) {
        return false;
    }
    LogMain(L"Full client package downloaded and validated.");
    SetProgressState(L"Full client package downloaded and validated", package.fileName,
                     package.packagePath, kPackageValidatePoint, false);
    return true;
}

}  // namespace rr
