#include "fs/delete_tree.h"

#include "base/path.h"
#include "fs/crash_points.h"
#include "fs/in_use.h"
#include "fs/tree_walk.h"
#include "platform/error.h"

namespace rr {

namespace {

// One file or link, waiting out another program that holds it.
bool RemoveEntry(FileStep step, const platform::DirHandle& parent, const std::wstring& name,
                 const std::wstring& path) {
    return RetryWhileInUse(step, path, [&] {
        return ChangePoint(Change::kRenameOrDelete) && parent.RemoveChild(name);
    });
}

// Deletes what the walk meets: files and links as it lists them, each folder
// once its entries are gone, by name through its parent's handle.
class TreeDeletion : public TreeVisitor {
  public:
    TreeDeletion(const std::wstring& root, LinkPolicy policy, DeleteObserver* observer)
        : root_(root), policy_(policy), observer_(observer) {}

    bool clean() const { return clean_; }

    void Failed(const std::wstring& path, const wchar_t* what, uint32_t error) {
        clean_ = false;
        if (observer_) {
            observer_->Failed(path, what, error);
        }
    }

    void Blocked(const std::wstring& path) {
        clean_ = false;
        if (observer_) {
            observer_->LinkBlocked(path);
        }
    }

    WalkStep Visit(const WalkItem& item) override {
        if (item.IsReparsePoint()) {
            RemoveLink(item.folder, item.name, Full(item.relative));
            return WalkStep::kSkip;
        }
        if (!item.IsDirectory()) {
            RemoveFile(item.folder, item.name, Full(item.relative));
            return WalkStep::kSkip;
        }
        if (observer_) {
            observer_->Moment(DeleteTreePhase::kBeforeEnter, Full(item.relative));
        }
        // A read-only folder keeps its children on POSIX (not on Windows);
        // clearing it first gives both systems the same outcome.
        item.folder.SetNormalAttributes(item.name);
        return WalkStep::kEnter;
    }

    void Entered(const WalkItem& item) override {
        if (observer_) {
            observer_->Moment(DeleteTreePhase::kEntered, Full(item.relative));
        }
    }

    void Unreadable(const std::wstring& relative, const Error& err) override {
        if (err.stop == WalkStop::kLink) {
            // Swapped for a link since it was listed: never entered.
            Blocked(Full(relative));
        } else if (err.stop != WalkStop::kMissing) {
            Failed(Full(relative), L"enumerate directory", err.code);
        }
    }

    void Left(const WalkItem& item) override {
        item.folder.SetNormalAttributes(item.name);
        if (RetryWhileInUse(FileStep::kChange, Full(item.relative), [&] {
                return ChangePoint(Change::kRenameOrDelete) &&
                       item.folder.RemoveChildDirectory(item.name);
            })) {
            if (observer_) {
                observer_->FolderDeleted(Full(item.relative));
            }
            return;
        }
        const uint32_t error = platform::LastError();
        if (IsNotFound(error)) {
            if (observer_) {
                observer_->FolderVanished(Full(item.relative));
            }
            return;
        }
        if (error == platform::kErrorStoppedOnSymlink) {
            Blocked(Full(item.relative));
            return;
        }
        Failed(Full(item.relative), L"remove directory", error);
    }

  private:
    std::wstring Full(const std::wstring& relative) const { return JoinPath(root_, relative); }

    void RemoveLink(const platform::DirHandle& parent, const std::wstring& name,
                    const std::wstring& path) {
        if (policy_ == LinkPolicy::kBlock) {
            Blocked(path);
            return;
        }
        // Only a sharing violation is waited for: access denied is how a
        // directory link on Windows asks for RemoveDirectory below.
        if (RemoveEntry(FileStep::kOpen, parent, name, path) || IsNotFound(platform::LastError())) {
            if (observer_) {
                observer_->FileDeleted(path);
            }
            return;
        }
        // A directory link on Windows goes with RemoveDirectory, which never
        // enters it.
        if (platform::LastError() == platform::kErrorAccessDenied &&
            parent.RemoveChildDirectory(name)) {
            if (observer_) {
                observer_->FileDeleted(path);
            }
            return;
        }
        Failed(path, L"delete file", platform::LastError());
    }

    void RemoveFile(const platform::DirHandle& parent, const std::wstring& name,
                    const std::wstring& path) {
        parent.SetNormalAttributes(name);
        if (RemoveEntry(FileStep::kChange, parent, name, path) ||
            IsNotFound(platform::LastError())) {
            if (observer_) {
                observer_->FileDeleted(path);
            }
            return;
        }
        Failed(path, L"delete file", platform::LastError());
    }

    const std::wstring& root_;
    LinkPolicy policy_;
    DeleteObserver* observer_;
    bool clean_ = true;
};

}  // namespace

bool DeleteTreeBelow(const ClientFolder& root, const std::wstring& relative, LinkPolicy policy,
                     DeleteObserver* observer) {
    root.Forget();
    const std::wstring full = JoinPath(root.Path(), relative);
    TreeDeletion deletion(root.Path(), policy, observer);
    platform::DirHandle parent;
    std::wstring name;
    Error err;
    if (!OpenParentBelow(root, full, false, parent, name, &err)) {
        if (err.stop == WalkStop::kMissing) {
            return true;
        }
        if (err.stop == WalkStop::kLink) {
            deletion.Blocked(full);
        } else {
            deletion.Failed(full, L"delete file", err.code);
        }
        return false;
    }
    std::wstring target;
    if (!RelativePathUnderRoot(root.Resolved(), full, target)) {
        deletion.Failed(full, L"delete file", platform::kErrorInvalidName);
        return false;
    }
    platform::FileInfo info;
    if (!parent.Stat(name, info)) {
        const uint32_t error = platform::LastError();
        if (IsNotFound(error)) {
            return true;
        }
        deletion.Failed(full, L"delete file", error);
        return false;
    }
    // The target is one entry of its parent, handled as the walk handles the
    // entries below it.
    const WalkItem item{parent, name, target, info.attributes, 0};
    if (deletion.Visit(item) == WalkStep::kEnter) {
        platform::DirHandle folder;
        if (!folder.OpenChild(parent, name)) {
            const uint32_t error = platform::LastError();
            deletion.Unreadable(target, Error{error, StopForOpenError(error)});
            return deletion.clean();
        }
        deletion.Entered(item);
        WalkOpenFolder(std::move(folder), target, deletion);
        deletion.Left(item);
    }
    return deletion.clean();
}

}  // namespace rr
