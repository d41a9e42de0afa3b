// Downloads one URL with DownloadUrlToFile and prints the time taken and the
// process's peak resident memory. bench/download_bench.py drives it against
// the loopback test server and compares with curl.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/path.h"
#include "base/text.h"
#include "fs/file_ops.h"
#include "log/log.h"
#include "net/http.h"
#include "net/system_http_client.h"
#include "ui/progress.h"

namespace {

std::wstring CorePath(const std::string& native) {
    std::wstring path = rr::Utf8ToUtf16(native);
    for (auto& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

// Peak resident memory of this program in KiB. VmHWM belongs to the address
// space made by exec; ru_maxrss would also count the launcher's memory from
// before the exec.
long PeakResidentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s URL DESTINATION EXPECTED_BYTES\n", argv[0]);
        return 2;
    }
    std::wstring url = rr::Utf8ToUtf16(argv[1]);
    std::wstring destination = CorePath(argv[2]);
    uint64_t expected = std::strtoull(argv[3], nullptr, 10);

    auto start = std::chrono::steady_clock::now();
    // The same display work per chunk as the update does (no window is open,
    // so only the texts are built).
    const rr::TransferEvents events{nullptr, [expected](uint64_t received, bool complete) {
                                        rr::ShowDownloadProgress(L"bench.bin", 1, 1, received,
                                                                 expected, complete);
                                    }};
    // The destination's folder is the root, as the client folder is for the update.
    rr::SystemHttpClient http;
    rr::Error err;
    bool ok = rr::DownloadUrlToFile(
        http, {url, rr::ParentPath(destination), destination, expected + 1}, events, &err);
    if (!ok) {
        std::fprintf(stderr, "%s\n", rr::Utf16ToUtf8(err.text).c_str());
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("ok=%d seconds=%.3f mib_per_s=%.1f peak_rss_kib=%ld\n", ok ? 1 : 0, seconds,
                static_cast<double>(expected) / 1048576.0 / seconds, PeakResidentKib());
    return ok ? 0 : 1;
}
