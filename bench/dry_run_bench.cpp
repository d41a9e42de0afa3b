// The repair dry-run over a client folder with 50 000 files (every one listed
// in the manifest, so each is hashed, plus the managed-root scan), against
// `find | xargs sha256sum` over the same files. Both run from the page cache.
// Usage: dry_run_bench [folder for the test client]   (native build only)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/text.h"
#include "log/log.h"
#include "net/sha256.h"
#include "dry_run/repair_dry_run.h"

namespace {

namespace fs = std::filesystem;

std::wstring CorePath(const fs::path& p) {
    std::wstring w = rr::Utf8ToUtf16(p.string());
    for (auto& c : w) {
        if (c == L'/')
            c = L'\\';
    }
    return w;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double TimeCommand(const std::string& command) {
    auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "command failed: %s\n", command.c_str());
        std::exit(1);
    }
    return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
    const int kFolders = 500;
    const int kFilesPerFolder = 100;
    const size_t kFileBytes = 2048;
    fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    fs::path client = base / "RrDryRunBench_Client";
    fs::remove_all(client);

    std::printf("creating %d files of %zu bytes...\n", kFolders * kFilesPerFolder, kFileBytes);
    rr::Manifest manifest;
    manifest.version = L"bench";
    std::string content(kFileBytes, 'x');
    for (int d = 0; d < kFolders; ++d) {
        fs::path folder = client / "Data" / ("World" + std::to_string(d));
        fs::create_directories(folder);
        for (int f = 0; f < kFilesPerFolder; ++f) {
            std::string name = "Object" + std::to_string(f) + ".bmd";
            std::snprintf(content.data(), content.size(), "%d/%d", d, f);
            std::ofstream(folder / name, std::ios::binary).write(content.data(), content.size());
            rr::ManifestFile entry;
            entry.path = L"Data\\World" + std::to_wstring(d) + L"\\" + rr::Utf8ToUtf16(name);
            entry.url = entry.path;
            entry.size = kFileBytes;
            rr::ComputeFileSha256Below(CorePath(client), CorePath(folder / name), entry.sha256,
                                       nullptr);
            manifest.files.push_back(entry);
        }
    }
    const std::string tool = "find '" + (client / "Data").string() +
                             "' -type f -print0 | xargs -0 sha256sum > /dev/null";
    TimeCommand(tool);  // warm the page cache for both sides

    double toolSeconds = 1e9;
    double oursSeconds = 1e9;
    double oursNoLogSeconds = 1e9;
    for (int run = 0; run < 3; ++run) {
        toolSeconds = std::min(toolSeconds, TimeCommand(tool));

        fs::remove_all(client / "Logs");
        {
            const rr::LogScope logs(CorePath(client));
            const auto start = std::chrono::steady_clock::now();
            rr::RepairDryRunCounts counts = rr::ReportRepairDryRun(CorePath(client), manifest);
            oursSeconds = std::min(oursSeconds, Seconds(start));
            if (counts.ok != manifest.files.size() || counts.extra != 0) {
                std::fprintf(stderr, "unexpected report: ok=%u extra=%u\n", counts.ok,
                             counts.extra);
                return 1;
            }
        }

        const auto start = std::chrono::steady_clock::now();
        rr::ReportRepairDryRun(CorePath(client), manifest);
        oursNoLogSeconds = std::min(oursNoLogSeconds, Seconds(start));
    }
    std::printf("find + sha256sum:             %.3f s\n", toolSeconds);
    std::printf("dry-run (with its log lines): %.3f s  ratio %.2f (goal <= 1.20)\n", oursSeconds,
                oursSeconds / toolSeconds);
    std::printf("dry-run (logging switched off): %.3f s  ratio %.2f\n", oursNoLogSeconds,
                oursNoLogSeconds / toolSeconds);
    fs::remove_all(client);
    return 0;
}
