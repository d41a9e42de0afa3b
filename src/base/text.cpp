#include "base/text.h"

#include "platform/text.h"

namespace rr {

namespace {

template <typename Char>
bool ParseDigits(std::basic_string_view<Char> digits, uint64_t& value) {
    value = 0;
    if (digits.empty()) {
        return false;
    }
    for (Char c : digits) {
        if (c < Char('0') || c > Char('9')) {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - Char('0'));
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

}  // namespace

bool ParseDecimal(std::wstring_view digits, uint64_t& value) {
    return ParseDigits(digits, value);
}

bool ParseDecimal(std::string_view digits, uint64_t& value) {
    return ParseDigits(digits, value);
}

std::string Utf16ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    return platform::WideToUtf8(text);
}

std::wstring Utf8ToUtf16(const std::string& bytes) {
    if (bytes.empty()) {
        return std::wstring();
    }
    return platform::Utf8ToWide(bytes);
}

std::wstring ToDecimal(unsigned long long value) {
    return std::to_wstring(value);
}

std::wstring ToDecimalSigned(long long value) {
    return std::to_wstring(value);
}

}  // namespace rr
