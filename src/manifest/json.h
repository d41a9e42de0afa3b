#pragma once
// A small, lenient scanning reader over a UTF-8 JSON text. It builds no tree:
// a caller finds one key's value span inside an object and reads that value
// with the routine of the type it expects. Positions are byte indexes; every
// routine stops at the end of the text and never reads beyond it. Where an end
// position is taken, it only limits where structure is looked for; strings and
// nested values are read up to the end of the whole text.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace rr {

// [start, end): end is one past the last byte of the value.
struct JsonSpan {
    size_t start = 0;
    size_t end = 0;
};

// Whitespace is exactly space, TAB, CR and LF (no byte-order mark).
bool IsJsonWhitespace(char c);
void SkipJsonWhitespace(std::string_view text, size_t& pos);

// Reads one string value (leading whitespace allowed) into out. Escapes are
// resolved; a \u escape and its four bytes become a single '?'.
bool ParseJsonString(std::string_view text, size_t& pos, std::string& out);

// Moves pos past one value of any kind. Scalars are not validated; brackets
// are counted for the kind of the value being skipped only.
bool SkipJsonValue(std::string_view text, size_t& pos);

// The first member named key (case-sensitive) of the object that begins at start.
bool FindJsonKey(std::string_view text, size_t start, size_t end, std::string_view key,
                 size_t& valueStart, size_t& valueEnd);

// An array of strings only, converted to UTF-16.
bool ParseJsonStringArray(std::string_view text, size_t start, size_t end,
                          std::vector<std::wstring>& out);

// An array of objects only: the span of each element.
bool ParseJsonObjectArray(std::string_view text, size_t start, size_t end,
                          std::vector<JsonSpan>& out);

}  // namespace rr
