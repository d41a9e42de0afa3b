#include "package/zip_entries.h"

#include <limits>
#include <unordered_map>

#include "base/path.h"
#include "base/text.h"
#include "log/log.h"
#include "ui/progress.h"

namespace rr {

namespace {

// What Win32 would refuse or reinterpret in one name, and what would let a
// name reach beyond its folder.
bool IsUnsafeNameChar(wchar_t c) {
    if (static_cast<unsigned long>(c) < 0x20) {
        return true;
    }
    switch (c) {
        case L'\\':
        case L'/':
        case L':':
        case L'*':
        case L'?':
        case L'"':
        case L'<':
        case L'>':
        case L'|':
            return true;
        default:
            return false;
    }
}

bool IsUnsafeName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") {
        return true;
    }
    for (wchar_t c : name) {
        if (IsUnsafeNameChar(c)) {
            return true;
        }
    }
    return false;
}

std::vector<std::wstring> SplitSlash(const std::wstring& text) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        const size_t pos = text.find(L'/', start);
        if (pos == std::wstring::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

// Checks the names of one entry; logs and returns false on the first unsafe
// segment. The lines name the segment, as the checks of a folder listing
// would; a line of its own then names the whole entry it came from.
bool CheckEntryName(const std::wstring& name, bool folder, std::wstring& relative) {
    relative.clear();
    // Only a folder entry's one trailing '/' may leave an empty segment.
    const std::wstring body = folder ? name.substr(0, name.size() - 1) : name;
    const std::vector<std::wstring> segments = SplitSlash(body);
    for (const std::wstring& segment : segments) {
        if (!IsUnsafeName(segment)) {
            if (!relative.empty()) {
                relative.push_back(L'\\');
            }
            relative += segment;
            continue;
        }
        LogMain(L"Unsafe ZIP entry name rejected: " + segment);
        if (segment == L"..") {
            LogMain(L"blocked traversal segment: " + segment);
        }
        const bool rooted = !name.empty() && (name[0] == L'\\' || name[0] == L'/');
        if ((rooted && &segment == &segments.front()) || segment.find(L':') != std::wstring::npos) {
            LogMain(L"blocked absolute path: " + segment);
        }
        if (segment != name) {
            LogMain(L"ZIP entry: " + name);
        }
        relative.clear();
        return false;
    }
    return true;
}

// Every place the extraction creates, by folded path: two entries that land
// on one place on Windows must not land on two on POSIX, nor overwrite each
// other anywhere.
class PlaceTable {
  public:
    enum class Kind { kFile, kFolder, kImpliedFolder };

    // False when `path` clashes; `other` then names what it clashes with.
    bool Add(const std::wstring& path, Kind kind, std::wstring& other) {
        const std::wstring key = VolumeFold(path);
        auto it = places_.find(key);
        if (it == places_.end()) {
            places_.emplace(key, Place{path, kind});
            if (kind != Kind::kFile) {
                ++folders_;
            }
            return true;
        }
        Place& place = it->second;
        other = place.spelling;
        // The same folder spelled the same way, implied by several paths or
        // named once by its own entry, is one folder.
        const bool sameFolder =
            kind != Kind::kFile && place.kind != Kind::kFile && place.spelling == path &&
            (kind == Kind::kImpliedFolder || place.kind == Kind::kImpliedFolder);
        if (!sameFolder) {
            return false;
        }
        if (kind == Kind::kFolder) {
            place.kind = Kind::kFolder;
        }
        return true;
    }

    uint32_t folders() const { return folders_; }

  private:
    struct Place {
        std::wstring spelling;
        Kind kind;
    };
    std::unordered_map<std::wstring, Place> places_;
    uint32_t folders_ = 0;
};

bool AddWithParents(PlaceTable& places, const std::wstring& relative, bool folder) {
    std::wstring other;
    bool ok = true;
    std::wstring clash;
    for (size_t pos = relative.find(L'\\'); ok && pos != std::wstring::npos;
         pos = relative.find(L'\\', pos + 1)) {
        clash = relative.substr(0, pos);
        ok = places.Add(clash, PlaceTable::Kind::kImpliedFolder, other);
    }
    if (ok) {
        clash = relative;
        ok = places.Add(relative, folder ? PlaceTable::Kind::kFolder : PlaceTable::Kind::kFile,
                        other);
    }
    if (!ok) {
        LogMain(L"Rejected ZIP entry that clashes after case folding: " + clash + L" with " +
                other);
    }
    return ok;
}

// Only plain stored or deflated files and folders are extracted.
bool CheckEntryKind(const platform::ZipEntry& entry) {
    // unzip would make a link of it; a link inside _full_extract is what
    // the compare and apply must never meet.
    if (entry.IsLink()) {
        LogMain(L"Rejected ZIP link entry: " + entry.name);
        return false;
    }
    if (entry.encrypted) {
        LogMain(L"Rejected encrypted ZIP entry: " + entry.name);
        return false;
    }
    if (entry.method != platform::kZipMethodStored && entry.method != platform::kZipMethodDeflate) {
        LogMain(L"Rejected ZIP entry with unsupported compression method=" +
                ToDecimal(entry.method) + L": " + entry.name);
        return false;
    }
    return true;
}

// One entry: its name, its place in the tree (no clash with another) and its
// kind.
bool CheckEntry(const platform::ZipEntry& entry, PlaceTable& places, CheckedZipEntry& checked) {
    checked.entry = entry;
    checked.folder = entry.IsFolder();
    std::wstring relative;
    if (!CheckEntryName(entry.name, checked.folder, relative)) {
        return false;
    }
    if (!ValidateRelativePath(relative, checked.relativePath)) {
        LogMain(L"Unsafe ZIP relative path rejected: " + relative);
        return false;
    }
    if (HasDoubleDotName(checked.relativePath)) {
        LogMain(L"allowed filename with double-dot: " + checked.relativePath);
    }
    return CheckEntryKind(entry) && AddWithParents(places, checked.relativePath, checked.folder);
}

bool CountFile(const platform::ZipEntry& entry, ZipEntryCounts& counts) {
    if (counts.files == std::numeric_limits<uint32_t>::max()) {
        LogMain(L"Rejected ZIP with too many entries.");
        return false;
    }
    ++counts.files;
    // Saturates: a sum past 2^64 can only fail the free-space check.
    counts.bytes = entry.size > std::numeric_limits<uint64_t>::max() - counts.bytes
                       ? std::numeric_limits<uint64_t>::max()
                       : counts.bytes + entry.size;
    return true;
}

}  // namespace

bool ValidateZipEntries(const std::vector<platform::ZipEntry>& entries, ZipEntryCounts& counts,
                        std::vector<CheckedZipEntry>& accepted) {
    accepted.clear();
    PlaceTable places;
    bool ok = true;
    for (size_t i = 0; ok && i < entries.size(); ++i) {
        if (i % 100 == 0) {
            PumpMessages();
        }
        CheckedZipEntry checked;
        ok = CheckEntry(entries[i], places, checked) &&
             (checked.folder || CountFile(entries[i], counts));
        if (ok) {
            accepted.push_back(std::move(checked));
        }
    }
    counts.folders += places.folders();
    if (!ok) {
        accepted.clear();
    }
    return ok;
}

}  // namespace rr
