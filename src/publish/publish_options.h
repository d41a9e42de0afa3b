#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"

namespace rr::publish {

struct PublishOptions {
    std::wstring releaseDir;  // full path, core form
    std::wstring outDir;      // full path, core form
    std::wstring version;
    std::wstring baseUrl;  // where the output folder is served; names the package URL
    std::wstring signKey;  // PEM private key; empty: no signatures
    std::vector<std::wstring> managedRoots;  // validated, in the order given
    std::vector<std::wstring> preserve;      // validated, in the order given
    bool hasSequence = false;
    uint64_t sequence = 0;
    std::wstring expires;  // "YYYY-MM-DDTHH:MM:SSZ"; empty when not given
};

std::wstring PublishUsage();

// args[0] is the program. False, with one line in the Error's text, for
// anything the updater would later refuse or that makes no release: unknown
// or repeated options, missing values, a base URL that is not http(s),
// managed roots outside Data, unsafe preserve rules, a version with control
// characters, a bad --expires, and signing without --sequence and --expires.
bool ParsePublishArguments(const std::vector<std::wstring>& args, PublishOptions& options,
                           Error* err);

}  // namespace rr::publish
