// Feeds arbitrary bytes to the ZIP reader and the entry checks, with no disk
// writes: nothing may crash, no accepted entry may leave the folder it is
// joined to or land on the place of another, and no read may hand on more
// than an entry's declared size. Inputs whose first byte is even are raw
// archives (the parser's side); odd ones describe entries that are written
// into a well-formed archive first, so the name checks see hostile names
// without the fuzzer having to discover the ZIP format.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "../unit/zip_writer.h"
#include "base/path.h"
#include "platform/zip.h"
#include "package/zip_entries.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Records of [flags][name length][name][data length][data].
std::string DescribedArchive(const uint8_t* data, size_t size) {
    std::vector<rr::test::ZipEntrySpec> entries;
    size_t at = 0;
    auto take = [&](size_t n) {
        std::string bytes(reinterpret_cast<const char*>(data) + at, std::min(n, size - at));
        at += bytes.size();
        return bytes;
    };
    while (at + 2 <= size) {
        const uint8_t flags = data[at++];
        rr::test::ZipEntrySpec e;
        e.name = take(data[at++]);
        e.data = at < size ? take(data[at++]) : std::string();
        e.method = (flags & 0x01) ? 8 : (flags & 0x40) ? 12 : 0;
        e.encrypted = (flags & 0x02) != 0;
        e.unixMode = (flags & 0x04) ? 0120777 : (flags & 0x80) ? 0100644 : 0;
        e.utf8Flag = (flags & 0x08) != 0;
        e.badCrc = (flags & 0x20) != 0;
        if (flags & 0x10) {
            e.declared = e.data.size() ^ (flags & 0x03);
        }
        entries.push_back(e);
    }
    return rr::test::BuildZip(entries);
}

void CheckAccepted(const std::vector<rr::CheckedZipEntry>& accepted,
                   const rr::ZipEntryCounts& counts) {
    const std::wstring root = L"C:\\Game\\_full_extract";
    std::set<std::wstring> places;
    uint32_t files = 0;
    for (const rr::CheckedZipEntry& c : accepted) {
        std::wstring again;
        Check(rr::ValidateRelativePath(c.relativePath, again));
        Check(again == c.relativePath);
        Check(c.relativePath[0] != L'\\' && c.relativePath.find(L':') == std::wstring::npos);
        for (size_t start = 0;;) {
            const size_t end = c.relativePath.find(L'\\', start);
            const std::wstring segment = c.relativePath.substr(start, end - start);
            Check(!segment.empty() && segment != L"." && segment != L"..");
            if (end == std::wstring::npos) {
                break;
            }
            start = end + 1;
        }
        const std::wstring joined = rr::JoinPath(root, c.relativePath);
        Check(rr::IsPathUnderRoot(joined, root) && !rr::IsSamePath(joined, root));
        Check(places.insert(rr::FoldCase(c.relativePath)).second);
        Check(!c.entry.IsLink() && !c.entry.encrypted);
        Check(c.entry.method == rr::platform::kZipMethodStored ||
              c.entry.method == rr::platform::kZipMethodDeflate);
        Check(c.folder == c.entry.IsFolder());
        files += c.folder ? 0 : 1;
    }
    Check(files == counts.files);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string archive =
        (data[0] & 1) ? DescribedArchive(data + 1, size - 1)
                      : std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
    rr::platform::ZipReader reader;
    if (!reader.OpenMemory(archive.data(), archive.size())) {
        return 0;
    }
    std::vector<rr::platform::ZipEntry> listing;
    if (!reader.List(listing)) {
        Check(reader.LastError() == rr::platform::ZipError::kList ||
              reader.LastError() == rr::platform::ZipError::kNameNotUtf8);
        return 0;
    }
    rr::ZipEntryCounts counts;
    std::vector<rr::CheckedZipEntry> accepted;
    if (!rr::ValidateZipEntries(listing, counts, accepted)) {
        Check(accepted.empty());
        return 0;
    }
    CheckAccepted(accepted, counts);
    for (const rr::CheckedZipEntry& c : accepted) {
        if (c.folder || c.entry.size > (1u << 20)) {
            continue;
        }
        uint64_t delivered = 0;
        const bool ok = reader.ReadEntry(c.entry, [&](const void*, size_t n) {
            delivered += n;
            return delivered <= c.entry.size;
        });
        Check(delivered <= c.entry.size);
        Check(!ok || delivered == c.entry.size);
    }
    return 0;
}
