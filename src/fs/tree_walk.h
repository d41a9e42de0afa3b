#pragma once
// The one way down a tree below the client folder. The walk goes depth first
// in listing order on an explicit stack and opens every folder through the
// handle of its parent, never again from the client folder: its cost grows
// with the number of entries, not with their depth, and no recursion or
// handle count grows with the depth either. A link (or, on POSIX, the root of
// another mount) is never entered.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fs/safe_fs.h"
#include "platform/fs.h"

namespace rr {

// One entry of a listed folder, valid for the duration of the call.
struct WalkItem {
    const platform::DirHandle& folder;  // the open folder that holds the entry
    const std::wstring& name;
    const std::wstring& relative;  // below the walk's root, '\' separators
    uint32_t attributes = 0;
    size_t depth = 0;  // 1 for the entries of the folder the walk starts in

    bool IsDirectory() const { return (attributes & platform::kAttrDirectory) != 0; }
    bool IsReparsePoint() const { return (attributes & platform::kAttrReparsePoint) != 0; }
    bool IsRegularFile() const {
        return (attributes & (platform::kAttrDirectory | platform::kAttrReparsePoint |
                              platform::kAttrDevice)) == 0;
    }
    // What the walk enters: a real folder, never a link.
    bool IsRealFolder() const { return IsDirectory() && !IsReparsePoint(); }
};

enum class WalkStep {
    kSkip,   // go on with the next entry
    kEnter,  // list this real folder's entries next (ignored for anything else)
    kStop,   // end the whole walk
};

class TreeVisitor {
  public:
    virtual ~TreeVisitor() = default;
    // True: the files of a folder are visited before its folders (a report
    // that lists a folder's own files first), each group in listing order.
    virtual bool FilesFirst() const { return false; }
    // True: each folder's entries in the order of their names (code units),
    // whatever order the disk lists them in.
    virtual bool ByName() const { return false; }
    // True: a file's entry need only tell that it is no folder (the
    // listing's ListDetail::kKinds; folders and links are seen in full).
    virtual bool KindsSuffice() const { return false; }
    virtual WalkStep Visit(const WalkItem& item) = 0;
    // A folder that Visit chose to enter, right after it was opened.
    virtual void Entered(const WalkItem& /*item*/) {}
    // After the entries of an entered folder, its own handle closed; `folder`
    // is again the parent's, so the folder can be removed by name.
    virtual void Left(const WalkItem& /*item*/) {}
    // A folder that could not be opened (err.stop says why: a link, gone,
    // ...) or listed. `relative` names it below the root; its entries stay
    // unseen.
    virtual void Unreadable(const std::wstring& /*relative*/, const Error& /*err*/) {}
    // A folder that was opened but could not be listed (err.stop is
    // kFailed); by default one more unreadable folder.
    virtual void Unlisted(const std::wstring& relative, const Error& err) {
        Unreadable(relative, err);
    }
};

// Walks the entries below root\start (empty: the root itself). False when the
// start folder could not be opened or the visitor stopped the walk.
bool WalkTreeBelow(const ClientFolder& root, const std::wstring& start, TreeVisitor& visitor);

// The same from a folder already open; `startRelative` names it below the
// root for the items' paths.
bool WalkOpenFolder(platform::DirHandle&& start, const std::wstring& startRelative,
                    TreeVisitor& visitor);

// The walk's stop reason for a failed open through a parent's handle.
WalkStop StopForOpenError(uint32_t error);

}  // namespace rr
