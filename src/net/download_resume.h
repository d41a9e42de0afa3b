#pragma once
// What lets the download of a known file go on where an earlier one stopped:
// the validator (ETag or Last-Modified) of the response its first bytes came
// from, kept in a small file beside it, and the check of the range a server
// answers a resumed request with.
#include <cstdint>
#include <string>

#include "net/http_client.h"
#include "platform/fs.h"

namespace rr {

// The whole file a partial download belongs to.
struct ResumeTarget {
    uint64_t size = 0;
    std::string sha256;  // 64 hexadecimal digits, either case
};

// The name of the file that keeps the validator of `fileName`, beside it.
std::wstring ValidatorFileName(const std::wstring& fileName);

// The response's validator worth an If-Range: a strong ETag, else its
// Last-Modified date; empty when neither will do.
std::wstring PickValidator(const HttpResponse& response);

// The validator kept for `target` under `name` in `folder`. The file lies in
// the client folder, where anyone may have changed it: false (start from 0)
// when it is missing, longer than this program writes, holds anything but
// printable ASCII, or was kept for another digest.
bool ReadValidator(const platform::DirHandle& folder, const std::wstring& name,
                   const ResumeTarget& target, std::wstring& validator);

// Keeps the validator for `target`: written under a temporary name beside
// `name` and renamed over it, so that a crash leaves either file whole.
bool WriteValidator(const platform::DirHandle& folder, const std::wstring& name,
                    const ResumeTarget& target, const std::wstring& validator);

// Removes the kept validator; true when none is left.
bool RemoveValidator(const platform::DirHandle& folder, const std::wstring& name);

// A Content-Range "bytes FIRST-LAST/TOTAL" (TOTAL may be "*") that is
// exactly the rest of a file of `size` bytes from `offset` on.
bool IsRestOfFile(const std::wstring& contentRange, uint64_t offset, uint64_t size);

}  // namespace rr
