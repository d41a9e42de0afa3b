#pragma once
// A small ZIP writer for tests and fuzzing: every header field is written as
// asked, so that archives no honest tool makes (lying sizes, link modes, bad
// names, unknown methods) can be built. Deflated bodies are stored deflate
// blocks, so no compressor is needed.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace rr::test {

struct ZipEntrySpec {
    std::string name;
    std::string data;
    uint16_t method = 0;             // 8: written as stored deflate blocks
    uint64_t declared = UINT64_MAX;  // uncompressed size; UINT64_MAX: data.size()
    bool badCrc = false;
    bool encrypted = false;
    uint32_t unixMode = 0;  // non-zero: made on Unix with this mode
    bool utf8Flag = true;   // off: libzip leaves the name to its reader
};

inline uint32_t Crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

inline void Put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

inline std::string BuildZip(const std::vector<ZipEntrySpec>& entries) {
    std::string out;
    std::string central;
    for (const ZipEntrySpec& e : entries) {
        std::string body = e.data;
        if (e.method == 8) {  // stored deflate blocks: BFINAL, BTYPE=00, LEN, NLEN
            body.clear();
            size_t at = 0;
            do {
                const size_t n = std::min<size_t>(e.data.size() - at, 65535);
                body.push_back(at + n == e.data.size() ? '\x01' : '\x00');
                Put(body, n, 2);
                Put(body, ~n & 0xFFFF, 2);
                body += e.data.substr(at, n);
                at += n;
            } while (at < e.data.size());
        }
        const uint64_t size = e.declared == UINT64_MAX ? e.data.size() : e.declared;
        const bool zip64 = size >= 0xFFFFFFFFu;
        std::string extra;
        if (zip64) {
            Put(extra, 1, 2);
            Put(extra, 16, 2);
            Put(extra, size, 8);
            Put(extra, body.size(), 8);
        }
        auto fields = [&](std::string& h) {
            Put(h, zip64 ? 45 : 20, 2);  // version needed
            Put(h, (e.utf8Flag ? 0x0800 : 0) | (e.encrypted ? 1 : 0), 2);
            Put(h, e.method, 2);
            Put(h, 0x5000, 2);  // time
            Put(h, 0x5821, 2);  // date
            Put(h, Crc32(e.data) ^ (e.badCrc ? 1u : 0u), 4);
            Put(h, zip64 ? 0xFFFFFFFFu : body.size(), 4);
            Put(h, zip64 ? 0xFFFFFFFFu : size, 4);
            Put(h, e.name.size(), 2);
            Put(h, extra.size(), 2);
        };
        const uint64_t offset = out.size();
        Put(out, 0x04034b50, 4);
        fields(out);
        out += e.name + extra + body;
        Put(central, 0x02014b50, 4);
        Put(central, (e.unixMode ? 3 << 8 : 0) | 20, 2);  // made by
        fields(central);
        Put(central, 0, 2 + 2 + 2);  // comment, disk, internal attributes
        Put(central, uint64_t{e.unixMode} << 16, 4);
        Put(central, offset, 4);
        central += e.name + extra;
    }
    const uint64_t centralOffset = out.size();
    out += central;
    Put(out, 0x06054b50, 4);
    Put(out, 0, 4);
    Put(out, entries.size(), 2);
    Put(out, entries.size(), 2);
    Put(out, central.size(), 4);
    Put(out, centralOffset, 4);
    Put(out, 0, 2);
    return out;
}

}  // namespace rr::test
