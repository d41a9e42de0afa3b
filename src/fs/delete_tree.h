#pragma once
// Deleting a file or a whole tree below the client folder, through handles.
#include <cstdint>
#include <string>

#include "fs/safe_fs.h"

namespace rr {

// The two moments a swap of a folder for a link would hurt most: before a
// folder is opened and right after.
enum class DeleteTreePhase { kBeforeEnter, kEntered };

// What a tree deletion met, for callers that count and log.
class DeleteObserver {
  public:
    virtual ~DeleteObserver() = default;
    // A folder about to be opened, or just opened (where tests race the walk).
    virtual void Moment(DeleteTreePhase /*phase*/, const std::wstring& /*path*/) {}
    virtual void FileDeleted(const std::wstring& /*path*/) {}
    virtual void FolderDeleted(const std::wstring& /*path*/) {}
    // A folder that was gone by the time it was to be removed.
    virtual void FolderVanished(const std::wstring& /*path*/) {}
    // A link inside the tree, left in place (LinkPolicy::kBlock).
    virtual void LinkBlocked(const std::wstring& /*path*/) {}
    // what: "delete file", "remove directory", "enumerate directory".
    virtual void Failed(const std::wstring& /*path*/, const wchar_t* /*what*/, uint32_t /*error*/) {
    }
};

enum class LinkPolicy {
    kRemoveEntry,  // a link inside the tree is removed as an entry, never entered
    kBlock,        // a link inside the tree is left alone and reported
};

// Deletes root\relative (a file or a whole tree) through handles. Every
// folder is opened without following links before it is listed, and removed
// by name from its parent's handle, so a folder swapped for a link midway is
// refused, never entered. True when nothing failed and nothing was blocked.
bool DeleteTreeBelow(const ClientFolder& root, const std::wstring& relative, LinkPolicy policy,
                     DeleteObserver* observer = nullptr);

}  // namespace rr
