#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rr::publish {

struct PublishedFile {
    std::wstring path;  // release-relative, '\' separators
    std::wstring url;   // relative to the manifest's own folder
    uint64_t size = 0;
    std::string sha256;  // lower-case digest text
};

struct ManifestDocument {
    std::wstring version;
    bool hasSequence = false;
    uint64_t sequence = 0;
    std::wstring expires;  // empty: not written
    bool full = false;     // writes managedRoots and preserve
    std::vector<std::wstring> managedRoots;
    std::vector<std::wstring> preserve;
    std::vector<PublishedFile> files;
};

// The manifest as UTF-8 JSON, one file entry per line, in the order given.
// Text is written as UTF-8, never as \u escapes (the updater's reader turns
// those into '?'); callers pass no control characters.
std::string RenderManifestJson(const ManifestDocument& document);

}  // namespace rr::publish
