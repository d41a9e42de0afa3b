// ParseManifest on a generated manifest of 100000 entries close to the 16 MiB
// limit of the full manifest.
#include <chrono>
#include <cstdio>
#include <string>

#include "manifest/manifest.h"

int main() {
    const size_t kEntries = 100000;
    const size_t kTarget = static_cast<size_t>(rr::kFullManifestMaxBytes);
    std::string head = R"({"version": "2026.12.07", "minimumUpdaterVersion": "2",)"
                       R"( "mirrors": ["http://127.0.0.1/a/", "http://127.0.0.1/b/"],)"
                       R"( "managedRoots": ["Data"], "preserve": ["Data\\Local\\config.ini"],)"
                       "\n\"files\": [\n";
    std::string tail = "]}\n";
    const size_t perEntry = (kTarget - head.size() - tail.size()) / kEntries;

    std::string body = head;
    body.reserve(kTarget);
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < kEntries; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "Data/W%02zu/T%06zu.att", i % 97, i);
        std::string digest(64, '0');
        for (size_t k = 0; k < 64; ++k) {
            digest[k] = kHex[(i * 31 + k * 7) & 15];
        }
        std::string entry = std::string(R"({"path": ")") + name + R"(", "url": ")" + name +
                            R"(", "size": )" + std::to_string(1000 + i * 13) + R"(, "sha256": ")" +
                            digest + "\"";
        // Whitespace pads each entry to its share of the target size.
        const size_t closing = 3;  // },\n
        if (perEntry > entry.size() + closing) {
            entry.append(perEntry - entry.size() - closing, ' ');
        }
        entry += i + 1 < kEntries ? "},\n" : "}\n";
        body += entry;
    }
    body += tail;

    const int kRounds = 5;
    double best = 1e9;
    size_t files = 0;
    for (int round = 0; round < kRounds; ++round) {
        rr::Manifest manifest;
        auto start = std::chrono::steady_clock::now();
        bool ok = rr::ParseManifest(body, manifest);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!ok) {
            std::fprintf(stderr, "ParseManifest failed\n");
            return 1;
        }
        files = manifest.files.size();
        best = std::min(best, seconds);
    }
    const double mb = static_cast<double>(body.size()) / 1e6;
    std::printf("manifest: %zu bytes (%.2f MiB), %zu entries\n", body.size(),
                static_cast<double>(body.size()) / 1048576.0, files);
    std::printf("ParseManifest: best of %d %.3f s, %.1f MB/s\n", kRounds, best, mb / best);
    return files == kEntries ? 0 : 1;
}
