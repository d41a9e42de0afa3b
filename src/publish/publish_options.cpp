#include "publish/publish_options.h"

#include <algorithm>

#include "base/path.h"
#include "base/text.h"
#include "manifest/manifest_freshness.h"
#include "net/http.h"
#include "platform/error.h"
#include "policy/preserve_rules.h"

namespace rr::publish {

namespace {

std::wstring CoreFullPath(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return PathNormalForm(path);
}

bool HasControlCharacter(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

bool ParseDecimal(const std::wstring& text, uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    return rr::ParseDecimal(std::wstring_view(text), value);
}

// Where the value of a single-valued option goes; null for a repeatable one
// or a name that is no option.
std::wstring* SingleValueSlot(const std::wstring& name, PublishOptions& options,
                              std::wstring& sequenceText) {
    if (name == L"--release") {
        return &options.releaseDir;
    }
    if (name == L"--out") {
        return &options.outDir;
    }
    if (name == L"--version") {
        return &options.version;
    }
    if (name == L"--base-url") {
        return &options.baseUrl;
    }
    if (name == L"--sign-key") {
        return &options.signKey;
    }
    if (name == L"--sequence") {
        return &sequenceText;
    }
    if (name == L"--expires") {
        return &options.expires;
    }
    return nullptr;
}

bool WasGiven(const std::vector<std::wstring>& seen, const wchar_t* name) {
    return std::find(seen.begin(), seen.end(), name) != seen.end();
}

// One --managed-root or --preserve path.
bool AddPathOption(const std::wstring& name, const std::wstring& value, PublishOptions& options,
                   Error* err) {
    std::wstring normalized;
    std::wstring reason;
    if (!ValidateRelativePath(value, normalized, &reason)) {
        return Fail(err, platform::kErrorSuccess, name + L" " + value + L": " + reason);
    }
    if (name == L"--managed-root") {
        if (!IsInSafeRepairScope(normalized)) {
            return Fail(err, platform::kErrorSuccess,
                        L"--managed-root " + value + L": the updater scans only below Data");
        }
        options.managedRoots.push_back(normalized);
    } else {
        options.preserve.push_back(normalized);
    }
    return true;
}

// Every option with its value; `seen` names the single-valued ones given.
bool ReadOptionValues(const std::vector<std::wstring>& args, PublishOptions& options,
                      std::vector<std::wstring>& seen, std::wstring& sequenceText, Error* err) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& name = args[i];
        const bool repeatable = name == L"--managed-root" || name == L"--preserve";
        std::wstring* single = SingleValueSlot(name, options, sequenceText);
        if (single == nullptr && !repeatable) {
            return Fail(err, platform::kErrorSuccess, L"unknown option: " + name);
        }
        if (i + 1 >= args.size()) {
            return Fail(err, platform::kErrorSuccess, L"missing value after " + name);
        }
        const std::wstring& value = args[++i];
        if (single == nullptr) {
            if (!AddPathOption(name, value, options, err)) {
                return false;
            }
            continue;
        }
        if (WasGiven(seen, name.c_str())) {
            return Fail(err, platform::kErrorSuccess, L"option given twice: " + name);
        }
        seen.push_back(name);
        *single = value;
    }
    return true;
}

// The options read fit together: the required ones are there and every
// value reads as what it must be.
bool CheckOptionValues(PublishOptions& options, const std::vector<std::wstring>& seen,
                       const std::wstring& sequenceText, Error* err) {
    if (options.releaseDir.empty() || options.outDir.empty() || options.baseUrl.empty() ||
        !WasGiven(seen, L"--version")) {
        return Fail(err, platform::kErrorSuccess,
                    L"--release, --out, --version and --base-url are required");
    }
    if (options.version.empty() || HasControlCharacter(options.version)) {
        return Fail(err, platform::kErrorSuccess,
                    L"--version must be a non-empty text without control characters");
    }
    if (!IsHttpUrl(options.baseUrl) || HasControlCharacter(options.baseUrl) ||
        options.baseUrl.find(L' ') != std::wstring::npos) {
        return Fail(err, platform::kErrorSuccess,
                    L"--base-url must be an http:// or https:// URL: " + options.baseUrl);
    }
    if (!sequenceText.empty() || WasGiven(seen, L"--sequence")) {
        if (!ParseDecimal(sequenceText, options.sequence)) {
            return Fail(err, platform::kErrorSuccess,
                        L"--sequence must be a whole number: " + sequenceText);
        }
        options.hasSequence = true;
    }
    int64_t expires = 0;
    if (WasGiven(seen, L"--expires") && !ParseUtcTimestamp(options.expires, expires)) {
        return Fail(err, platform::kErrorSuccess,
                    L"--expires must read YYYY-MM-DDTHH:MM:SSZ (UTC): " + options.expires);
    }
    // A signed build refuses a manifest without both; publishing one would
    // only move the slip to the players' updaters.
    if (!options.signKey.empty() && (!options.hasSequence || options.expires.empty())) {
        return Fail(err, platform::kErrorSuccess,
                    L"--sign-key needs --sequence and --expires: signed builds refuse a manifest "
                    L"without them");
    }
    return true;
}

}  // namespace

std::wstring PublishUsage() {
    return L"usage: riveroravav-publish --release DIR --out DIR --version TEXT --base-url URL\n"
           L"                           [--sign-key PEM --sequence N --expires "
           L"YYYY-MM-DDTHH:MM:SSZ]\n"
           L"                           [--managed-root PATH]... [--preserve PATH]...\n";
}

bool ParsePublishArguments(const std::vector<std::wstring>& args, PublishOptions& options,
                           Error* err) {
    options = PublishOptions{};
    std::vector<std::wstring> seen;
    std::wstring sequenceText;
    if (!ReadOptionValues(args, options, seen, sequenceText, err) ||
        !CheckOptionValues(options, seen, sequenceText, err)) {
        return false;
    }
    options.releaseDir = CoreFullPath(options.releaseDir);
    options.outDir = CoreFullPath(options.outDir);
    if (!options.signKey.empty()) {
        options.signKey = CoreFullPath(options.signKey);
    }
    return true;
}

}  // namespace rr::publish
