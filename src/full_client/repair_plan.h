#pragma once
// What a full-client apply will do: the files to copy from the package and
// the client's extra files, decided before anything is changed.
#include <cstdint>
#include <string>
#include <vector>

#include "fs/safe_fs.h"

namespace rr {

struct CopyAction {
    std::wstring relativePath;       // validated, '\' separators
    std::wstring sourcePath;         // inside the package root
    std::wstring destinationPath;    // inside the client folder
    std::wstring backupPath;         // inside the backup root
    uint64_t size = 0;               // of the source
    bool destinationExists = false;  // a file was there when planned: it is backed up
    bool isMainExecutable = false;   // Main.exe at the client root: copied last
};

struct ExtraFile {
    std::wstring relativePath;
    std::wstring clientPath;
    std::wstring quarantinePath;  // empty when quarantine is off
};

struct RepairPlan {
    std::vector<CopyAction> copies;
    std::vector<ExtraFile> extras;
    uint32_t preservedSkipped = 0;  // package files the apply never writes
    uint32_t blocked = 0;           // every refusal met while planning
    uint32_t extrasPreserved = 0;   // preserved client entries met by the extra walk
    uint32_t extrasMovable = 0;     // extras with a checked quarantine path
    std::wstring clientDir;
    std::wstring packageRoot;
    std::wstring backupRoot;
    std::wstring stagingFolder;   // new files are written here, then renamed into place
    std::wstring quarantineRoot;  // empty when quarantine is off
};

// Fills `plan`; true when nothing was blocked. An empty quarantine root means
// extras are only listed, so no quarantine path is made for them.
bool BuildRepairPlan(const ClientFolder& client, const std::wstring& packageRoot,
                     const std::wstring& quarantineRoot, RepairPlan& plan);

// The local time as "YYYYMMDD_hhmmss", for quarantine folder and file names.
std::wstring LocalTimeStamp();

// root\relative when nothing is there yet, else the same name with a
// ".YYYYMMDD_hhmmss" stamp added, in the same folder. Only one stamped name is
// tried: a clash on it makes the later move fail, never replace.
std::wstring UniqueTargetPath(const std::wstring& root, const std::wstring& relative);

}  // namespace rr
