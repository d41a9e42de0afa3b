// The JSON reader and the manifest parser over arbitrary bytes: no crash, no
// read outside the input (libFuzzer hands over a buffer of exactly its size),
// no unbounded memory, and results that agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/json.h"
#include "manifest/manifest.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void ExerciseReader(std::string_view text) {
    const size_t size = text.size();
    size_t pos = 0;
    std::string value;
    if (rr::ParseJsonString(text, pos, value)) {
        Check(pos <= size && value.size() < pos);
    }
    pos = 0;
    bool skipped = rr::SkipJsonValue(text, pos);
    Check(pos <= size);

    // Every member of the first object, through the bounded key search.
    static const char* const kKeys[] = {"version", "files", "mirrors", "path", "size", ""};
    for (const char* key : kKeys) {
        size_t start = 0;
        size_t end = 0;
        if (rr::FindJsonKey(text, 0, skipped ? pos : size, key, start, end)) {
            Check(start <= end && end <= size);
            std::vector<std::wstring> strings;
            rr::ParseJsonStringArray(text, start, end, strings);
            std::vector<rr::JsonSpan> spans;
            if (rr::ParseJsonObjectArray(text, start, end, spans)) {
                for (const rr::JsonSpan& span : spans) {
                    Check(span.start < span.end && span.end <= size);
                    Check(text[span.start] == '{' && text[span.end - 1] == '}');
                    size_t inner = span.start;
                    Check(rr::SkipJsonValue(text, inner) && inner == span.end);
                }
            }
        }
    }
    // An end beyond the text must behave like the end of the text.
    size_t a = 0;
    size_t b = 0;
    size_t c = 0;
    size_t d = 0;
    Check(rr::FindJsonKey(text, 0, size, "files", a, b) ==
          rr::FindJsonKey(text, 0, size + 100, "files", c, d));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    ExerciseReader(text);

    rr::Manifest manifest;
    if (rr::ParseManifest(text, manifest)) {
        Check(!manifest.files.empty());
        Check(manifest.files.size() <= size / 8);
    }
    return 0;
}
