#include "base/text.h"

#include "platform/text.h"

namespace rr {

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
