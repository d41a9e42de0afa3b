#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "run/run_config.h"

namespace rr {

// Reads the process command line. Never fails: what it cannot use it skips.
RunConfig ParseCommandLine();
// The same rules over an argument list whose element 0 is the program path.
RunConfig ParseArguments(const std::vector<std::wstring>& args);

// Converts like the C library's wide decimal conversion to a 32-bit signed
// number (white space, sign, digits up to the first non-digit; no digits
// gives 0), kept as an unsigned process id.
uint32_t ParseProcessId(const std::wstring& text);

// The folder of the updater's executable: its module path cut before the last
// '\' or '/'; the whole path when it has neither.
std::wstring DefaultClientDir(const std::wstring& moduleFileName);

// The normalized client directory: the full path with '\' separators and no
// trailing '\'. Lower case where the file system ignores letter case; on a
// case-sensitive file system the letter case stays, or it would name another
// folder.
std::wstring NormalizeClientDir(const std::wstring& clientDir);

// The path that game processes are matched against and that is relaunched.
std::wstring ExpectedMainPath(const std::wstring& normalizedClientDir, const std::wstring& mainExe);

// Fills the clientDir default and normalizes it in place.
void CompleteClientDir(RunConfig& config, const std::wstring& moduleFileName);

}  // namespace rr
