#include "fs/safe_fs.h"

#include "base/path.h"
#include "fs/crash_points.h"
#include "fs/in_use.h"
#include "fs/tree_walk.h"
#include "platform/error.h"

namespace rr {

namespace {

// A step that failed: the platform's code for the call that just failed,
// and where the walk stopped. A link on the way always reports as a link.
bool Stop(Error* err, WalkStop why) {
    return Fail(err,
                why == WalkStop::kLink ? platform::kErrorStoppedOnSymlink : platform::LastError(),
                {}, why);
}

// The outcome of the platform call that ends an operation.
bool Checked(bool ok, Error* err) {
    return ok || Stop(err, WalkStop::kNone);
}

void Clear(Error* err) {
    if (err != nullptr) {
        *err = Error{};
    }
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
              platform::DirHandle& child, Error* err) {
    if (child.OpenChild(parent, name)) {
        return true;
    }
    uint32_t error = platform::LastError();
    if (error == platform::kErrorStoppedOnSymlink) {
        return Stop(err, WalkStop::kLink);
    }
    if (error == platform::kErrorDirectory) {
        return Stop(err, WalkStop::kNotFolder);
    }
    if (!IsNotFound(error)) {
        return Stop(err, WalkStop::kFailed);
    }
    if (!create) {
        return Stop(err, WalkStop::kMissing);
    }
    if (!(ChangePoint(Change::kMakeFolder) && parent.MakeChildDirectory(name)) &&
        platform::LastError() != platform::kErrorAlreadyExists) {
        return Stop(err, WalkStop::kFailed);
    }
    // Open what is there now: a link planted between the two calls is refused
    // like any other.
    if (child.OpenChild(parent, name)) {
        return true;
    }
    error = platform::LastError();
    if (error == platform::kErrorStoppedOnSymlink) {
        return Stop(err, WalkStop::kLink);
    }
    return Stop(err, error == platform::kErrorDirectory ? WalkStop::kNotFolder : WalkStop::kFailed);
}

// Opens a file for reading, waiting out another program that holds it.
bool OpenForRead(const platform::DirHandle& parent, const std::wstring& name,
                 const std::wstring& path, platform::FileReader& reader) {
    return RetryWhileInUse(FileStep::kOpen, path,
                           [&] { return parent.OpenFileForRead(name, reader); });
}

// Creates a new file, waiting out another program that holds the name.
bool CreateNew(const platform::DirHandle& parent, const std::wstring& name,
               const std::wstring& path, platform::FileWriter& writer) {
    return RetryWhileInUse(FileStep::kOpen, path, [&] {
        return ChangePoint(Change::kCreateFile) && parent.CreateNewFile(name, writer);
    });
}

// Removes a file or a link, waiting out another program that holds it. A
// real folder is refused at once (access denied, nothing to wait for).
bool RemoveEntry(const platform::DirHandle& parent, const std::wstring& name,
                 const std::wstring& path) {
    const auto attempt = [&] {
        return ChangePoint(Change::kRenameOrDelete) && parent.RemoveChild(name);
    };
    platform::FileInfo info;
    if (parent.Stat(name, info) && info.IsDirectory() && !info.IsReparsePoint()) {
        return attempt();
    }
    return RetryWhileInUse(FileStep::kChange, path, attempt);
}

// Renames, waiting out another program that holds the file or the target.
bool RenameEntry(const platform::DirHandle& from, const std::wstring& name,
                 const platform::DirHandle& to, const std::wstring& toName, bool replaceExisting,
                 const std::wstring& path) {
    return RetryWhileInUse(FileStep::kChange, path, [&] {
        return ChangePoint(Change::kRenameOrDelete) &&
               from.Rename(name, to, toName, replaceExisting);
    });
}

// Walks from the open folder `from` down relativeFolder (at least one name).
bool WalkDown(const platform::DirHandle& from, const std::vector<std::wstring>& segments,
              bool create, platform::DirHandle& folder, Error* err) {
    const platform::DirHandle* at = &from;
    platform::DirHandle current;
    for (const std::wstring& segment : segments) {
        if (segment == L"." || segment == L"..") {
            return Stop(err, WalkStop::kOutside);
        }
        platform::DirHandle next;
        if (!StepInto(*at, segment, create, next, err)) {
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
                std::wstring& name, Error* err) {
    std::wstring relative;
    if (!RelativePathUnderRoot(root.Resolved(), fullPath, relative)) {
        return Stop(err, WalkStop::kOutside);
    }
    while (!relative.empty() && relative.back() == L'\\') {
        relative.pop_back();
    }
    size_t cut = relative.rfind(L'\\');
    folder = cut == std::wstring::npos ? std::wstring() : relative.substr(0, cut);
    name = cut == std::wstring::npos ? relative : relative.substr(cut + 1);
    if (name.empty()) {
        return Stop(err, WalkStop::kOutside);
    }
    return true;
}

// Closes the folders a read opened, unless a read phase keeps them.
class LeaveNothingOpen {
  public:
    explicit LeaveNothingOpen(const ClientFolder& root) : root_(root) {}
    ~LeaveNothingOpen() {
        if (!root_.Keeping()) {
            root_.Forget();
        }
    }
    LeaveNothingOpen(const LeaveNothingOpen&) = delete;
    LeaveNothingOpen& operator=(const LeaveNothingOpen&) = delete;

  private:
    const ClientFolder& root_;
};

// The folder that holds fullPath, for reading: the root's kept folder.
const platform::DirHandle* ReadParentBelow(const ClientFolder& root, const std::wstring& fullPath,
                                           std::wstring& name, Error* err) {
    Clear(err);
    std::wstring folder;
    if (!SplitBelow(root, fullPath, folder, name, err)) {
        return nullptr;
    }
    const platform::DirHandle* parent = root.ReadFolder(folder, err);
    if (parent == nullptr && err != nullptr && err->stop == WalkStop::kMissing) {
        err->code = platform::kErrorPathNotFound;
    }
    return parent;
}

}  // namespace

ClientFolder::ClientFolder(const std::wstring& path) : path_(path) {}

ClientFolder::ClientFolder(const wchar_t* path) : path_(path) {}

const ResolvedRoot& ClientFolder::Resolved() const {
    if (!resolved_) {
        resolvedRoot_ = ResolveRoot(path_);
        resolved_ = true;
    }
    return resolvedRoot_;
}

const platform::DirHandle* ClientFolder::Root(Error* err) const {
    if (!root_.IsOpen() && !root_.OpenAnchor(path_)) {
        Stop(err, IsNotFound(platform::LastError()) ? WalkStop::kMissing : WalkStop::kFailed);
        return nullptr;
    }
    return &root_;
}

const platform::DirHandle* ClientFolder::ReadFolder(const std::wstring& relativeFolder,
                                                    Error* err) const {
    const platform::DirHandle* root = Root(err);
    if (root == nullptr) {
        return nullptr;
    }
    for (Kept& kept : kept_) {
        if (kept.folder.IsOpen() && kept.relative == relativeFolder) {
            return &kept.folder;
        }
    }
    const std::vector<std::wstring> segments = SplitSegments(relativeFolder);
    if (segments.empty()) {
        return root;
    }
    // The older slot makes room.
    newest_ = 1 - newest_;
    Kept& slot = kept_[newest_];
    slot.folder.Close();
    slot.relative.clear();
    if (!WalkDown(*root, segments, false, slot.folder, err)) {
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
                     platform::DirHandle& folder, Error* err) {
    Clear(err);
    const std::vector<std::wstring> segments = SplitSegments(relativeFolder);
    if (segments.empty()) {
        // The root itself, as a handle of the caller's own.
        platform::DirHandle current;
        if (!current.OpenAnchor(root.Path())) {
            return Stop(err,
                        IsNotFound(platform::LastError()) ? WalkStop::kMissing : WalkStop::kFailed);
        }
        folder = std::move(current);
        return true;
    }
    const platform::DirHandle* from = root.Root(err);
    return from != nullptr && WalkDown(*from, segments, create, folder, err);
}

bool OpenParentBelow(const ClientFolder& root, const std::wstring& fullPath, bool create,
                     platform::DirHandle& parent, std::wstring& name, Error* err) {
    name.clear();
    std::wstring folder;
    std::wstring last;
    if (!SplitBelow(root, fullPath, folder, last, err) ||
        !OpenFolderBelow(root, folder, create, parent, err)) {
        return false;
    }
    name = last;
    return true;
}

bool StatBelow(const ClientFolder& root, const std::wstring& fullPath, platform::FileInfo& info,
               Error* err) {
    info = platform::FileInfo{};
    const LeaveNothingOpen done(root);
    std::wstring name;
    const platform::DirHandle* parent = ReadParentBelow(root, fullPath, name, err);
    return parent != nullptr && Checked(parent->Stat(name, info), err);
}

namespace {

// OpenFileBelow, a wait named after `notice`.
bool OpenFileNoticed(const ClientFolder& root, const std::wstring& fullPath,
                     const std::wstring& notice, platform::FileReader& reader, Error* err) {
    const LeaveNothingOpen done(root);
    std::wstring name;
    const platform::DirHandle* parent = ReadParentBelow(root, fullPath, name, err);
    if (parent == nullptr) {
        return false;
    }
    if (!OpenForRead(*parent, name, notice, reader)) {
        return Stop(err, platform::LastError() == platform::kErrorStoppedOnSymlink
                             ? WalkStop::kLink
                             : WalkStop::kNone);
    }
    return true;
}

}  // namespace

bool OpenFileBelow(const ClientFolder& root, const std::wstring& fullPath,
                   platform::FileReader& reader, Error* err) {
    return OpenFileNoticed(root, fullPath, fullPath, reader, err);
}

bool CreateFileBelow(const ClientFolder& root, const std::wstring& fullPath,
                     platform::FileWriter& writer, Error* err) {
    root.Forget();
    platform::DirHandle parent;
    std::wstring name;
    if (!OpenParentBelow(root, fullPath, true, parent, name, err)) {
        return false;
    }
    if (!RemoveEntry(parent, name, fullPath) && !IsNotFound(platform::LastError())) {
        return Stop(err, WalkStop::kNone);
    }
    return Checked(CreateNew(parent, name, fullPath, writer), err);
}

bool CreateFolderBelow(const ClientFolder& root, const std::wstring& fullPath, Error* err) {
    std::wstring relative;
    if (IsSamePath(root.Path(), fullPath)) {
        relative.clear();
    } else if (!RelativePathUnderRoot(root.Resolved(), fullPath, relative)) {
        return Stop(err, WalkStop::kOutside);
    }
    platform::DirHandle folder;
    return OpenFolderBelow(root, relative, true, folder, err);
}

std::wstring ReplacementTempName(const std::wstring& name) {
    return name + L".~rrnew";
}

namespace {

// The new bytes are written in our own work folder, never beside the
// target: a copy left by a killed run can then never be taken for a client
// file, and whatever stands in the staging folder is ours to replace.
// A wait is named after the client file, never the temporary copy.
bool CreateStagedFile(const ClientFolder& root, const std::wstring& staging,
                      const std::wstring& temp, const std::wstring& to, platform::DirHandle& temps,
                      platform::FileWriter& writer, Error* err) {
    std::wstring stagingRelative;
    if (!RelativePathUnderRoot(root.Resolved(), staging, stagingRelative)) {
        return Stop(err, WalkStop::kOutside);
    }
    if (!OpenFolderBelow(root, stagingRelative, true, temps, err)) {
        return false;
    }
    if (!RemoveEntry(temps, temp, to) && !IsNotFound(platform::LastError())) {
        return Stop(err, WalkStop::kNone);
    }
    return Checked(CreateNew(temps, temp, to, writer), err);
}

// The new file keeps the permissions of the file it replaces (on POSIX the
// executable bit of Main.exe), or takes the source's when there is none; a
// new .exe can always be run, as on Windows, whatever a download or a
// package entry gave it.
bool TakeMode(const platform::DirHandle& parent, const std::wstring& name, const std::wstring& to,
              const platform::FileInfo& existing, const platform::FileReader& reader,
              platform::FileWriter& writer) {
    platform::FileReader previous;
    const bool replacing = existing.IsRegularFile() && OpenForRead(parent, name, to, previous);
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
        if (!(ChangePoint(Change::kWrite) && writer.Write(buffer.data(), got))) {
            error = platform::LastError();
            return false;
        }
    }
}

// Renames the finished copy over the target.
bool PutInPlace(const platform::DirHandle& temps, const std::wstring& temp,
                const platform::DirHandle& parent, const std::wstring& name, const std::wstring& to,
                const platform::FileInfo& existing, uint32_t& error) {
    // A read-only file in the way refuses the copy, as CopyFileW does.
    if (existing.attributes & platform::kAttrReadOnly) {
        error = platform::kErrorAccessDenied;
        return false;
    }
    if (!RenameEntry(temps, temp, parent, name, true, to)) {
        error = platform::LastError();
        return false;
    }
    return true;
}

}  // namespace

bool CopyFileBelow(const ClientFolder& root, const std::wstring& from, const std::wstring& to,
                   const std::wstring& staging, Error* err, const std::wstring& clientFile) {
    root.Forget();
    const std::wstring& notice = clientFile.empty() ? to : clientFile;
    platform::FileReader reader;
    if (!OpenFileNoticed(root, from, notice, reader, err)) {
        return false;
    }
    platform::DirHandle parent;
    std::wstring name;
    if (!OpenParentBelow(root, to, true, parent, name, err)) {
        return false;
    }
    platform::FileInfo existing;
    if (parent.Stat(name, existing) && existing.IsDirectory() && !existing.IsReparsePoint()) {
        return Fail(err, platform::kErrorAccessDenied);
    }
    const std::wstring temp = ReplacementTempName(name);
    platform::DirHandle temps;
    platform::FileWriter writer;
    if (!CreateStagedFile(root, staging, temp, notice, temps, writer, err)) {
        return false;
    }
    bool ok = TakeMode(parent, name, notice, existing, reader, writer);
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
    ok = ok && PutInPlace(temps, temp, parent, name, notice, existing, error);
    if (!ok) {
        temps.RemoveChild(temp);
        return Fail(err, error);
    }
    return true;
}

bool MoveFileBelow(const ClientFolder& root, const std::wstring& from, const std::wstring& to,
                   bool replaceExisting, Error* err, const std::wstring& clientFile) {
    root.Forget();
    platform::DirHandle fromParent;
    std::wstring fromName;
    if (!OpenParentBelow(root, from, false, fromParent, fromName, err)) {
        return false;
    }
    platform::DirHandle toParent;
    std::wstring toName;
    if (!OpenParentBelow(root, to, true, toParent, toName, err)) {
        return false;
    }
    return Checked(RenameEntry(fromParent, fromName, toParent, toName, replaceExisting,
                               clientFile.empty() ? from : clientFile),
                   err);
}

bool RemoveFileBelow(const ClientFolder& root, const std::wstring& fullPath, Error* err) {
    root.Forget();
    platform::DirHandle parent;
    std::wstring name;
    if (!OpenParentBelow(root, fullPath, false, parent, name, err)) {
        return false;
    }
    // A read-only file refuses deletion on Windows.
    parent.SetNormalAttributes(name);
    return Checked(RemoveEntry(parent, name, fullPath), err);
}

}  // namespace rr
