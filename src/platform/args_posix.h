#pragma once
// The POSIX entry hands its argv to the layer; Windows reads GetCommandLineW.
#include <string>
#include <vector>

namespace rr::platform::posix {

void StoreCommandLine(int argc, char** argv);
bool StoredArguments(std::vector<std::wstring>& args);

}  // namespace rr::platform::posix
