#pragma once
// File operations below a trusted root (the client folder). Every one walks
// from the root one folder at a time through directory handles, so no link
// below the root is followed and a folder swapped for a link while the
// operation runs cannot redirect it. The root itself may be a link. A file
// that another program holds open is waited for (fs/in_use.h).
//
// A call that fails returns false and fills `err` when given: the platform's
// code for what failed and, when the walk stopped on the way, why (a link, a
// missing folder, a path outside the root).
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/path.h"
#include "platform/fs.h"

namespace rr {

// The client folder (or another trusted root), opened once. Every operation
// below it starts from this handle, never from the path again: a mode opens
// it at its start and hands it to everything below, so a client folder
// renamed or swapped while the mode runs cannot redirect a later step. A
// path converts to a ClientFolder that lives for one call.
//
// During a ReadPhase (a compare, a scan) the reading operations (StatBelow,
// OpenFileBelow) also keep the two folders they opened last (a compare reads
// a package folder and a client folder in turn), so a run of reads in one
// folder walks there once; anything that creates, moves or deletes through
// the object forgets them. Outside a read phase no folder stays open after
// a call, so nothing held here can stand in the way of a folder that another
// step deletes.
class ClientFolder {
  public:
    // Keeps folders open for reads while it lives.
    class ReadPhase {
      public:
        explicit ReadPhase(const ClientFolder& folder) : folder_(folder) { ++folder_.readPhases_; }
        ~ReadPhase() {
            if (--folder_.readPhases_ == 0) {
                folder_.Forget();
            }
        }
        ReadPhase(const ReadPhase&) = delete;
        ReadPhase& operator=(const ReadPhase&) = delete;

      private:
        const ClientFolder& folder_;
    };

    ClientFolder(const std::wstring& path);  // NOLINT(google-explicit-constructor)
    ClientFolder(const wchar_t* path);       // NOLINT(google-explicit-constructor)
    ClientFolder(const ClientFolder&) = delete;
    ClientFolder& operator=(const ClientFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // The path resolved once, for placing full paths below it.
    const ResolvedRoot& Resolved() const;

    // The open root; opened on first use (a failure is tried again next time).
    const platform::DirHandle* Root(Error* err) const;
    // root\relativeFolder for reading, the kept folder when it is that one.
    const platform::DirHandle* ReadFolder(const std::wstring& relativeFolder, Error* err) const;
    // Drops the kept folders: something below may have been moved or deleted.
    void Forget() const;
    bool Keeping() const { return readPhases_ > 0; }

  private:
    std::wstring path_;
    mutable bool resolved_ = false;
    mutable ResolvedRoot resolvedRoot_;
    mutable platform::DirHandle root_;
    struct Kept {
        platform::DirHandle folder;
        std::wstring relative;
    };
    mutable Kept kept_[2];
    mutable size_t newest_ = 0;
    mutable int readPhases_ = 0;
};

// Opens root\relativeFolder (empty: the root itself). With `create`, missing
// folders are made on the way.
bool OpenFolderBelow(const ClientFolder& root, const std::wstring& relativeFolder, bool create,
                     platform::DirHandle& folder, Error* err = nullptr);

// Opens the folder that holds `fullPath` and names its last component.
bool OpenParentBelow(const ClientFolder& root, const std::wstring& fullPath, bool create,
                     platform::DirHandle& parent, std::wstring& name, Error* err = nullptr);

// The entry itself, never what a link points to; a link on the way is a stop.
bool StatBelow(const ClientFolder& root, const std::wstring& fullPath, platform::FileInfo& info,
               Error* err = nullptr);

// Regular files only: a link, folder, FIFO or device is refused.
bool OpenFileBelow(const ClientFolder& root, const std::wstring& fullPath,
                   platform::FileReader& reader, Error* err = nullptr);

// A new, empty file at fullPath; missing folders are made, a file or link
// already there is removed as an entry first (never written through).
bool CreateFileBelow(const ClientFolder& root, const std::wstring& fullPath,
                     platform::FileWriter& writer, Error* err = nullptr);

// Creates fullPath and its missing ancestors as real folders.
bool CreateFolderBelow(const ClientFolder& root, const std::wstring& fullPath,
                       Error* err = nullptr);

// Copies a regular file to `to`: the bytes go into a new file in `staging`
// (a work folder of our own below the root, made when missing) and that file
// is renamed over `to`. A hard link at `to` is broken, never written through;
// a crash leaves the old or the new file whole at `to` and at most a leftover
// in `staging`, which the next copy of the same name replaces. Missing
// folders of `to` are made. A folder at `to` is refused. A wait for a file
// held open is told with `clientFile`, the client file that the copy is for
// (empty: `to`; a backup names the file it backs up).
bool CopyFileBelow(const ClientFolder& root, const std::wstring& from, const std::wstring& to,
                   const std::wstring& staging, Error* err = nullptr,
                   const std::wstring& clientFile = std::wstring());

// Renames a file from one place below the root to another; a wait is told
// with `clientFile` (empty: `from`).
bool MoveFileBelow(const ClientFolder& root, const std::wstring& from, const std::wstring& to,
                   bool replaceExisting, Error* err = nullptr,
                   const std::wstring& clientFile = std::wstring());

// Deletes a file (or a link as an entry, never what it points to); a folder
// is refused.
bool RemoveFileBelow(const ClientFolder& root, const std::wstring& fullPath, Error* err = nullptr);

// The name of the file that CopyFileBelow writes in its staging folder for a
// target called `name`.
std::wstring ReplacementTempName(const std::wstring& name);

}  // namespace rr
