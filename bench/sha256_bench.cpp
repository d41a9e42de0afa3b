// Hashing throughput of ComputeFileSha256Below on a 1 GiB file against the
// system's sha256sum on the same file (both from the page cache).
// Usage: sha256_bench [folder for the test file]   (native build only)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "net/sha256.h"

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

bool RunSha256sum(const fs::path& file, std::string& digest) {
    std::string command = "sha256sum '" + file.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return false;
    }
    char line[256] = {};
    bool ok = std::fgets(line, sizeof line, pipe) != nullptr;
    ok = ::pclose(pipe) == 0 && ok;
    digest = std::string(line).substr(0, 64);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t kFileBytes = 1ull << 30;
    fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    fs::path file = folder / "rr_sha256_bench.bin";
    {
        std::vector<char> block(1 << 20);
        uint32_t x = 12345;
        for (auto& b : block) {
            x = x * 1103515245u + 12345u;
            b = static_cast<char>(x >> 24);
        }
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        for (uint64_t written = 0; written < kFileBytes; written += block.size()) {
            block[0] = static_cast<char>(written >> 20);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
            return 1;
        }
    }
    const double mib = static_cast<double>(kFileBytes) / 1048576.0;

    // Best of three for each, alternating, so that neither profits from a
    // cache the other warmed.
    double ours = 1e9;
    double theirs = 1e9;
    std::string ourDigest;
    std::string theirDigest;
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        if (!RunSha256sum(file, theirDigest)) {
            std::fprintf(stderr, "sha256sum failed\n");
            return 1;
        }
        theirs = std::min(theirs, Seconds(start));
        start = std::chrono::steady_clock::now();
        rr::Error err;
        if (!rr::ComputeFileSha256Below(CorePath(file.parent_path()), CorePath(file), ourDigest,
                                        &err)) {
            std::fprintf(stderr, "%s\n", rr::Utf16ToUtf8(err.text).c_str());
            return 1;
        }
        ours = std::min(ours, Seconds(start));
    }
    std::error_code ec;
    fs::remove(file, ec);

    std::printf("file: %.0f MiB\n", mib);
    std::printf("ComputeFileSha256Below: %.3f s, %.1f MiB/s\n", ours, mib / ours);
    std::printf("sha256sum:              %.3f s, %.1f MiB/s\n", theirs, mib / theirs);
    std::printf("throughput ratio (ours / sha256sum): %.2f (goal >= 0.90)\n", theirs / ours);
    if (ourDigest != theirDigest) {
        std::printf("DIGEST MISMATCH: %s vs %s\n", ourDigest.c_str(), theirDigest.c_str());
        return 1;
    }
    return 0;
}
