#include <windows.h>

#include <vector>

#include "platform/text.h"

namespace rr::platform {

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(needed));
    int written = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer.data(), needed,
                                        nullptr, nullptr);
    if (written <= 1) {
        return std::string();
    }
    return std::string(buffer.data(), static_cast<size_t>(written - 1));
}

std::wstring Utf8ToWide(const std::string& bytes) {
    if (bytes.empty()) {
        return std::wstring();
    }
    int length = static_cast<int>(bytes.size());
    int needed = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) {
        return std::wstring();
    }
    std::wstring out(static_cast<size_t>(needed), L'\0');
    int written = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, out.data(), needed);
    if (written <= 0) {
        return std::wstring();
    }
    out.resize(static_cast<size_t>(written));
    return out;
}

}  // namespace rr::platform
