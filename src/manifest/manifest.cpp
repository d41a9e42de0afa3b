#include "manifest/manifest.h"

#include <unordered_set>

#include "base/text.h"
#include "log/log.h"
#include "manifest/json.h"
#include "manifest/manifest_freshness.h"
#include "manifest/manifest_signature.h"
#include "net/http.h"
#include "platform/system.h"
#include "policy/preserve_rules.h"

namespace rr {

namespace {

// Parsing a fetched source shows 70% into that source's share of the band.
constexpr int kParsedPermille = 700;

bool ReadStringValue(std::string_view text, const JsonSpan& object, std::string_view key,
                     std::string& out) {
    size_t valueStart = 0;
    size_t valueEnd = 0;
    if (!FindJsonKey(text, object.start, object.end, key, valueStart, valueEnd)) {
        return false;
    }
    return ParseJsonString(text, valueStart, out);
}

// Digits at the start of the value (after whitespace), wrapping on overflow;
// a sign, a quote or anything else first is refused.
bool ReadSizeValue(std::string_view text, const JsonSpan& object, uint64_t& size) {
    size_t pos = 0;
    size_t valueEnd = 0;
    if (!FindJsonKey(text, object.start, object.end, "size", pos, valueEnd)) {
        return false;
    }
    while (pos < valueEnd && IsJsonWhitespace(text[pos])) {
        ++pos;
    }
    if (pos >= valueEnd || text[pos] < '0' || text[pos] > '9') {
        return false;
    }
    uint64_t value = 0;
    while (pos < valueEnd && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
        ++pos;
    }
    size = value;
    return true;
}

// A list member that may be absent; present, it must be an array of strings.
bool ReadOptionalList(std::string_view text, const JsonSpan& root, std::string_view key,
                      std::vector<std::wstring>& out) {
    size_t valueStart = 0;
    size_t valueEnd = 0;
    if (!FindJsonKey(text, root.start, root.end, key, valueStart, valueEnd)) {
        return true;
    }
    return ParseJsonStringArray(text, valueStart, valueEnd, out);
}

// Unlike `size`, a sequence must be exact: digits only (whitespace around
// them), no fraction, no exponent, no wrap-around.
bool ReadSequenceValue(std::string_view text, const JsonSpan& root, uint64_t& sequence) {
    size_t pos = 0;
    size_t valueEnd = 0;
    if (!FindJsonKey(text, root.start, root.end, "sequence", pos, valueEnd)) {
        return false;
    }
    while (pos < valueEnd && IsJsonWhitespace(text[pos])) {
        ++pos;
    }
    while (valueEnd > pos && IsJsonWhitespace(text[valueEnd - 1])) {
        --valueEnd;
    }
    if (pos >= valueEnd || valueEnd - pos > 20) {
        return false;
    }
    uint64_t value = 0;
    if (!ParseDecimal(text.substr(pos, valueEnd - pos), value)) {
        return false;
    }
    sequence = value;
    return true;
}

bool StartsAsJsonObject(std::string_view body) {
    size_t pos = 0;
    SkipJsonWhitespace(body, pos);
    return pos < body.size() && body[pos] == '{';
}

// Everything up to and including the last '/' of the manifest URL. A URL whose
// only slashes belong to the scheme ("http://host") names the host's root; cut
// at the scheme it would make the first path segment of a file URL the host.
std::wstring ManifestBaseUrl(const std::wstring& usedUrl) {
    size_t slash = usedUrl.rfind(L'/');
    if (slash == std::wstring::npos) {
        return std::wstring();
    }
    size_t schemeEnd = usedUrl.find(L"://");
    if (schemeEnd != std::wstring::npos && slash == schemeEnd + 2) {
        return usedUrl + L"/";
    }
    return usedUrl.substr(0, slash + 1);
}

}  // namespace

namespace {

// The manifest's own fields: version, optional texts, sequence and lists.
bool ReadManifestFields(std::string_view text, const JsonSpan& root, Manifest& manifest) {
    std::string value;
    if (!ReadStringValue(text, root, "version", value)) {
        LogMain(L"Manifest missing version.");
        return false;
    }
    manifest.version = Utf8ToUtf16(value);
    if (ReadStringValue(text, root, "minimumUpdaterVersion", value)) {
        manifest.minimumUpdaterVersion = Utf8ToUtf16(value);
    }
    if (ReadStringValue(text, root, "expires", value)) {
        manifest.expires = Utf8ToUtf16(value);
    }
    manifest.hasSequence = ReadSequenceValue(text, root, manifest.sequence);

    if (!ReadOptionalList(text, root, "mirrors", manifest.mirrors)) {
        LogMain(L"Manifest mirrors[] is invalid.");
        return false;
    }
    if (!ReadOptionalList(text, root, "managedRoots", manifest.managedRoots)) {
        LogMain(L"Manifest managedRoots[] is invalid.");
        return false;
    }
    if (!ReadOptionalList(text, root, "preserve", manifest.preserve)) {
        LogMain(L"Manifest preserve[] is invalid.");
        return false;
    }
    return true;
}

// files[]: every entry with its path, URL, digest and size.
bool ReadManifestFiles(std::string_view text, const JsonSpan& root, Manifest& manifest) {
    size_t filesStart = 0;
    size_t filesEnd = 0;
    if (!FindJsonKey(text, root.start, root.end, "files", filesStart, filesEnd)) {
        LogMain(L"Manifest missing files[].");
        return false;
    }
    std::vector<JsonSpan> entries;
    if (!ParseJsonObjectArray(text, filesStart, filesEnd, entries)) {
        LogMain(L"Manifest files[] is invalid.");
        return false;
    }
    manifest.files.reserve(entries.size());
    std::string path;
    std::string url;
    for (const JsonSpan& entry : entries) {
        ManifestFile file;
        if (!ReadStringValue(text, entry, "path", path) ||
            !ReadStringValue(text, entry, "url", url) ||
            !ReadStringValue(text, entry, "sha256", file.sha256) ||
            !ReadSizeValue(text, entry, file.size)) {
            LogMain(L"Manifest file entry is missing path/url/sha256/size.");
            return false;
        }
        file.path = Utf8ToUtf16(path);
        file.url = Utf8ToUtf16(url);
        manifest.files.push_back(std::move(file));
    }
    if (manifest.files.empty()) {
        LogMain(L"Manifest has no files.");
        return false;
    }
    return true;
}

// Two entries naming one file on a case-insensitive disk would stage, back
// up and replace it twice, the second backup holding the first new bytes;
// the manifest is refused as a whole before anything is fetched.
bool HasNoDuplicatePaths(const Manifest& manifest) {
    std::unordered_set<std::wstring> keys;
    keys.reserve(manifest.files.size());
    for (const ManifestFile& file : manifest.files) {
        if (!keys.insert(MakeNameKey(file.path)).second) {
            LogMain(L"Manifest rejected: duplicate path after case folding: " + file.path);
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseManifest(std::string_view text, Manifest& manifest) {
    manifest = Manifest{};
    size_t pos = 0;
    SkipJsonWhitespace(text, pos);
    JsonSpan root{pos, pos};
    if (pos >= text.size() || text[pos] != '{' || !SkipJsonValue(text, pos)) {
        LogMain(L"Invalid manifest JSON root.");
        return false;
    }
    root.end = pos;
    return ReadManifestFields(text, root, manifest) && ReadManifestFiles(text, root, manifest) &&
           HasNoDuplicatePaths(manifest);
}

namespace {

// A manifest body over HTTP; the fetch's lines go to the main log.
bool FetchManifestBody(HttpClient& http, const std::wstring& url, uint64_t maxBytes,
                       std::string& body, RetryCause& cause) {
    Error err;
    const TransferEvents events{
        [](uint32_t status) { LogMain(HttpStatusLine(HttpUse::kFetch, status)); }, {}, &cause};
    if (FetchUrlToMemory(http, url, maxBytes, body, events, &err)) {
        return true;
    }
    if (!err.text.empty()) {
        LogMain(err.text);
    }
    return false;
}

// One fetched body, judged: in a signed build the signature over the exact
// bytes comes first, before any of them is parsed; expiry and sequence after.
bool AcceptManifestBody(HttpClient& http, const std::wstring& url, const std::string& body,
                        bool signedBuild, uint64_t highest, const ManifestAcceptance& acceptance,
                        Manifest& parsed) {
    if (signedBuild && !VerifyManifestSignature(http, url, body)) {
        return false;
    }
    if (!StartsAsJsonObject(body)) {
        LogMain(L"Manifest content does not start as a JSON object.");
        return false;
    }
    if (!ParseManifest(body, parsed)) {
        LogMain(L"Manifest parse failed for source.");
        return false;
    }
    if (!signedBuild) {
        return true;
    }
    if (!CheckManifestFreshness(parsed, highest, platform::UtcNowSeconds())) {
        return false;
    }
    if (acceptance.recordAccepted && !acceptance.clientDir.empty() && parsed.sequence > highest &&
        !RecordAcceptedSequence(acceptance.clientDir, parsed.sequence)) {
        return false;
    }
    return true;
}

}  // namespace

bool LoadManifestFromSources(HttpClient& http, const std::vector<std::wstring>& sources,
                             const ManifestProgress& progress, uint64_t maxBytes,
                             Manifest& manifest, std::wstring& usedUrl,
                             const ManifestAcceptance& acceptance) {
    auto show = [&](const std::wstring& detail, uint32_t index, uint32_t count, int subPermille) {
        if (progress) {
            progress(detail, index, count, subPermille);
        }
    };
    const size_t count = sources.size();
    const bool signedBuild = ManifestSignatureRequired();
    uint64_t highest = 0;
    if (signedBuild && count != 0 && !acceptance.clientDir.empty() &&
        !ReadAcceptedSequence(acceptance.clientDir, highest)) {
        LogMain(L"No manifest can be checked against the accepted sequence; none is loaded.");
        return false;
    }
    for (size_t index = 0; index < count; ++index) {
        const std::wstring& url = sources[index];
        const int64_t i = static_cast<int64_t>(index) + 1;
        const std::wstring ofCount = ToDecimal(static_cast<unsigned long long>(i)) + L" / " +
                                     ToDecimal(static_cast<unsigned long long>(count));
        // Each source owns an equal share of the manifest band.
        const uint32_t step = static_cast<uint32_t>(i);
        const uint32_t steps = static_cast<uint32_t>(count);
        bool loaded = false;
        if (!IsHttpUrl(url)) {
            LogMain(L"Skipping invalid manifest URL: " + url);
        } else {
            std::string body;
            // Every attempt at the source starts as the first did.
            const bool fetched = WithRetries(http.Retries(), url, [&](RetryCause& cause) {
                LogMain(L"Downloading manifest: " + url);
                show(L"Downloading manifest source " + ofCount, step, steps, 0);
                return FetchManifestBody(http, url, maxBytes, body, cause);
            });
            if (fetched) {
                LogMain(L"Manifest downloaded bytes=" + ToDecimal(body.size()));
                show(L"Parsing manifest source " + ofCount, step, steps, kParsedPermille);
                Manifest parsed;
                if (AcceptManifestBody(http, url, body, signedBuild, highest, acceptance, parsed)) {
                    manifest = std::move(parsed);
                    usedUrl = url;
                    loaded = true;
                }
            }
        }
        if (loaded) {
            show(L"Manifest loaded", steps, steps, 1000);
            return true;
        }
        if (index + 1 < count) {
            LogMain(L"Manifest source failed, trying fallback");
        } else {
            LogMain(L"Manifest source failed, no fallback left");
        }
    }
    return false;
}

bool BuildFileUrls(const ManifestFile& file, const Manifest& manifest, const std::wstring& usedUrl,
                   std::vector<std::wstring>& urls) {
    urls.clear();
    if (IsHttpUrl(file.url)) {
        urls.push_back(file.url);
        return true;
    }
    for (const std::wstring& mirror : manifest.mirrors) {
        if (IsHttpUrl(mirror)) {
            urls.push_back(JoinUrl(mirror, file.url));
        }
    }
    if (urls.empty()) {
        std::wstring base = ManifestBaseUrl(usedUrl);
        if (IsHttpUrl(base)) {
            urls.push_back(JoinUrl(base, file.url));
        }
    }
    return !urls.empty();
}

}  // namespace rr
