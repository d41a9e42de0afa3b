// riveroravav-publish: makes a release the updater will accept from a folder
// that holds the client as it should be. See PublishUsage() and README.md.
#include <cstdio>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "log/log.h"
#include "platform/text.h"
#include "publish/publish_options.h"
#include "publish/publisher.h"

namespace {

void Print(std::FILE* stream, const std::wstring& line) {
    const std::string bytes = rr::platform::WideToUtf8(line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

// The publisher is a native tool: paths are shown the way the shell wrote them.
std::wstring NativeForm(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(rr::platform::Utf8ToWide(argv[i] != nullptr ? argv[i] : ""));
    }
    rr::publish::PublishOptions options;
    rr::Error error;
    if (!rr::publish::ParsePublishArguments(args, options, &error)) {
        Print(stderr, L"riveroravav-publish: " + error.text);
        std::fputs(rr::platform::WideToUtf8(rr::publish::PublishUsage()).c_str(), stderr);
        return 2;
    }

    rr::publish::PublishReport report;
    const bool published = rr::publish::PublishRelease(options, report);
    for (const std::wstring& refusal : report.refusals) {
        Print(stderr, L"refused: " + refusal);
    }
    if (!report.refusals.empty()) {
        Print(stderr, L"riveroravav-publish: the release folder was refused; nothing was written");
        return 1;
    }
    for (const rr::publish::LeftOutFile& file : report.leftOut) {
        Print(stderr, L"not in manifest.json: " + file.path + L" reason=" + file.reason);
    }
    if (!published) {
        Print(stderr, L"riveroravav-publish: " + report.error.text);
        return 1;
    }
    Print(stderr, L"published " + rr::ToDecimal(report.fileCount) + L" files (" +
                      rr::ToDecimal(report.updateCount) + L" in manifest.json, " +
                      rr::ToDecimal(report.leftOut.size()) + L" left out) into " +
                      NativeForm(options.outDir));
    // What the game passes to the full-client modes.
    Print(stdout, L"--package-url " + report.packageUrl);
    Print(stdout, L"--package-sha256 " + rr::Utf8ToUtf16(report.packageSha256));
    Print(stdout, L"--package-size " + rr::ToDecimal(report.packageSize));
    Print(stdout, L"--package-version " + options.version);
    return 0;
}
