// The full-client compare of an unchanged 1 GiB client (1013 files, every one
// also in the extracted package, so every pair is hashed, plus the extra scan)
// against `sha256sum` over both trees. Both run from the page cache. Peak
// memory is the process's maximum resident set, taken after the runs.
// Usage: compare_bench [folder for the test client]   (native build only)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "full_client/full_client_compare.h"

namespace {

namespace fs = std::filesystem;

std::wstring CorePath(const fs::path& p) {
    std::wstring w = rr::Utf8ToUtf16(p.string());
    for (auto& c : w) {
        if (c == L'/') {
            c = L'\\';
        }
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

// Writes the same pseudo-random file into the client and into the package.
void WritePair(const fs::path& client, const fs::path& package, const std::string& relative,
               uint64_t bytes, uint32_t seed) {
    fs::create_directories((client / relative).parent_path());
    fs::create_directories((package / relative).parent_path());
    std::ofstream a(client / relative, std::ios::binary | std::ios::trunc);
    std::ofstream b(package / relative, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 16);
    uint32_t x = seed * 2654435761u + 1;
    for (uint64_t written = 0; written < bytes; written += block.size()) {
        for (auto& c : block) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        const auto n =
            static_cast<std::streamsize>(std::min<uint64_t>(block.size(), bytes - written));
        a.write(block.data(), n);
        b.write(block.data(), n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t kMiB = 1 << 20;
    fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    fs::path client = base / "RrCompareBench_Client";
    fs::path package = client / "_full_extract" / "Client";
    fs::remove_all(client);

    // 1 GiB: 16 folders of 60 files of 1 MiB, 48 small files, and 4 of 16 MiB
    // minus what the small ones take, so the total is exactly 1 GiB.
    std::printf("creating the client and its package (2 x 1 GiB)...\n");
    uint64_t total = 0;
    uint32_t files = 0;
    for (int d = 0; d < 16; ++d) {
        for (int f = 0; f < 60; ++f) {
            WritePair(client, package,
                      "Data/World" + std::to_string(d) + "/Object" + std::to_string(f) + ".bmd",
                      kMiB, ++files);
            total += kMiB;
        }
    }
    for (int f = 0; f < 48; ++f) {
        WritePair(client, package, "Data/Text/Small" + std::to_string(f) + ".txt", 4096, ++files);
        total += 4096;
    }
    const uint64_t big = ((1ull << 30) - total) / 4;
    for (int f = 0; f < 4; ++f) {
        WritePair(client, package, "Data/Terrain" + std::to_string(f) + ".map", big, ++files);
        total += big;
    }
    WritePair(client, package, "Main.exe", 0, ++files);
    std::printf("%u files, %llu bytes on each side\n", files,
                static_cast<unsigned long long>(total));

    const std::string tool = "find '" + client.string() + "' -path '*/Logs' -prune -o -type f " +
                             "-print0 | xargs -0 sha256sum > /dev/null";
    TimeCommand(tool);  // warms the page cache for both sides

    const std::wstring clientDir = CorePath(client);
    const std::wstring packageRoot = CorePath(package);
    double toolSeconds = 1e9;
    double oursSeconds = 1e9;
    for (int run = 0; run < 3; ++run) {
        toolSeconds = std::min(toolSeconds, TimeCommand(tool));
        fs::remove_all(client / "Logs");
        const rr::LogScope logs(clientDir);
        rr::FullClientCompareCounts counts;
        auto start = std::chrono::steady_clock::now();
        const bool ok = rr::CompareFullClient(clientDir, packageRoot, L"bench.zip", counts);
        oursSeconds = std::min(oursSeconds, Seconds(start));
        if (!ok || counts.ok != files || counts.packageFiles != files || counts.missing != 0 ||
            counts.different != 0 || counts.extra != 0 || counts.blocked != 0 ||
            counts.clientFilesScanned != files) {
            std::fprintf(stderr,
                         "unexpected compare: ok=%u missing=%u different=%u extra=%u "
                         "blocked=%u scanned=%u\n",
                         counts.ok, counts.missing, counts.different, counts.extra, counts.blocked,
                         counts.clientFilesScanned);
            return 1;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("sha256sum over both trees: %.3f s\n", toolSeconds);
    std::printf("CompareFullClient:         %.3f s  ratio %.2f (goal <= 1.20)\n", oursSeconds,
                oursSeconds / toolSeconds);
    std::printf("peak resident memory:      %.1f MiB (goal < 64)\n", usage.ru_maxrss / 1024.0);
    fs::remove_all(client);
    return 0;
}
