#include "publish/publisher.h"

#include <algorithm>

#include "base/text.h"
#include "fs/file_ops.h"
#include "policy/incremental_allowlist.h"
#include "base/path.h"
#include "policy/preserve_rules.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "manifest/manifest.h"
#include "manifest/manifest_freshness.h"
#include "net/http.h"
#include "net/sha256.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/sha256.h"
#include "publish/manifest_document.h"
#include "publish/manifest_signer.h"
#include "publish/package_zip.h"
#include "publish/release_scan.h"

namespace rr::publish {

const wchar_t* const kUpdateManifestName = L"manifest.json";
const wchar_t* const kFullManifestName = L"full-manifest.json";
const wchar_t* const kPackageName = L"Orvella_Client.zip";
const wchar_t* const kContentFolder = L"files";

namespace {

constexpr size_t kChunk = 256 * 1024;

// "error=N" for a platform error code.
std::wstring ErrorText(uint32_t code) {
    return L"error=" + ToDecimal(code);
}

std::string HexDigest(const uint8_t (&digest)[platform::kSha256DigestBytes]) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0xF]);
    }
    return text;
}

// Reads one release file without following links, hashing it and, when a
// writer is given, copying it.
bool HashReleaseFile(const std::wstring& releaseDir, const std::wstring& relative,
                     platform::FileWriter* copy, std::string& sha256, uint64_t& size, Error* err) {
    platform::FileReader reader;
    Error opened;
    const std::wstring path = JoinPath(releaseDir, relative);
    if (!OpenFileBelow(releaseDir, path, reader, &opened)) {
        return Fail(
            err, opened.code,
            L"release file cannot be opened (" + ErrorText(opened.code) + L"): " + relative);
    }
    platform::Sha256Hasher hasher;
    if (!hasher.Init()) {
        const uint32_t code = platform::LastError();
        return Fail(err, code, L"SHA-256 cannot start (" + ErrorText(code) + L")");
    }
    std::vector<char> buffer(kChunk);
    size = 0;
    for (;;) {
        size_t got = 0;
        if (!reader.Read(buffer.data(), buffer.size(), got)) {
            const uint32_t code = platform::LastError();
            return Fail(err, code,
                        L"release file cannot be read (" + ErrorText(code) + L"): " + relative);
        }
        if (got == 0) {
            break;
        }
        size += got;
        if (!hasher.Update(buffer.data(), got) ||
            (copy != nullptr && !copy->Write(buffer.data(), got))) {
            const uint32_t code = platform::LastError();
            return Fail(err, code,
                        L"release file cannot be copied (" + ErrorText(code) + L"): " + relative);
        }
    }
    uint8_t digest[platform::kSha256DigestBytes];
    if (!hasher.Final(digest)) {
        const uint32_t code = platform::LastError();
        return Fail(err, code, L"SHA-256 cannot finish (" + ErrorText(code) + L")");
    }
    sha256 = HexDigest(digest);
    return true;
}

std::wstring ContentRelative(const std::string& sha256) {
    const std::wstring hex = Utf8ToUtf16(sha256);
    return std::wstring(kContentFolder) + L"\\" + hex.substr(0, 2) + L"\\" + hex;
}

std::wstring ContentUrl(const std::string& sha256) {
    std::wstring url = ContentRelative(sha256);
    std::replace(url.begin(), url.end(), L'\\', L'/');
    return url;
}

// The output folder must be new or empty, and apart from the release: a
// stale file left in it would be served as part of this release, and an
// output inside the release would publish itself.
bool CheckOutputFolder(const PublishOptions& options, Error* err) {
    if (IsPathUnderRoot(options.outDir, options.releaseDir) ||
        IsPathUnderRoot(options.releaseDir, options.outDir)) {
        return Fail(err, platform::kErrorSuccess,
                    L"the output folder and the release folder must not contain each other");
    }
    platform::FileInfo info;
    if (!platform::ReadFileInfo(options.outDir, info)) {
        return true;  // made later
    }
    if (!info.IsDirectory() || info.IsReparsePoint()) {
        return Fail(err, platform::kErrorSuccess,
                    L"the output path exists and is not a folder: " + options.outDir);
    }
    platform::DirHandle folder;
    std::vector<platform::DirEntry> entries;
    if (!folder.OpenAnchor(options.outDir) || !folder.List(entries)) {
        const uint32_t code = platform::LastError();
        return Fail(
            err, code,
            L"the output folder cannot be listed (" + ErrorText(code) + L"): " + options.outDir);
    }
    if (!entries.empty()) {
        return Fail(err, platform::kErrorSuccess,
                    L"the output folder is not empty: " + options.outDir);
    }
    return true;
}

bool WriteOutputFile(const std::wstring& outDir, const std::wstring& relative,
                     const std::string& bytes, Error* err) {
    platform::FileWriter writer;
    const std::wstring path = JoinPath(outDir, relative);
    Error made;
    bool ok = CreateFileBelow(outDir, path, writer, &made);
    if (ok && !(writer.Write(bytes.data(), bytes.size()) && writer.Flush() && writer.Close())) {
        ok = false;
        made.code = platform::LastError();
    }
    if (!ok) {
        return Fail(err, made.code,
                    L"output file cannot be written (" + ErrorText(made.code) + L"): " + path);
    }
    return true;
}

// The manifest read back with the updater's own parser must name the same
// files with the same sizes and digests, and fit the updater's size limit.
bool CheckWithUpdaterParser(const std::string& body, const ManifestDocument& document,
                            uint64_t maxBytes, const wchar_t* name, Error* err) {
    if (body.size() > maxBytes) {
        return Fail(err, platform::kErrorSuccess,
                    std::wstring(name) + L" would be " + ToDecimal(body.size()) +
                        L" bytes; the updater reads at most " + ToDecimal(maxBytes));
    }
    Manifest parsed;
    bool same = ParseManifest(body, parsed) && parsed.files.size() == document.files.size() &&
                parsed.version == document.version;
    for (size_t i = 0; same && i < parsed.files.size(); ++i) {
        const PublishedFile& file = document.files[i];
        same = parsed.files[i].path == file.path && parsed.files[i].url == file.url &&
               parsed.files[i].size == file.size && parsed.files[i].sha256 == file.sha256;
    }
    if (same && document.hasSequence) {
        same = parsed.hasSequence && parsed.sequence == document.sequence &&
               parsed.expires == document.expires;
    }
    if (!same) {
        return Fail(
            err, platform::kErrorSuccess,
            std::wstring(name) + L" does not read back as written with the updater's parser");
    }
    return true;
}

struct Hashed {
    std::wstring relative;
    uint64_t size = 0;
    std::string sha256;
};

// The two manifests as text, with their signatures when a key is given.
struct RenderedManifests {
    std::string updateJson;
    std::string fullJson;
    std::string updateSig;
    std::string fullSig;
};

// Hashes everything first: the content names, and every decision after, are
// known before the output folder is touched.
bool HashRelease(const PublishOptions& options, const std::vector<ReleaseFile>& files,
                 std::vector<Hashed>& hashed, Error* err) {
    hashed.reserve(files.size());
    for (const ReleaseFile& file : files) {
        Hashed h{file.relative, 0, {}};
        if (!HashReleaseFile(options.releaseDir, file.relative, nullptr, h.sha256, h.size, err)) {
            return false;
        }
        hashed.push_back(std::move(h));
    }
    return true;
}

// The full manifest names every file; the update manifest those the update
// mode may replace, the others go to the report.
void BuildManifestDocuments(const PublishOptions& options, const std::vector<Hashed>& hashed,
                            ManifestDocument& update, ManifestDocument& full,
                            PublishReport& report) {
    for (ManifestDocument* document : {&update, &full}) {
        document->version = options.version;
        document->hasSequence = options.hasSequence;
        document->sequence = options.sequence;
        document->expires = options.expires;
    }
    full.full = true;
    full.managedRoots = options.managedRoots;
    full.preserve = options.preserve;
    // A signed updater keeps its rollback record there; a dry-run must not
    // report it as an extra file.
    if (std::none_of(full.preserve.begin(), full.preserve.end(), [](const std::wstring& rule) {
            return PreserveRuleMatches(MakeRuleKey(kSequenceRecordPath), rule);
        })) {
        full.preserve.push_back(kSequenceRecordPath);
    }
    for (const Hashed& h : hashed) {
        PublishedFile entry{h.relative, ContentUrl(h.sha256), h.size, h.sha256};
        full.files.push_back(entry);
        PathPolicyDecision decision;
        if (ClassifyIncrementalPath(h.relative, decision)) {
            update.files.push_back(entry);
        } else {
            report.leftOut.push_back(LeftOutFile{h.relative, decision.reason});
        }
    }
    report.fileCount = full.files.size();
    report.updateCount = update.files.size();
}

bool RenderManifests(const PublishOptions& options, const ManifestDocument& update,
                     const ManifestDocument& full, ManifestSigner& signer,
                     RenderedManifests& rendered, Error* err) {
    if (update.files.empty()) {
        return Fail(err, platform::kErrorSuccess,
                    L"no file of the release may be replaced by the update mode; the updater "
                    L"refuses a manifest without files");
    }
    rendered.updateJson = RenderManifestJson(update);
    rendered.fullJson = RenderManifestJson(full);
    if (!CheckWithUpdaterParser(rendered.updateJson, update, kUpdateManifestMaxBytes,
                                kUpdateManifestName, err) ||
        !CheckWithUpdaterParser(rendered.fullJson, full, kFullManifestMaxBytes, kFullManifestName,
                                err)) {
        return false;
    }
    return options.signKey.empty() || (signer.Sign(rendered.updateJson, rendered.updateSig, err) &&
                                       signer.Sign(rendered.fullJson, rendered.fullSig, err));
}

// Copies each distinct content once into the output folder, checking that
// the copy has the digest and size hashed before; `package` names, for every
// release file, the stored copy it is packed from.
bool StoreContent(const PublishOptions& options, const std::vector<Hashed>& hashed,
                  std::vector<PackageEntry>& package, Error* err) {
    std::vector<std::string> stored;
    for (const Hashed& h : hashed) {
        const std::wstring content = JoinPath(options.outDir, ContentRelative(h.sha256));
        package.push_back(PackageEntry{h.relative, content});
        if (std::find(stored.begin(), stored.end(), h.sha256) != stored.end()) {
            continue;
        }
        stored.push_back(h.sha256);
        platform::FileWriter writer;
        Error made;
        if (!CreateFileBelow(options.outDir, content, writer, &made)) {
            return Fail(err, made.code,
                        L"output file cannot be made (" + ErrorText(made.code) + L"): " + content);
        }
        std::string sha256;
        uint64_t size = 0;
        if (!HashReleaseFile(options.releaseDir, h.relative, &writer, sha256, size, err)) {
            return false;
        }
        if (!writer.Flush() || !writer.Close()) {
            const uint32_t code = platform::LastError();
            return Fail(err, code,
                        L"output file cannot be written (" + ErrorText(code) + L"): " + content);
        }
        if (sha256 != h.sha256 || size != h.size) {
            return Fail(err, platform::kErrorSuccess,
                        L"release file changed while it was published: " + h.relative);
        }
    }
    return true;
}

bool WriteManifests(const PublishOptions& options, const RenderedManifests& rendered, Error* err) {
    if (!WriteOutputFile(options.outDir, kUpdateManifestName, rendered.updateJson, err) ||
        !WriteOutputFile(options.outDir, kFullManifestName, rendered.fullJson, err)) {
        return false;
    }
    return options.signKey.empty() ||
           (WriteOutputFile(options.outDir, std::wstring(kUpdateManifestName) + L".sig",
                            rendered.updateSig, err) &&
            WriteOutputFile(options.outDir, std::wstring(kFullManifestName) + L".sig",
                            rendered.fullSig, err));
}

// The package is made from the stored copies, whose digests were checked as
// they were written.
bool WritePackage(const PublishOptions& options, const std::vector<PackageEntry>& package,
                  PublishReport& report) {
    const std::wstring packagePath = JoinPath(options.outDir, kPackageName);
    if (!WriteClientPackage(packagePath, package, &report.error)) {
        return false;
    }
    std::string packageSha;
    uint64_t packageSize = 0;
    if (!HashReleaseFile(options.outDir, kPackageName, nullptr, packageSha, packageSize,
                         &report.error)) {
        return false;
    }
    report.packageUrl = JoinUrl(options.baseUrl, kPackageName);
    report.packageSha256 = packageSha;
    report.packageSize = packageSize;
    return true;
}

}  // namespace

bool PublishRelease(const PublishOptions& options, PublishReport& report) {
    report = PublishReport{};
    std::vector<ReleaseFile> files;
    if (!ScanReleaseFolder(options.releaseDir, files, report.refusals)) {
        return false;
    }
    if (!CheckOutputFolder(options, &report.error)) {
        return false;
    }
    ManifestSigner signer;
    if (!options.signKey.empty() && !signer.Load(options.signKey, &report.error)) {
        return false;
    }
    std::vector<Hashed> hashed;
    if (!HashRelease(options, files, hashed, &report.error)) {
        return false;
    }
    ManifestDocument update;
    ManifestDocument full;
    BuildManifestDocuments(options, hashed, update, full, report);
    RenderedManifests rendered;
    if (!RenderManifests(options, update, full, signer, rendered, &report.error)) {
        return false;
    }

    // From here on the output folder is written.
    Error made;
    if (!CreateDirectoryTree(options.outDir, &made)) {
        return Fail(
            &report.error, made.code,
            L"output folder cannot be made (" + ErrorText(made.code) + L"): " + options.outDir);
    }
    std::vector<PackageEntry> package;
    return StoreContent(options, hashed, package, &report.error) &&
           WriteManifests(options, rendered, &report.error) &&
           WritePackage(options, package, report);
}

}  // namespace rr::publish
