#pragma once
// Reading ZIP packages: the whole listing first, then one entry at a time as
// a stream, so nothing is written before every entry has been checked.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rr::platform {

constexpr uint16_t kZipMethodStored = 0;
constexpr uint16_t kZipMethodDeflate = 8;

// File type bits of a Unix mode (st_mode), as a ZIP made on Unix stores them
// in the high 16 bits of an entry's external attributes.
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixTypeLink = 0120000;

struct ZipEntry {
    uint64_t index = 0;
    // The stored name, '/' separators as in the archive. Names that are not
    // UTF-8 never reach the caller: the listing fails on them.
    std::wstring name;
    uint64_t size = 0;  // declared uncompressed size
    uint16_t method = 0;
    bool encrypted = false;
    // The Unix mode, present only when the creator system is Unix.
    bool hasUnixMode = false;
    uint32_t unixMode = 0;

    bool IsFolder() const { return !name.empty() && name.back() == L'/'; }
    bool IsLink() const { return hasUnixMode && (unixMode & kUnixTypeMask) == kUnixTypeLink; }
};

enum class ZipError {
    kNone,
    kOpen,         // not a readable ZIP archive
    kList,         // the central directory could not be read
    kNameNotUtf8,  // an entry name is not valid UTF-8
    kRead,         // the entry could not be opened or decompressed
    kTooLong,      // the body is longer than its declared size
    kTooShort,     // the body ends before its declared size
    kCrc,          // the body does not match its CRC-32
    kSink,         // the receiver refused the data
};

class ZipReader {
  public:
    ZipReader();
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    bool OpenFile(const std::wstring& path);
    // The bytes must stay alive and unchanged while the reader is open.
    bool OpenMemory(const void* data, size_t size);
    bool IsOpen() const;
    void Close();

    // Every entry in central-directory order.
    bool List(std::vector<ZipEntry>& entries);

    // Receives the body in pieces; false stops the read.
    using Sink = std::function<bool(const void* data, size_t size)>;
    // Streams the body of `entry` (as List gave it) into `sink`. The sink
    // never receives more than entry.size bytes in all; a body that runs
    // longer or shorter than that, or fails its CRC-32, fails the read.
    bool ReadEntry(const ZipEntry& entry, const Sink& sink);

    // What the last failing call met, and a text for log lines.
    ZipError LastError() const { return error_; }
    const std::wstring& LastErrorText() const { return errorText_; }

  private:
    bool Fail(ZipError error, const std::wstring& text);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    ZipError error_ = ZipError::kNone;
    std::wstring errorText_;
};

// Strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF, no
// NUL) converted to the core's wide text; false for anything else.
bool DecodeUtf8Name(const std::string& bytes, std::wstring& name);

}  // namespace rr::platform
