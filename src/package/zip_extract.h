#pragma once
// Extraction of the validated full client package into _full_extract.
#include <cstdint>
#include <string>

#include "fs/safe_fs.h"

namespace rr {

// Counts measured on disk after the extraction.
struct ExtractedCounts {
    uint32_t files = 0;
    uint32_t folders = 0;
    uint64_t bytes = 0;
};

// Lists and checks every entry of the package before anything is written,
// then writes the whole tree below clientDir\_full_extract through the file
// layer (new files only, never through a link), scans the result and finds
// the package root (the folder that holds Main.exe). Every refusal is logged;
// on false no client file outside _full_extract was touched.
bool ExtractFullClientPackage(const ClientFolder& client, const std::wstring& packagePath,
                              std::wstring& extractDir, std::wstring& packageRoot,
                              ExtractedCounts& counts);

// The extract directory itself when it holds Main.exe, else its one and only
// subfolder when that holds Main.exe, else empty. `mainExe`, when given,
// gets the full path of that Main.exe in the letter case it has on disk.
std::wstring FindPackageRoot(const ClientFolder& client, const std::wstring& extractDir,
                             std::wstring* mainExe = nullptr);

}  // namespace rr
