#include "app/run_config.h"

#include <climits>

#include "base/path.h"
#include "platform/system.h"

namespace rr {

RunConfig ParseCommandLine() {
    std::vector<std::wstring> args;
    if (!platform::CommandLineArguments(args)) {
        return RunConfig{};
    }
    return ParseArguments(args);
}

uint32_t ParseProcessId(const std::wstring& text) {
    size_t i = 0;
    auto isSpace = [](wchar_t c) {
        return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
    };
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    long long value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        if (!overflow) {
            value = value * 10 + (text[i] - L'0');
            if (value > static_cast<long long>(INT32_MAX) + 1) {
                overflow = true;
            }
        }
    }
    long long result = negative ? -value : value;
    // Out-of-range values saturate as wcstol does with a 32-bit long.
    if (overflow || result > INT32_MAX) {
        result = negative ? INT32_MIN : INT32_MAX;
    }
    if (result < INT32_MIN) {
        result = INT32_MIN;
    }
    return static_cast<uint32_t>(static_cast<int32_t>(result));
}

RunConfig ParseArguments(const std::vector<std::wstring>& args) {
    RunConfig config;
    if (args.size() < 2) {
        return config;
    }
    struct ValueOption {
        const wchar_t* name;
        std::wstring RunConfig::*field;
    };
    static const ValueOption kOptions[] = {
        {L"--client-dir", &RunConfig::clientDir},
        {L"--main-exe", &RunConfig::mainExe},
        {L"--main-pid", nullptr},
        {L"--manifest-url", &RunConfig::manifestUrl},
        {L"--fallback-manifest-url", &RunConfig::fallbackManifestUrl},
        {L"--full-manifest-url", &RunConfig::fullManifestUrl},
        {L"--fallback-full-manifest-url", &RunConfig::fallbackFullManifestUrl},
        {L"--mode", &RunConfig::mode},
        {L"--package-url", &RunConfig::packageUrl},
        {L"--package-sha256", &RunConfig::packageSha256},
        {L"--package-size", &RunConfig::packageSize},
        {L"--package-version", &RunConfig::packageVersion},
    };
    size_t i = 1;
    while (i < args.size()) {
        const std::wstring& arg = args[i];
        if (arg == L"--quarantine-extras") {
            config.quarantineExtras = true;
            ++i;
            continue;
        }
        if (i + 1 >= args.size()) {
            break;  // a last word without its value changes nothing
        }
        bool matched = false;
        for (const auto& option : kOptions) {
            if (arg == option.name) {
                if (option.field) {
                    config.*(option.field) = args[i + 1];
                } else {
                    config.mainPid = ParseProcessId(args[i + 1]);
                }
                matched = true;
                break;
            }
        }
        i += matched ? 2 : 1;
    }
    return config;
}

std::wstring DefaultClientDir(const std::wstring& moduleFileName) {
    size_t pos = moduleFileName.find_last_of(L"\\/");
    if (pos == std::wstring::npos) {
        return moduleFileName;
    }
    return moduleFileName.substr(0, pos);
}

std::wstring NormalizeClientDir(const std::wstring& clientDir) {
    if (platform::FileSystemIgnoresCase()) {
        return PathCompareKey(clientDir);
    }
    return PathNormalForm(clientDir);
}

std::wstring ExpectedMainPath(const std::wstring& normalizedClientDir,
                              const std::wstring& mainExe) {
    return NormalizeClientDir(JoinPath(normalizedClientDir, mainExe));
}

void CompleteClientDir(RunConfig& config, const std::wstring& moduleFileName) {
    if (config.clientDir.empty()) {
        config.clientDir = DefaultClientDir(moduleFileName);
    }
    config.clientDir = NormalizeClientDir(config.clientDir);
}

}  // namespace rr
