#include "net/download_resume.h"

#include <cstddef>
#include <vector>

#include "base/text.h"
#include "platform/error.h"

namespace rr {

namespace {

// Longer validators are not kept: no server this program talks to sends them,
// and the file that holds one stays small.
constexpr size_t kMaxValidatorLength = 200;
const char kShaKey[] = "sha256=";
const char kValidatorKey[] = "validator=";
// What WriteValidator writes for the longest validator, and a byte more.
constexpr size_t kMaxValidatorFile =
    sizeof(kShaKey) - 1 + 64 + 1 + sizeof(kValidatorKey) - 1 + kMaxValidatorLength + 1;

// Printable ASCII only: the text goes into a request header as it is.
bool IsUsableValidator(const std::wstring& text) {
    if (text.empty() || text.size() > kMaxValidatorLength) {
        return false;
    }
    for (wchar_t c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string ValidatorFileText(const ResumeTarget& target, const std::wstring& validator) {
    return kShaKey + LowerAscii(target.sha256) + "\n" + kValidatorKey + Utf16ToUtf8(validator) +
           "\n";
}

// The whole small file, or false when it is longer than `limit`.
bool ReadSmallFile(const platform::DirHandle& folder, const std::wstring& name, size_t limit,
                   std::string& text) {
    platform::FileReader reader;
    if (!folder.OpenFileForRead(name, reader)) {
        return false;
    }
    std::vector<char> buffer(limit + 1);
    size_t total = 0;
    for (;;) {
        size_t got = 0;
        if (!reader.Read(buffer.data() + total, buffer.size() - total, got)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        total += got;
        if (total > limit) {
            return false;
        }
    }
    text.assign(buffer.data(), total);
    return true;
}

// Decimal digits from `pos` on, up to `stop`; false on none, anything else,
// or a value past 64 bits.
bool ParseNumber(const std::wstring& text, size_t& pos, wchar_t stop, uint64_t& value) {
    value = 0;
    const size_t start = pos;
    for (; pos < text.size() && text[pos] != stop; ++pos) {
        const wchar_t c = text[pos];
        if (c < L'0' || c > L'9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return pos > start;
}

}  // namespace

std::wstring ValidatorFileName(const std::wstring& fileName) {
    return fileName + L".resume";
}

std::wstring PickValidator(const HttpResponse& response) {
    std::wstring value;
    // A weak ETag never matches an If-Range.
    if (response.ETag(value) && value.rfind(L"W/", 0) != 0 && IsUsableValidator(value)) {
        return value;
    }
    if (response.LastModified(value) && IsUsableValidator(value)) {
        return value;
    }
    return {};
}

bool ReadValidator(const platform::DirHandle& folder, const std::wstring& name,
                   const ResumeTarget& target, std::wstring& validator) {
    validator.clear();
    std::string text;
    if (!ReadSmallFile(folder, name, kMaxValidatorFile, text)) {
        return false;
    }
    const std::string head = kShaKey + LowerAscii(target.sha256) + "\n" + kValidatorKey;
    if (text.size() <= head.size() || text.compare(0, head.size(), head) != 0 ||
        text.back() != '\n') {
        return false;
    }
    const std::wstring value = Utf8ToUtf16(text.substr(head.size(), text.size() - head.size() - 1));
    if (!IsUsableValidator(value)) {
        return false;
    }
    validator = value;
    return true;
}

bool WriteValidator(const platform::DirHandle& folder, const std::wstring& name,
                    const ResumeTarget& target, const std::wstring& validator) {
    if (!IsUsableValidator(validator)) {
        return false;
    }
    const std::wstring temp = name + L".tmp";
    const std::string text = ValidatorFileText(target, validator);
    platform::FileWriter writer;
    if ((!folder.RemoveChild(temp) && platform::LastError() != platform::kErrorFileNotFound) ||
        !folder.CreateNewFile(temp, writer)) {
        return false;
    }
    bool ok = writer.Write(text.data(), text.size()) && writer.Flush();
    ok = writer.Close() && ok;
    if (!ok || !folder.Rename(temp, folder, name, true)) {
        folder.RemoveChild(temp);
        return false;
    }
    return true;
}

bool RemoveValidator(const platform::DirHandle& folder, const std::wstring& name) {
    return folder.RemoveChild(name) || platform::LastError() == platform::kErrorFileNotFound;
}

bool IsRestOfFile(const std::wstring& contentRange, uint64_t offset, uint64_t size) {
    const std::wstring unit = L"bytes ";
    if (size == 0 || contentRange.compare(0, unit.size(), unit) != 0) {
        return false;
    }
    size_t pos = unit.size();
    uint64_t first = 0;
    uint64_t last = 0;
    if (!ParseNumber(contentRange, pos, L'-', first) || pos == contentRange.size() ||
        !ParseNumber(contentRange, ++pos, L'/', last) || pos == contentRange.size()) {
        return false;
    }
    ++pos;
    if (contentRange.compare(pos, std::wstring::npos, L"*") != 0) {
        uint64_t total = 0;
        if (!ParseNumber(contentRange, pos, L'\0', total) || pos != contentRange.size() ||
            total != size) {
            return false;
        }
    }
    return first == offset && last == size - 1;
}

}  // namespace rr
