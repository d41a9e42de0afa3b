#pragma once
// Text conversions for log lines, files and the network: UTF-8 bytes and the
// core's wide strings, and numbers in decimal.
#include <string>

namespace rr {

std::string Utf16ToUtf8(const std::wstring& text);
std::wstring Utf8ToUtf16(const std::string& bytes);

std::wstring ToDecimal(unsigned long long value);
std::wstring ToDecimalSigned(long long value);

}  // namespace rr
