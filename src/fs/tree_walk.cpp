#include "fs/tree_walk.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace rr {

namespace {

// Folders deeper than this many levels above the one being listed give their
// handles back, except every kHeldSpan-th, from which the others are opened
// again, each once per return, on the way back up. A chain thousands of
// folders deep then holds a few hundred handles at most, and the walk still
// opens every folder a bounded number of times.
constexpr size_t kHeldSpan = 64;

struct Frame {
    platform::DirHandle handle;
    std::wstring name;  // in the parent; empty for the start folder
    uint32_t attributes = 0;
    std::vector<platform::DirEntry> entries;
    size_t next = 0;
    size_t pathLength = 0;  // of the walk's path while this folder is listed
};

void AppendName(std::wstring& path, const std::wstring& name) {
    if (!path.empty()) {
        path.push_back(L'\\');
    }
    path += name;
}

// The failed open of a folder through its parent's handle, as the walk
// reports it; and a failed listing.
Error OpenError() {
    const uint32_t code = platform::LastError();
    return Error{code, StopForOpenError(code)};
}

Error UnlistedError() {
    return Error{platform::LastError(), WalkStop::kFailed};
}

class Walk {
  public:
    Walk(TreeVisitor& visitor, std::wstring startRelative)
        : visitor_(visitor), path_(std::move(startRelative)) {}

    bool Run(platform::DirHandle&& start) {
        Frame first;
        first.handle = std::move(start);
        first.pathLength = path_.size();
        if (!List(first)) {
            visitor_.Unlisted(path_, UnlistedError());
            return false;
        }
        stack_.push_back(std::move(first));
        while (!stack_.empty()) {
            const size_t top = stack_.size() - 1;
            if (stack_[top].next == stack_[top].entries.size()) {
                if (top == 0) {
                    return true;
                }
                Leave(top);
                continue;
            }
            if (!Step(top)) {
                return false;
            }
        }
        return true;
    }

  private:
    bool List(Frame& frame) {
        const platform::ListDetail detail =
            visitor_.KindsSuffice() ? platform::ListDetail::kKinds : platform::ListDetail::kFull;
        if (!frame.handle.List(frame.entries, detail)) {
            return false;
        }
        if (visitor_.ByName()) {
            std::sort(frame.entries.begin(), frame.entries.end(),
                      [](const platform::DirEntry& a, const platform::DirEntry& b) {
                          return a.name < b.name;
                      });
        }
        if (visitor_.FilesFirst()) {
            std::stable_partition(
                frame.entries.begin(), frame.entries.end(),
                [](const platform::DirEntry& entry) { return !entry.IsDirectory(); });
        }
        return true;
    }

    // Visits the next entry of the top folder; false when the visitor stops.
    bool Step(size_t top) {
        Frame& frame = stack_[top];
        const platform::DirEntry& entry = frame.entries[frame.next++];
        itemPath_.assign(path_);
        AppendName(itemPath_, entry.name);
        const WalkItem item{frame.handle, entry.name, itemPath_, entry.attributes, top + 1};
        const WalkStep step = visitor_.Visit(item);
        if (step == WalkStep::kStop) {
            return false;
        }
        if (step != WalkStep::kEnter || !item.IsRealFolder()) {
            return true;
        }
        Frame child;
        if (!child.handle.OpenChild(frame.handle, entry.name)) {
            visitor_.Unreadable(itemPath_, OpenError());
            return true;
        }
        visitor_.Entered(item);
        child.name = entry.name;
        child.attributes = entry.attributes;
        if (!List(child)) {
            visitor_.Unlisted(itemPath_, UnlistedError());
        }
        path_.swap(itemPath_);
        child.pathLength = path_.size();
        stack_.push_back(std::move(child));
        const size_t pushed = stack_.size() - 1;
        if (pushed > kHeldSpan && (pushed - kHeldSpan) % kHeldSpan != 0) {
            stack_[pushed - kHeldSpan].handle.Close();
        }
        return true;
    }

    // The top folder is done: hand it to the visitor through its parent.
    void Leave(size_t top) {
        stack_[top].handle.Close();
        size_t lost = 0;
        if (!Reopen(top - 1, lost)) {
            Abandon(lost);
            return;
        }
        const Frame& frame = stack_[top];
        const WalkItem item{stack_[top - 1].handle, frame.name, path_, frame.attributes, top};
        visitor_.Left(item);
        path_.resize(stack_[top - 1].pathLength);
        stack_.pop_back();
    }

    // Opens again, from the nearest folder still held, the folders down to
    // `index` that gave their handles back. `lost` names the first that could
    // not be opened (renamed or replaced meanwhile).
    bool Reopen(size_t index, size_t& lost) {
        if (stack_[index].handle.IsOpen()) {
            return true;
        }
        size_t held = index - index % kHeldSpan;
        for (size_t i = held + 1; i <= index; ++i) {
            Frame& frame = stack_[i];
            if (frame.handle.IsOpen()) {
                continue;
            }
            if (!frame.handle.OpenChild(stack_[i - 1].handle, frame.name)) {
                lost = i;
                visitor_.Unreadable(path_.substr(0, frame.pathLength), OpenError());
                return false;
            }
        }
        return true;
    }

    // Drops the folders from `lost` down: what is left of them stays unseen.
    void Abandon(size_t lost) {
        path_.resize(stack_[lost - 1].pathLength);
        stack_.resize(lost);
    }

    TreeVisitor& visitor_;
    std::wstring path_;      // relative path of the folder being listed
    std::wstring itemPath_;  // relative path of the entry being visited
    std::vector<Frame> stack_;
};

}  // namespace

WalkStop StopForOpenError(uint32_t error) {
    switch (error) {
        case platform::kErrorStoppedOnSymlink:
            return WalkStop::kLink;
        case platform::kErrorFileNotFound:
        case platform::kErrorPathNotFound:
            return WalkStop::kMissing;
        case platform::kErrorDirectory:
            return WalkStop::kNotFolder;
        default:
            return WalkStop::kFailed;
    }
}

bool WalkOpenFolder(platform::DirHandle&& start, const std::wstring& startRelative,
                    TreeVisitor& visitor) {
    Walk walk(visitor, startRelative);
    return walk.Run(std::move(start));
}

bool WalkTreeBelow(const ClientFolder& root, const std::wstring& start, TreeVisitor& visitor) {
    platform::DirHandle folder;
    Error err;
    if (!OpenFolderBelow(root, start, false, folder, &err)) {
        visitor.Unreadable(start, err);
        return false;
    }
    return WalkOpenFolder(std::move(folder), start, visitor);
}

}  // namespace rr
