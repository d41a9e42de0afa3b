#pragma once
// Text conversions for log lines, files and the network: UTF-8 bytes and the
// core's wide strings, and numbers in decimal.
#include <cstdint>
#include <string>
#include <string_view>

namespace rr {

std::string Utf16ToUtf8(const std::wstring& text);
std::wstring Utf8ToUtf16(const std::string& bytes);

std::wstring ToDecimal(unsigned long long value);
std::wstring ToDecimalSigned(long long value);

// The unsigned number that `digits` spells in decimal: false when it is
// empty, holds anything but 0-9 (no sign, no space), or does not fit in
// 64 bits.
bool ParseDecimal(std::wstring_view digits, uint64_t& value);
bool ParseDecimal(std::string_view digits, uint64_t& value);

}  // namespace rr
