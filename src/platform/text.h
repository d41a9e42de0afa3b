#pragma once
#include <string>

namespace rr::platform {

// The system conversions (code page 65001, no flags). Wide text is UTF-16 on
// Windows and UTF-32 on POSIX; invalid input becomes U+FFFD on both.
// WideToUtf8 stops at the first NUL; Utf8ToWide converts every byte given.
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& bytes);

}  // namespace rr::platform
