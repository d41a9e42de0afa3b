#pragma once
// What one run was asked to do: the command line's settings, read by app/ and
// handed to the mode that runs.
#include <cstdint>
#include <string>

namespace rr {

struct RunConfig {
    std::wstring clientDir;
    std::wstring mainExe = L"Main.exe";
    std::wstring manifestUrl;
    std::wstring fallbackManifestUrl;
    std::wstring fullManifestUrl;
    std::wstring fallbackFullManifestUrl;
    std::wstring packageUrl;
    std::wstring packageSha256;
    std::wstring packageSize;
    std::wstring packageVersion;
    std::wstring mode = L"update";
    uint32_t mainPid = 0;
    bool quarantineExtras = false;
};

}  // namespace rr
