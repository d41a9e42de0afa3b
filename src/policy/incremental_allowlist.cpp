#include "policy/incremental_allowlist.h"

#include "base/path.h"

namespace rr {

namespace {

// Tables are written in folded (lower) case unless they are compared with
// PathEqualsNoCase. The two Spanish folder names hold the small letters U+00ED
// and U+00F3; folding leaves non-ASCII letters alone, so only exactly these
// small accented letters match.

const wchar_t* const kBlockedFolderNames[] = {
    L"logs",
    L"screenshots",
    L"_full_tmp",
    L"_full_extract",
    L"_backup_update",
    L"_quarantine_update",
    L"_update_tmp",
    L"_update_publish",
    L"_update_out",
    L"_build",
    L"debug",
    L"release",
    L"obj",
    L".vs",
    L".git",
};

const wchar_t* const kBlockedFileNames[] = {
    L"riveroravav.exe",
    L"rozadidezaridov.exe",
    L"encoder.exe",
    L"publisherconfig.ini",
    L"publisherconfig.local.ini",
    L"ftp.ini",
    L"launcherupdate.ini",
    L"config.ini",
    L"main",
};

const wchar_t* const kBlockedExtensions[] = {
    L".pdb",
    L".ilk",
    L".iobj",
    L".ipdb",
    L".tlog",
    L".log",
    L".tmp",
    L".bak",
    L".old",
    L".obj",
    L".idb",
    L".lib",
    L".exp",
    L".map",
    L".res",
    L".recipe",
    L".lastbuildstate",
    L".unsuccessfulbuild",
    L".key",
    L".pem",
    L".pfx",
    L".secret",
    L".token",
    L".psd",
    L".webp",
    L".xcf",
    L".blend",
    L".cpp",
    L".c",
    L".h",
    L".hpp",
    L".rc",
    L".sln",
    L".vcxproj",
    L".filters",
    L".user",
    L".props",
    L".targets",
};

const wchar_t* const kRuntimeBaseFiles[] = {
    L"Data\\av-code45.pak",
    L"Data\\Local\\LauncherUpdate.msil",
    L"Data\\Local\\Connect.msil",
    L"Data\\Local\\update_test.txt",
    L"Data\\Local\\LauncherLinks.ini",
    L"Data\\Local\\mix.bmd",
};

const wchar_t* const kLocalLanguageBmdFiles[] = {
    L"Data\\Local\\Chs\\Item.bmd",        L"Data\\Local\\Chs\\ItemSetOption.bmd",
    L"Data\\Local\\Chs\\ItemTooltip.bmd", L"Data\\Local\\Chs\\Text.bmd",
    L"Data\\Local\\Eng\\Item.bmd",        L"Data\\Local\\Eng\\ItemSetOption.bmd",
    L"Data\\Local\\Eng\\ItemTooltip.bmd", L"Data\\Local\\Eng\\Text.bmd",
    L"Data\\Local\\Por\\Item.bmd",        L"Data\\Local\\Por\\ItemSetOption.bmd",
    L"Data\\Local\\Por\\ItemTooltip.bmd", L"Data\\Local\\Por\\Text.bmd",
    L"Data\\Local\\Spn\\Item.bmd",        L"Data\\Local\\Spn\\ItemSetOption.bmd",
    L"Data\\Local\\Spn\\ItemTooltip.bmd", L"Data\\Local\\Spn\\Text.bmd",
};

const wchar_t* const kPassiveSupportFolder = L"librer\u00eda si no abre el main\\";
const wchar_t* const kPassiveSupportFiles[] = {
    L"ejecutar ambos y reincia el pc.txt",
    L"vc2010_x86.exe",
    L"vc2012_x86.exe",
    L"vc2013_x86.exe",
    L"vc_redist.x64.exe",
    L"vc_redist.x86.exe",
    L"visual c++ 2015-2022.exe",
};

const wchar_t* const kPassiveResolutionFolder = L"opciones de resoluci\u00f3n-sonido\\";
const wchar_t* const kPassiveResolutionFiles[] = {
    L"1024x768.reg",
    L"1280x1024.reg",
    L"1360x768.reg",
    L"1440x900.reg",
    L"1600x900.reg",
    L"1920x1080.reg",
    L"640x480.reg",
    L"800x600.reg",
    L"langchinase.reg",
    L"langenglish.reg",
    L"langportugues.reg",
    L"langspanish.reg",
    L"_activar sonido y musica.reg",
    L"_desactivar sonido y musica.reg",
    L"_modo ventana.reg",
    L"_pantalla completa.reg",
};
// Four copies of the sound and window switches sit at the client root, their
// folder separator written as '_'.
const wchar_t* const kPassiveResolutionRootPrefix = L"opciones de resoluci\u00f3n-sonido_";
const wchar_t* const kPassiveResolutionRootFiles[] = {
    L"activar sonido y musica.reg",
    L"desactivar sonido y musica.reg",
    L"modo ventana.reg",
    L"pantalla completa.reg",
};

struct AssetFolder {
    const wchar_t* prefix;
    const wchar_t* extensions[6];
    const wchar_t* reason;
};

// Tried in this order; a row whose folder matches but whose extension is not
// listed decides nothing and the next row is tried.
const AssetFolder kAssetFolders[] = {
    {L"data\\interface\\launcher\\",
     {L".ozt", L".ozj", L".ozb", L".tga", L".jpg", L".png"},
     L"allowed-launcher-asset"},
    {L"data\\interface\\", {L".ozt", L".ozj", L".tga", L".bmd"}, L"allowed-interface-asset"},
    {L"data\\item\\texture\\",
     {L".ozj", L".ozt", L".ozb", L".jpg", L".tga"},
     L"allowed-item-asset"},
    {L"data\\item\\", {L".bmd", L".ozj", L".ozt", L".ozb"}, L"allowed-item-asset"},
    {L"data\\monster\\", {L".bmd", L".ozj", L".ozt", L".ozb"}, L"allowed-monster-asset"},
    {L"data\\skill\\", {L".ozj", L".ozt", L".ozb", L".bmd"}, L"allowed-skill-asset"},
};

template <size_t N>
bool InTable(const std::wstring& text, const wchar_t* const (&table)[N]) {
    for (const wchar_t* entry : table) {
        if (text == entry) {
            return true;
        }
    }
    return false;
}

template <size_t N>
bool InTableNoCase(const std::wstring& path, const wchar_t* const (&table)[N],
                   const std::wstring& folder = std::wstring()) {
    for (const wchar_t* entry : table) {
        if (PathEqualsNoCase(path, folder + entry)) {
            return true;
        }
    }
    return false;
}

std::wstring BackslashesOnly(const std::wstring& path) {
    std::wstring out = path;
    for (auto& c : out) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return out;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// ASCII digits only: the wide-character digit test of some C runtimes also
// accepts superscript and other scripts' digits, which would open look-alike
// folders such as "Data\World" + superscript two to updates.
bool IsAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool IsBelowObjectsFolder(const std::wstring& p) {
    static const std::wstring prefix = L"data\\objects\\";
    return p.size() > prefix.size() && StartsWith(p, prefix);
}

bool HasTraversalSegment(const std::wstring& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = path.size();
        }
        if (path.compare(start, end - start, L"..") == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool Decide(PathPolicyDecision& decision, bool allowed, const std::wstring& reason) {
    decision.allowed = allowed;
    decision.reason = reason;
    return allowed;
}

bool IsAssetExtension(const AssetFolder& folder, const std::wstring& extension) {
    for (const wchar_t* e : folder.extensions) {
        if (e != nullptr && extension == e) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsMainExePath(const std::wstring& relativePath) {
    return PathEqualsNoCase(relativePath, L"Main.exe");
}

bool IsDirectChildOf(const std::wstring& path, const std::wstring& folderPrefix) {
    return path.size() > folderPrefix.size() && StartsWith(path, folderPrefix) &&
           path.find(L'\\', folderPrefix.size()) == std::wstring::npos;
}

bool IsNumberedDataFolderPath(const std::wstring& path, const std::wstring& folderWord) {
    std::wstring prefix = L"data\\" + folderWord;
    if (!StartsWith(path, prefix)) {
        return false;
    }
    size_t i = prefix.size();
    size_t digitsStart = i;
    while (i < path.size() && IsAsciiDigit(path[i])) {
        ++i;
    }
    return i > digitsStart && i < path.size() && path[i] == L'\\';
}

bool FindBlockedDirectorySegment(const std::wstring& path, std::wstring& reason) {
    std::wstring p = FoldCase(BackslashesOnly(path));
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = p.size();
        }
        std::wstring segment = p.substr(start, end - start);
        if (InTable(segment, kBlockedFolderNames)) {
            reason = L"blocked-directory:" + segment;
            return true;
        }
        start = end + 1;
    }
    return false;
}

namespace {

// Each step below either settles the decision (true) or leaves it to the
// next step (false).
bool Settle(PathPolicyDecision& decision, bool allowed, const std::wstring& reason) {
    Decide(decision, allowed, reason);
    return true;
}

// Refusals that hold wherever the path lies: traversal, blocked folders and
// blocked names.
bool RefuseByShape(const std::wstring& p, PathPolicyDecision& decision) {
    if (p.empty()) {
        return Settle(decision, false, L"empty-path");
    }
    // Callers validate before classifying; still, a ".." segment is refused
    // here even when validation would have stopped at an earlier reason, so
    // that no traversal can reach the allowing rules below.
    std::wstring normalized;
    std::wstring validationReason;
    if ((!ValidateRelativePath(p, normalized, &validationReason) &&
         validationReason == kReasonTraversalSegment) ||
        HasTraversalSegment(p)) {
        return Settle(decision, false, L"path-traversal");
    }
    std::wstring reason;
    if (FindBlockedDirectorySegment(p, reason)) {
        return Settle(decision, false, reason);
    }
    const std::wstring name = PathFileName(p);
    if (InTable(name, kBlockedFileNames)) {
        return Settle(decision, false, L"blocked-filename:" + name);
    }
    return false;
}

// Files allowed by their exact name.
bool AllowExactFile(const std::wstring& p, PathPolicyDecision& decision) {
    if (p.find(L'\\') == std::wstring::npos) {
        if (p == L"gkwclient.dll" || p == L"gkwverify.dll") {
            return Settle(decision, true, L"allowed-root-anticheat-dll");
        }
        if (p == L"ah.emu") {
            return Settle(decision, true, L"allowed-root-ah-emu");
        }
        if (p == L"hexmantle.dll" || p == L"hexmantle.cfg") {
            return Settle(decision, true, L"allowed-root-hexmantle");
        }
    }
    if (InTableNoCase(p, kPassiveSupportFiles, kPassiveSupportFolder)) {
        return Settle(decision, true, L"allowed-passive-support-extra");
    }
    if (InTableNoCase(p, kPassiveResolutionFiles, kPassiveResolutionFolder) ||
        InTableNoCase(p, kPassiveResolutionRootFiles, kPassiveResolutionRootPrefix)) {
        return Settle(decision, true, L"allowed-passive-resolution-reg");
    }
    return false;
}

// Extensions that decide on their own, or with the folder they lie in.
bool DecideByExtension(const std::wstring& p, const std::wstring& e, PathPolicyDecision& decision) {
    if (e == L".exe") {
        const bool main = IsMainExePath(p);
        return Settle(decision, main, main ? L"allowed-main-exe" : L"blocked-exe");
    }
    if (e == L".dll") {
        return Settle(decision, false, L"blocked-dll");
    }
    if (e == L".map") {
        const bool world = IsNumberedDataFolderPath(p, L"world");
        return Settle(decision, world, world ? L"allowed-runtime-world-map" : L"blocked-map-path");
    }
    if (e == L".obj" && IsNumberedDataFolderPath(p, L"world")) {
        return Settle(decision, true, L"allowed-runtime-world-obj");
    }
    if (InTable(e, kBlockedExtensions)) {
        return Settle(decision, false, L"blocked-extension:" + e);
    }
    return false;
}

// The game's own data: runtime files, asset folders, language files, maps.
bool AllowGameData(const std::wstring& p, const std::wstring& e, PathPolicyDecision& decision) {
    if (InTableNoCase(p, kRuntimeBaseFiles) ||
        (StartsWith(p, L"data\\scripts\\") && e == L".lua")) {
        return Settle(decision, true, L"allowed-runtime-base");
    }
    for (const AssetFolder& folder : kAssetFolders) {
        if (IsDirectChildOf(p, folder.prefix) && IsAssetExtension(folder, e)) {
            return Settle(decision, true, folder.reason);
        }
    }
    if (InTableNoCase(p, kLocalLanguageBmdFiles)) {
        return Settle(decision, true, L"allowed-local-language-bmd");
    }
    if (IsNumberedDataFolderPath(p, L"world") || IsNumberedDataFolderPath(p, L"object") ||
        IsBelowObjectsFolder(p)) {
        return Settle(decision, true, L"allowed-runtime-map-object");
    }
    return false;
}

}  // namespace

bool ClassifyIncrementalPath(const std::wstring& relativePath, PathPolicyDecision& decision) {
    decision = PathPolicyDecision{};
    const std::wstring p = FoldCase(BackslashesOnly(relativePath));
    if (RefuseByShape(p, decision) || AllowExactFile(p, decision)) {
        return decision.allowed;
    }
    const std::wstring e = PathExtension(p);
    if (DecideByExtension(p, e, decision) || AllowGameData(p, e, decision)) {
        return decision.allowed;
    }
    return Decide(decision, false, L"not-in-incremental-allowlist");
}

const std::wstring& IncrementalPolicySentence() {
    static const std::wstring sentence =
        L"Incremental runtime policy allows Main.exe, exact root anticheat DLLs, ah.emu, exact "
        L"root Hexmantle files, launcher/connect protected files, LauncherLinks.ini, launcher "
        L"assets, interface root assets, item assets, monster root assets, skill assets, exact "
        L"language/local BMD files including ItemTooltip.bmd, exact passive support EXEs/TXT, "
        L"exact passive resolution REG files, Data\\Scripts\\*.lua, Data\\World* assets, "
        L"Data\\Object* assets, and Data\\Objects assets; it blocks traversal, tool/build/temp "
        L"folders, tools, secrets, generic DLLs/EXEs/REGs, and build/source extensions.";
    return sentence;
}

}  // namespace rr
