#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace rr {

// True when prefix is empty or text begins with it, ignoring ASCII letter case.
bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix);
// "http://" or "https://" in any letter case.
bool IsHttpUrl(const std::wstring& url);
std::wstring JoinUrl(const std::wstring& base, const std::wstring& relative);

// GET into memory, status 200 only, at most maxBytes (a body of exactly
// maxBytes is allowed). Every failure is logged to the main log.
bool FetchUrlToMemory(const std::wstring& url, std::string& body, uint64_t maxBytes);

// Told the bytes received so far while a download runs: once with 0 when the
// destination file has been made, after every chunk read (before that chunk is
// checked against the limit and written), and once more with `complete` set
// after the file was written and closed. Never told anything about a request
// that fails before the file exists. May be empty.
using DownloadProgress = std::function<void(uint64_t receivedBytes, bool complete)>;

// GET streamed into destinationPath (created or truncated) under a byte limit,
// reporting to `progress`. A failure never leaves the destination behind.
// The destination lies below `root` (the client folder): its folders are made
// and entered without following links, and the file is always a new one, so a
// link or hard link standing there is replaced, never written through.
bool DownloadUrlToFile(const std::wstring& url, const std::wstring& root,
                       const std::wstring& destinationPath, uint64_t maxBytes,
                       const DownloadProgress& progress);
// The same with the destination's own folder as the root (made when missing).
bool DownloadUrlToFile(const std::wstring& url, const std::wstring& destinationPath,
                       uint64_t maxBytes, const DownloadProgress& progress);

// Unit tests only: shorter time-outs (in ms) so a stalled server does not hold
// a test for 15 or 30 seconds. 0 restores the product's value.
void SetHttpTimeoutsForTesting(uint32_t fetchMs, uint32_t downloadMs);

}  // namespace rr
