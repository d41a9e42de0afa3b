#include "manifest/json.h"

#include "base/text.h"
#include "log/log.h"

namespace rr {

namespace {

// The escape after a backslash at pos, as the one byte it stands for.
bool ReadEscape(std::string_view text, size_t& pos, char& resolved) {
    if (pos >= text.size()) {
        return false;
    }
    const char e = text[pos++];
    switch (e) {
        case '"':
        case '/':
        case '\\':
            resolved = e;
            return true;
        case 'b':
            resolved = 8;
            return true;
        case 'f':
            resolved = 12;
            return true;
        case 'n':
            resolved = 10;
            return true;
        case 'r':
            resolved = 13;
            return true;
        case 't':
            resolved = 9;
            return true;
        case 'u':
            // No code point is decoded; the four bytes are passed over
            // unseen, so non-ASCII text must come as raw UTF-8.
            if (text.size() - pos < 4) {
                return false;
            }
            pos += 4;
            resolved = '?';
            return true;
        default:
            return false;
    }
}

// Reads a string starting at pos (after optional whitespace); out may be null
// when only the position matters, so skipping allocates nothing.
bool ScanString(std::string_view text, size_t& pos, std::string* out) {
    if (out) {
        out->clear();
    }
    const size_t size = text.size();
    if (pos >= size) {
        return false;
    }
    SkipJsonWhitespace(text, pos);
    if (pos >= size || text[pos] != '"') {
        return false;
    }
    ++pos;
    if (pos >= size) {
        return false;
    }
    for (;;) {
        char c = text[pos++];
        if (c == '"') {
            return true;
        }
        if (c == '\\') {
            if (!ReadEscape(text, pos, c)) {
                return false;
            }
        }
        if (out) {
            out->push_back(c);
        }
        if (pos >= size) {
            return false;
        }
    }
}

}  // namespace

bool IsJsonWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void SkipJsonWhitespace(std::string_view text, size_t& pos) {
    while (pos < text.size() && IsJsonWhitespace(text[pos])) {
        ++pos;
    }
}

bool ParseJsonString(std::string_view text, size_t& pos, std::string& out) {
    return ScanString(text, pos, &out);
}

bool SkipJsonValue(std::string_view text, size_t& pos) {
    const size_t size = text.size();
    if (pos >= size) {
        return false;
    }
    SkipJsonWhitespace(text, pos);
    if (pos >= size) {
        return false;
    }
    char first = text[pos];
    if (first == '"') {
        return ScanString(text, pos, nullptr);
    }
    if (first != '{' && first != '[') {
        while (pos < size && text[pos] != ',' && text[pos] != ']' && text[pos] != '}') {
            ++pos;
        }
        return true;
    }
    // Iterative bracket counting keeps deeply nested input from exhausting
    // the stack; only the kind of the opening bracket is counted.
    const char open = first;
    const char close = first == '{' ? '}' : ']';
    size_t depth = 0;
    while (pos < size) {
        char c = text[pos];
        if (c == '"') {
            if (!ScanString(text, pos, nullptr)) {
                return false;
            }
            continue;
        }
        ++pos;
        if (c == open) {
            ++depth;
        } else if (c == close) {
            if (depth == 1) {
                return true;
            }
            --depth;
        }
    }
    return false;
}

bool FindJsonKey(std::string_view text, size_t start, size_t end, std::string_view key,
                 size_t& valueStart, size_t& valueEnd) {
    if (end > text.size()) {
        end = text.size();
    }
    size_t pos = start;
    SkipJsonWhitespace(text, pos);
    if (pos >= end || text[pos] != '{') {
        return false;
    }
    ++pos;
    if (pos >= end) {
        return false;
    }
    std::string name;
    for (;;) {
        SkipJsonWhitespace(text, pos);
        if (pos < end && text[pos] == '}') {
            return false;
        }
        if (!ScanString(text, pos, &name)) {
            return false;
        }
        SkipJsonWhitespace(text, pos);
        if (pos >= end || text[pos] != ':') {
            return false;
        }
        ++pos;
        SkipJsonWhitespace(text, pos);
        size_t memberStart = pos;
        if (!SkipJsonValue(text, pos)) {
            return false;
        }
        if (name == key) {
            valueStart = memberStart;
            valueEnd = pos;
            return true;
        }
        SkipJsonWhitespace(text, pos);
        if (pos < end && text[pos] == ',') {
            ++pos;
        }
        if (pos >= end) {
            return false;
        }
    }
}

bool ParseJsonStringArray(std::string_view text, size_t start, size_t end,
                          std::vector<std::wstring>& out) {
    out.clear();
    if (end > text.size()) {
        end = text.size();
    }
    size_t pos = start;
    SkipJsonWhitespace(text, pos);
    if (pos >= end || text[pos] != '[') {
        return false;
    }
    ++pos;
    if (pos >= end) {
        return false;
    }
    std::string item;
    for (;;) {
        SkipJsonWhitespace(text, pos);
        if (pos < end && text[pos] == ']') {
            return true;
        }
        if (!ScanString(text, pos, &item)) {
            return false;
        }
        out.push_back(Utf8ToUtf16(item));
        SkipJsonWhitespace(text, pos);
        if (pos < end && text[pos] == ',') {
            ++pos;
        }
        if (pos >= end) {
            return false;
        }
    }
}

bool ParseJsonObjectArray(std::string_view text, size_t start, size_t end,
                          std::vector<JsonSpan>& out) {
    out.clear();
    if (end > text.size()) {
        end = text.size();
    }
    size_t pos = start;
    SkipJsonWhitespace(text, pos);
    if (pos >= end || text[pos] != '[') {
        return false;
    }
    ++pos;
    if (pos >= end) {
        return false;
    }
    for (;;) {
        SkipJsonWhitespace(text, pos);
        if (pos >= end) {
            return false;
        }
        if (text[pos] == ']') {
            return true;
        }
        if (text[pos] != '{') {
            return false;
        }
        size_t objectStart = pos;
        if (!SkipJsonValue(text, pos)) {
            return false;
        }
        out.push_back(JsonSpan{objectStart, pos});
        SkipJsonWhitespace(text, pos);
        if (pos >= end) {
            return false;
        }
        if (text[pos] == ',') {
            ++pos;
            if (pos >= end) {
                return false;
            }
        }
    }
}

}  // namespace rr
