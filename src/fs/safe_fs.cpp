#include "fs/safe_fs.h"

#include "fs/crash_points.h"
#include "base/path.h"
#include "fs/tree_walk.h"
#include "platform/error.h"

namespace rr {

namespace {

bool Stop(WalkStop* out, WalkStop why) {
    if (out) {
        *out = why;
    }
    return false;
}

std::vector<std::wstring> SplitSegments(const std::wstring& relative) {
    std::vector<std::wstring> segments;
    std::wstring current;
    for (wchar_t c : relative) {
        if (c == L'\\' || c == L'/') {
            if (!current.empty()) {
                segments.push_back(current);
            }
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        segments.push_back(current);
    }
    return segments;
}

// One step down: open `name` in `parent`, or make it first when allowed.
bool StepInto(const platform::DirHandle& parent, const std::wstring& name, bool create,
              platform::DirHandle& child, WalkStop* stop) {
    if (child.OpenChild(parent, name)) {
        return true;
    }
    uint32_t error = platform::LastError();
    if (error == platform::kErrorStoppedOnSymlink) {
        return Stop(stop, WalkStop::kLink);
    }
    if (error == platform::kErrorDirectory) {
        return Stop(stop, WalkStop::kNotFolder);
    }
    if (!IsNotFound(error)) {
        return Stop(stop, WalkStop::kFailed);
    }
    if (!create) {
        return Stop(stop, WalkStop::kMissing);
    }
    CrashPoint();
    if (!parent.MakeChildDirectory(name) &&
        platform::LastError() != platform::kErrorAlreadyExists) {
        return Stop(stop, WalkStop::kFailed);
    }
    // Open what is there now: a link planted between the two calls is refused
    // like any other.
    if (child.OpenChild(parent, name)) {
        return true;
    }
    error = platform::LastError();
    if (error == platform::kErrorStoppedOnSymlink) {
        return Stop(stop, WalkStop::kLink);
    }
    return Stop(stop,
                error == platform::kErrorDirectory ? WalkStop::kNotFolder : WalkStop::kFailed);
}

DeleteTreeHook& Hook() {
    static DeleteTreeHook hook;
    return hook;
}

// Walks from the open folder `from` down relativeFolder (at least one name).
bool WalkDown(const platform::DirHandle& from, const std::vector<std::wstring>& segments,
              bool create, platform::DirHandle& folder, WalkStop* stop) {
    const platform::DirHandle* at = &from;
    platform::DirHandle current;
    for (const std::wstring& segment : segments) {
        if (segment == L"." || segment == L"..") {
            return Stop(stop, WalkStop::kOutside);
        }
        platform::DirHandle next;
        if (!StepInto(*at, segment, create, next, stop)) {
            return false;
        }
        current = std::move(next);
        at = &current;
    }
    folder = std::move(current);
    return true;
}

// Splits fullPath below the root into the folder that holds it and its name.
bool SplitBelow(const ClientFolder& root, const std::wstring& fullPath, std::wstring& folder,
                std::wstring& name, WalkStop* stop) {
    std::wstring relative;
    if (!RelativePathUnderRoot(root.Path(), fullPath, relative)) {
        return Stop(stop, WalkStop::kOutside);
    }
    while (!relative.empty() && relative.back() == L'\\') {
        relative.pop_back();
    }
    size_t cut = relative.rfind(L'\\');
    folder = cut == std::wstring::npos ? std::wstring() : relative.substr(0, cut);
    name = cut == std::wstring::npos ? relative : relative.substr(cut + 1);
    if (name.empty()) {
        return Stop(stop, WalkStop::kOutside);
    }
    return true;
}

// The folder that holds fullPath, for reading: the root's kept folder.
const platform::DirHandle* ReadParentBelow(const ClientFolder& root, const std::wstring& fullPath,
                                           std::wstring& name, WalkStop* stop) {
    Stop(stop, WalkStop::kNone);
    std::wstring folder;
    if (!SplitBelow(root, fullPath, folder, name, stop)) {
        return nullptr;
    }
    const platform::DirHandle* parent = root.ReadFolder(folder, stop);
    if (parent == nullptr && stop && *stop == WalkStop::kMissing) {
        platform::SetLastErrorCode(platform::kErrorPathNotFound);
    }
    return parent;
}

}  // namespace

ClientFolder::ClientFolder(const std::wstring& path) : path_(path) {}

ClientFolder::ClientFolder(const wchar_t* path) : path_(path) {}

const platform::DirHandle* ClientFolder::Root(WalkStop* stop) const {
    if (!root_.IsOpen() && !root_.OpenAnchor(path_)) {
        Stop(stop, IsNotFound(platform::LastError()) ? WalkStop::kMissing : WalkStop::kFailed);
        return nullptr;
    }
    return &root_;
}

const platform::DirHandle* ClientFolder::ReadFolder(const std::wstring& relativeFolder,
                                                    WalkStop* stop) const {
    const platform::DirHandle* root = Root(stop);
    if (root == nullptr) {
        return nullptr;
    }
    const std::vector<std::wstring> segments = SplitSegments(relativeFolder);
    if (segments.empty()) {
        return root;
    }
    for (Kept& kept : kept_) {
        if (kept.folder.IsOpen() && kept.relative == relativeFolder) {
            return &kept.folder;
        }
    }
    // The older slot makes room.
    newest_ = 1 - newest_;
    Kept& slot = kept_[newest_];
    slot.folder.Close();
    slot.relative.clear();
    if (!WalkDown(*root, segments, false, slot.folder, stop)) {
        return nullptr;
    }
    slot.relative = relativeFolder;
    return &slot.folder;
}

void ClientFolder::Forget() const {
    for (Kept& kept : kept_) {
        kept.folder.Close();
        kept.relative.clear();
    }
}

bool OpenFolderBelow(const ClientFolder& root, const std::wstring& relativeFolder, bool create,
                     platform::DirHandle& folder, WalkStop* stop) {
    Stop(stop, WalkStop::kNone);
    const std::vector<std::wstring> segments = SplitSegments(relativeFolder);
    if (segments.empty()) {
        // The root itself, as a handle of the caller's own.
        platform::DirHandle current;
        if (!current.OpenAnchor(root.Path())) {
            return Stop(stop,
                        IsNotFound(platform::LastError()) ? WalkStop::kMissing : WalkStop::kFailed);
        }
        folder = std::move(current);
        return true;
    }
    const platform::DirHandle* from = root.Root(stop);
    return from != nullptr && WalkDown(*from, segments, create, folder, stop);
}

bool OpenParentBelow(const ClientFolder& root, const std::wstring& fullPath, bool create,
                     platform::DirHandle& parent, std::wstring& name, WalkStop* stop) {
    name.clear();
    std::wstring folder;
    std::wstring last;
    if (!SplitBelow(root, fullPath, folder, last, stop) ||
        !OpenFolderBelow(root, folder, create, parent, stop)) {
        return false;
    }
    name = last;
    return true;
}

bool StatBelow(const ClientFolder& root, const std::wstring& fullPath, platform::FileInfo& info,
               WalkStop* stop) {
    info = platform::FileInfo{};
    std::wstring name;
    const platform::DirHandle* parent = ReadParentBelow(root, fullPath, name, stop);
    return parent != nullptr && parent->Stat(name, info);
}

bool OpenFileBelow(const ClientFolder& root, const std::wstring& fullPath,
                   platform::FileReader& reader, WalkStop* stop) {
    std::wstring name;
    const platform::DirHandle* parent = ReadParentBelow(root, fullPath, name, stop);
    if (parent == nullptr) {
        return false;
    }
    if (!parent->OpenFileForRead(name, reader)) {
        if (platform::LastError() == platform::kErrorStoppedOnSymlink) {
            Stop(stop, WalkStop::kLink);
        }
        return false;
    }
    return true;
}

bool CreateFileBelow(const ClientFolder& root, const std::wstring& fullPath,
                     platform::FileWriter& writer, WalkStop* stop) {
    root.Forget();
    platform::DirHandle parent;
    std::wstring name;
    if (!OpenParentBelow(root, fullPath, true, parent, name, stop)) {
        return false;
    }
    CrashPoint();
    if (!parent.RemoveChild(name) && !IsNotFound(platform::LastError())) {
        return false;
    }
    CrashPoint();
    return parent.CreateNewFile(name, writer);
}

bool CreateFolderBelow(const ClientFolder& root, const std::wstring& fullPath, WalkStop* stop) {
    std::wstring relative;
    if (IsSamePath(root.Path(), fullPath)) {
        relative.clear();
    } else if (!RelativePathUnderRoot(root.Path(), fullPath, relative)) {
        return Stop(stop, WalkStop::kOutside);
    }
    platform::DirHandle folder;
    return OpenFolderBelow(root, relative, true, folder, stop);
}

std::wstring ReplacementTempName(const std::wstring& name) {
    return name + L".~rrnew";
}

namespace {

// The new bytes are written in our own work folder, never beside the
// target: a copy left by a killed run can then never be taken for a client
// file, and whatever stands in the staging folder is ours to replace.
bool CreateStagedFile(const ClientFolder& root, const std::wstring& staging,
                      const std::wstring& temp, platform::DirHandle& temps,
                      platform::FileWriter& writer, WalkStop* stop) {
    std::wstring stagingRelative;
    if (!RelativePathUnderRoot(root.Path(), staging, stagingRelative)) {
        return Stop(stop, WalkStop::kOutside);
    }
    if (!OpenFolderBelow(root, stagingRelative, true, temps, stop)) {
        return false;
    }
    CrashPoint();
    if (!temps.RemoveChild(temp) && !IsNotFound(platform::LastError())) {
        return false;
    }
    CrashPoint();
    return temps.CreateNewFile(temp, writer);
}

// The new file keeps the permissions of the file it replaces (on POSIX the
// executable bit of Main.exe), or takes the source's when there is none; a
// new .exe can always be run, as on Windows, whatever a download or a
// package entry gave it.
bool TakeMode(const platform::DirHandle& parent, const std::wstring& name,
              const platform::FileInfo& existing, const platform::FileReader& reader,
              platform::FileWriter& writer) {
    platform::FileReader previous;
    const bool replacing = existing.IsRegularFile() && parent.OpenFileForRead(name, previous);
    bool ok = writer.CopyModeFrom(replacing ? previous : reader);
    previous.Close();
    if (ok && !replacing && PathEqualsNoCase(PathExtension(name), L".exe")) {
        ok = writer.MakeExecutable();
    }
    return ok;
}

bool CopyBytes(platform::FileReader& reader, platform::FileWriter& writer, uint32_t& error) {
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        size_t got = 0;
        if (!reader.Read(buffer.data(), buffer.size(), got)) {
            error = platform::LastError();
            return false;
        }
        if (got == 0) {
            return true;
        }
        CrashPoint();
        if (!writer.Write(buffer.data(), got)) {
            error = platform::LastError();
            return false;
        }
    }
}

// Renames the finished copy over the target.
bool PutInPlace(const platform::DirHandle& temps, const std::wstring& temp,
                const platform::DirHandle& parent, const std::wstring& name,
                const platform::FileInfo& existing, uint32_t& error) {
    // A read-only file in the way refuses the copy, as CopyFileW does.
    if (existing.attributes & platform::kAttrReadOnly) {
        error = platform::kErrorAccessDenied;
        return false;
    }
    CrashPoint();
    if (!temps.Rename(temp, parent, name, true)) {
        error = platform::LastError();
        return false;
    }
    return true;
}

}  // namespace

bool CopyFileBelow(const ClientFolder& root, const std::wstring& from, const std::wstring& to,
                   const std::wstring& staging, WalkStop* stop) {
    root.Forget();
    platform::FileReader reader;
    if (!OpenFileBelow(root, from, reader, stop)) {
        return false;
    }
    platform::DirHandle parent;
    std::wstring name;
    if (!OpenParentBelow(root, to, true, parent, name, stop)) {
        return false;
    }
    platform::FileInfo existing;
    if (parent.Stat(name, existing) && existing.IsDirectory() && !existing.IsReparsePoint()) {
        platform::SetLastErrorCode(platform::kErrorAccessDenied);
        return false;
    }
    const std::wstring temp = ReplacementTempName(name);
    platform::DirHandle temps;
    platform::FileWriter writer;
    if (!CreateStagedFile(root, staging, temp, temps, writer, stop)) {
        return false;
    }
    bool ok = TakeMode(parent, name, existing, reader, writer);
    uint32_t error = ok ? 0 : platform::LastError();
    ok = ok && CopyBytes(reader, writer, error);
    reader.Close();
    if (ok && !writer.Flush()) {
        ok = false;
        error = platform::LastError();
    }
    if (!writer.Close() && ok) {
        ok = false;
        error = platform::LastError();
    }
    ok = ok && PutInPlace(temps, temp, parent, name, existing, error);
    if (!ok) {
        temps.RemoveChild(temp);
        platform::SetLastErrorCode(error);
    }
    return ok;
}

bool MoveFileBelow(const ClientFolder& root, const std::wstring& from, const std::wstring& to,
                   bool replaceExisting, WalkStop* stop) {
    root.Forget();
    platform::DirHandle fromParent;
    std::wstring fromName;
    if (!OpenParentBelow(root, from, false, fromParent, fromName, stop)) {
        return false;
    }
    platform::DirHandle toParent;
    std::wstring toName;
    if (!OpenParentBelow(root, to, true, toParent, toName, stop)) {
        return false;
    }
    CrashPoint();
    return fromParent.Rename(fromName, toParent, toName, replaceExisting);
}

void SetDeleteTreeHook(DeleteTreeHook hook) {
    Hook() = std::move(hook);
}

namespace {

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
        if (Hook()) {
            Hook()(DeleteTreePhase::kBeforeEnter, Full(item.relative));
        }
        // A read-only folder keeps its children on POSIX (not on Windows);
        // clearing it first gives both systems the same outcome.
        item.folder.SetNormalAttributes(item.name);
        return WalkStep::kEnter;
    }

    void Entered(const WalkItem& item) override {
        if (Hook()) {
            Hook()(DeleteTreePhase::kEntered, Full(item.relative));
        }
    }

    void Unreadable(const std::wstring& relative, WalkStop stop, uint32_t error) override {
        if (stop == WalkStop::kLink) {
            // Swapped for a link since it was listed: never entered.
            Blocked(Full(relative));
        } else if (stop != WalkStop::kMissing) {
            Failed(Full(relative), L"enumerate directory", error);
        }
    }

    void Left(const WalkItem& item) override {
        CrashPoint();
        item.folder.SetNormalAttributes(item.name);
        if (item.folder.RemoveChildDirectory(item.name)) {
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
        CrashPoint();
        if (parent.RemoveChild(name) || IsNotFound(platform::LastError())) {
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
        CrashPoint();
        parent.SetNormalAttributes(name);
        if (parent.RemoveChild(name) || IsNotFound(platform::LastError())) {
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
    WalkStop stop = WalkStop::kNone;
    if (!OpenParentBelow(root, full, false, parent, name, &stop)) {
        if (stop == WalkStop::kMissing) {
            return true;
        }
        if (stop == WalkStop::kLink) {
            deletion.Blocked(full);
        } else {
            deletion.Failed(full, L"delete file", platform::LastError());
        }
        return false;
    }
    std::wstring target;
    if (!RelativePathUnderRoot(root.Path(), full, target)) {
        deletion.Failed(full, L"delete file", platform::kErrorInvalidName);
        return false;
    }
    platform::FileInfo info;
    if (!parent.Stat(name, info)) {
        return IsNotFound(platform::LastError());
    }
    // The target is one entry of its parent, handled as the walk handles the
    // entries below it.
    const WalkItem item{parent, name, target, info.attributes, 0};
    if (deletion.Visit(item) == WalkStep::kEnter) {
        platform::DirHandle folder;
        if (!folder.OpenChild(parent, name)) {
            const uint32_t error = platform::LastError();
            deletion.Unreadable(target, StopForOpenError(error), error);
            return deletion.clean();
        }
        deletion.Entered(item);
        WalkOpenFolder(std::move(folder), target, deletion);
        deletion.Left(item);
    }
    return deletion.clean();
}

}  // namespace rr
