#include "platform/text.h"

#include <cstdint>

namespace rr::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) {
        cp = kReplacement;
    }
    if (cp > 0x10FFFF) {
        cp = kReplacement;
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string WideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        if (wc == 0) {
            break;
        }
        AppendUtf8(out, static_cast<char32_t>(static_cast<uint32_t>(wc)));
    }
    return out;
}

namespace {

// What a lead byte opens: how many continuation bytes follow, the bits it
// carries, and the range the first continuation byte must lie in (which
// rules out overlong forms, surrogates and values past U+10FFFF). False for
// a byte that cannot start a sequence.
struct LeadByte {
    size_t need = 0;
    char32_t bits = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
};

bool ReadLeadByte(unsigned char b, LeadByte& lead) {
    lead = LeadByte{};
    if (b >= 0xC2 && b <= 0xDF) {
        lead.need = 1;
        lead.bits = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        lead.need = 2;
        lead.bits = b & 0x0F;
        lead.lo = b == 0xE0 ? 0xA0 : 0x80;
        lead.hi = b == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        lead.need = 3;
        lead.bits = b & 0x07;
        lead.lo = b == 0xF0 ? 0x90 : 0x80;
        lead.hi = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        LeadByte lead;
        if (p[i] < 0x80) {
            out.push_back(static_cast<wchar_t>(p[i]));
            ++i;
            continue;
        }
        if (!ReadLeadByte(p[i], lead)) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++i;
            continue;
        }
        // Maximal subpart: an ill-formed sequence becomes one U+FFFD and the
        // byte that broke it starts over.
        char32_t cp = lead.bits;
        size_t j = 1;
        for (; j <= lead.need && i + j < n; ++j) {
            const unsigned char c = p[i + j];
            if (c < (j == 1 ? lead.lo : 0x80) || c > (j == 1 ? lead.hi : 0xBF)) {
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (j <= lead.need) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            i += j;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += lead.need + 1;
    }
    return out;
}

}  // namespace rr::platform
