#include "policy/preserve_rules.h"

#include <iterator>

#include "policy/incremental_allowlist.h"
#include "base/path.h"

namespace rr {

namespace {

// Folder prefixes of the dry-run. The last one is spelled without the accent:
// it names an older folder than the one the incremental allowlist knows.
const wchar_t* const kRepairPreservedPrefixes[] = {
    L"logs\\",        L"screenshots\\", L"_backup_update\\",
    L"_update_tmp\\", L"_full_tmp\\",   L"opciones de resolucion-sonido\\",
};
const wchar_t* const kRepairPreservedFileNames[] = {L"config.ini", L"launcherlinks.ini"};
const wchar_t* const kRepairPreservedExtensions[] = {L".exe", L".dll", L".pdb", L".ilk",
                                                     L".obj", L".log", L".tmp"};

const wchar_t* const kFullClientPreserveRules[] = {
    L"Logs\\",
    L"ScreenShots\\",
    L"_full_tmp\\",
    L"_full_extract\\",
    L"_backup_update\\",
    L"_update_tmp\\",
    L"_quarantine_update\\",
    L"config.ini",
    L"Data\\Local\\Logs\\",
    L"Data\\Local\\LauncherLinks.ini",
    L"Data\\Local\\RiveRoravav.exe",
    L"RiveRoravav.exe",
    // The diagnostics switch: a repair that quarantined it would have the
    // logs of that very run deleted at its end.
    L"Data\\Local\\EnableDiagnostics.txt",
    // The highest manifest sequence a signed build has accepted: quarantining
    // it would reopen the client to rolled-back releases.
    L"Data\\Local\\ManifestSequence.txt",
};
const wchar_t* const kFullClientPreservedExtensions[] = {L".log", L".tmp", L".dll"};

const wchar_t* const kProtectedFolderNames[] = {
    L"logs",          L"screenshots",    L"data\\local", L"data\\local\\logs",  L"_full_tmp",
    L"_full_extract", L"_backup_update", L"_update_tmp", L"_quarantine_update",
};

std::wstring BackslashesOnly(const std::wstring& path) {
    std::wstring out = path;
    for (auto& c : out) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return out;
}

void DropTrailingSeparators(std::wstring& text) {
    while (!text.empty() && text.back() == L'\\') {
        text.pop_back();
    }
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The key is the folder itself or lies below it.
bool IsFolderOrBelow(const std::wstring& key, const std::wstring& folder) {
    return key == folder || StartsWith(key, folder + L"\\");
}

template <size_t N>
bool HasAnyExtension(const std::wstring& key, const wchar_t* const (&extensions)[N]) {
    for (const wchar_t* e : extensions) {
        if (KeyHasExtension(key, e)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::wstring MakeRuleKey(const std::wstring& path) {
    std::wstring key = BackslashesOnly(path);
    DropTrailingSeparators(key);
    return FoldCase(key);
}

std::wstring MakeNameKey(const std::wstring& path) {
    std::wstring key = BackslashesOnly(path);
    DropTrailingSeparators(key);
    return VolumeFold(key);
}

bool KeyHasExtension(const std::wstring& ruleKey, const std::wstring& extension) {
    size_t dot = ruleKey.rfind(L'.');
    return dot != std::wstring::npos && ruleKey.compare(dot, std::wstring::npos, extension) == 0;
}

bool PreserveRuleMatches(const std::wstring& ruleKey, const std::wstring& rule) {
    std::wstring r = BackslashesOnly(rule);
    bool folderRule = !r.empty() && r.back() == L'\\';
    DropTrailingSeparators(r);
    if (r.empty()) {
        return false;
    }
    r = FoldCase(r);
    return folderRule ? IsFolderOrBelow(ruleKey, r) : ruleKey == r;
}

bool IsRepairPreserved(const std::wstring& relativePath,
                       const std::vector<std::wstring>* preserve) {
    std::wstring key = MakeRuleKey(relativePath);
    if (key.empty()) {
        return true;
    }
    if (preserve != nullptr) {
        for (const std::wstring& rule : *preserve) {
            if (PreserveRuleMatches(key, rule)) {
                return true;
            }
        }
    }
    for (const wchar_t* prefix : kRepairPreservedPrefixes) {
        if (StartsWith(key, prefix)) {
            return true;
        }
    }
    std::wstring name = PathFileName(key);
    for (const wchar_t* preserved : kRepairPreservedFileNames) {
        if (name == preserved) {
            return true;
        }
    }
    return HasAnyExtension(key, kRepairPreservedExtensions);
}

bool IsInSafeRepairScope(const std::wstring& managedRoot) {
    return IsFolderOrBelow(MakeRuleKey(managedRoot), L"data");
}

const std::vector<std::wstring>& FullClientPreserveRules() {
    static const std::vector<std::wstring> rules(std::begin(kFullClientPreserveRules),
                                                 std::end(kFullClientPreserveRules));
    return rules;
}

bool IsFullClientPreserved(const std::wstring& relativePath) {
    std::wstring key = MakeRuleKey(relativePath);
    if (key.empty()) {
        return true;
    }
    for (const wchar_t* rule : kFullClientPreserveRules) {
        if (PreserveRuleMatches(key, rule)) {
            return true;
        }
    }
    if (PathFileName(key) == L"riveroravav.exe") {
        return true;
    }
    return HasAnyExtension(key, kFullClientPreservedExtensions);
}

int ProtectedFolderKind(const std::wstring& folderPath) {
    std::wstring key = MakeRuleKey(folderPath);
    if (key.empty() || key == L"data") {
        return kFolderWalkedOnly;
    }
    for (const wchar_t* name : kProtectedFolderNames) {
        if (IsFolderOrBelow(key, name)) {
            return kFolderProtected;
        }
    }
    return kFolderOrdinary;
}

}  // namespace rr
