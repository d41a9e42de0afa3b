#pragma once
// Internal to the POSIX layer: errno turned into the Windows code that
// LastError() reports.
#include <cstdint>

namespace rr::platform::posix {

// Records errno, translated to the Windows code, as LastError().
void SetLastErrorFromErrno(int err);

// SetLastErrorFromErrno(errno) and false, for `return FailErrno();`.
bool FailErrno();

// SetLastErrorCode(code) and false.
bool Fail(uint32_t code);

}  // namespace rr::platform::posix
