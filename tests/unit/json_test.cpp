#include "manifest/json.h"

#include <gtest/gtest.h>

#include <memory>

namespace rr {
namespace {

// The text in a heap block of exactly its size, so that the sanitizer build
// catches any read one byte past the end (a std::string has a NUL there).
class ExactText {
  public:
    explicit ExactText(std::string_view text)
        : bytes_(std::make_unique<char[]>(text.size())), size_(text.size()) {
        text.copy(bytes_.get(), text.size());
    }
    std::string_view view() const { return std::string_view(bytes_.get(), size_); }

  private:
    std::unique_ptr<char[]> bytes_;
    size_t size_;
};

std::string Span(std::string_view text, size_t start, size_t end) {
    return std::string(text.substr(start, end - start));
}

bool ReadString(std::string_view text, std::string& out) {
    ExactText exact(text);
    size_t pos = 0;
    return ParseJsonString(exact.view(), pos, out);
}

TEST(JsonString, EscapesAndTheirFailures) {
    std::string out;
    ASSERT_TRUE(ReadString(R"("a\u00e9b")", out));
    EXPECT_EQ(out, "a?b");
    ASSERT_TRUE(ReadString(" \t\r\n\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"", out));
    EXPECT_EQ(out, "\"/\\\b\f\n\r\t");
    ASSERT_TRUE(ReadString(R"("\uZZ\"x")", out)) << "the four bytes are not looked at";
    EXPECT_EQ(out, "?x");
    ASSERT_TRUE(ReadString("\"raw\x01\t\xC3\xA9\"", out));
    EXPECT_EQ(out, "raw\x01\t\xC3\xA9");

    EXPECT_FALSE(ReadString(R"("a\qb")", out));
    EXPECT_FALSE(ReadString(R"("a\u00)", out));
    EXPECT_FALSE(ReadString(R"("a\u00e9)", out)) << "escape complete but no closing quote";
    EXPECT_FALSE(ReadString(R"("abc)", out));
    EXPECT_FALSE(ReadString(R"("a\)", out));
    EXPECT_FALSE(ReadString("\"", out));
    EXPECT_FALSE(ReadString("   ", out));
    EXPECT_FALSE(ReadString("", out));
    EXPECT_FALSE(ReadString("abc", out));
    EXPECT_TRUE(out.empty()) << "the output is emptied first";
}

TEST(JsonString, PositionEndsAfterTheClosingQuote) {
    ExactText text(R"(  "ab" , "c")");
    size_t pos = 0;
    std::string out;
    ASSERT_TRUE(ParseJsonString(text.view(), pos, out));
    EXPECT_EQ(pos, 6u);
    pos = 100;
    EXPECT_FALSE(ParseJsonString(text.view(), pos, out));
}

TEST(JsonSkip, ScalarsStringsAndContainers) {
    struct Case {
        const char* text;
        bool ok;
        size_t end;
    } cases[] = {
        {"123, 4", true, 3},
        {"12ab ]", true, 5},
        {"  true}", true, 6},
        {",", true, 0},  // an empty scalar
        {"bare", true, 4},
        {R"("s,}" x)", true, 5},
        {R"({"a": "}", "b": [1, {"c": 2}]} tail)", true, 30},
        {"[1, [2, [3]], \"]\"] ,", true, 18},
        {R"({"a": [ } )", true, 9},  // only braces count inside an object
        {"{\"a\": {\"b\": 1}", false, 0},
        {"[1, 2", false, 0},
        {R"({"a": "x)", false, 0},
        {"   ", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        ExactText text(c.text);
        size_t pos = 0;
        EXPECT_EQ(SkipJsonValue(text.view(), pos), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(pos, c.end) << c.text;
        }
    }
}

TEST(JsonSkip, DeepNestingNeedsNoStack) {
    const size_t depth = 1000000;
    std::string deep = std::string(depth, '[') + std::string(depth, ']');
    ExactText text(deep);
    size_t pos = 0;
    ASSERT_TRUE(SkipJsonValue(text.view(), pos));
    EXPECT_EQ(pos, deep.size());
    ExactText open(std::string(depth, '{'));
    pos = 0;
    EXPECT_FALSE(SkipJsonValue(open.view(), pos));
}

class JsonKey : public ::testing::Test {
  protected:
    bool Find(std::string_view object, std::string_view key, std::string& value) {
        text_ = std::make_unique<ExactText>(object);
        size_t start = 0;
        size_t end = 0;
        if (!FindJsonKey(text_->view(), 0, object.size(), key, start, end)) {
            return false;
        }
        value = Span(text_->view(), start, end);
        return true;
    }
    std::unique_ptr<ExactText> text_;
};

TEST_F(JsonKey, LenientMembersAndExactSpans) {
    const char* object = R"({"a": 1, "b": "x" "c" :[1,2] ,})";
    std::string value;
    ASSERT_TRUE(Find(object, "a", value));
    EXPECT_EQ(value, "1");
    ASSERT_TRUE(Find(object, "b", value));
    EXPECT_EQ(value, "\"x\"") << "the span of a string ends at its closing quote";
    ASSERT_TRUE(Find(object, "c", value));
    EXPECT_EQ(value, "[1,2]");
    EXPECT_FALSE(Find(object, "d", value));
    ASSERT_TRUE(Find(R"({"size": 12ab , "x": 1})", "size", value));
    EXPECT_EQ(value, "12ab ");
}

TEST_F(JsonKey, FirstMatchWinsAndCaseCounts) {
    std::string value;
    ASSERT_TRUE(Find(R"({"k": "first", "k": "second"})", "k", value));
    EXPECT_EQ(value, "\"first\"");
    EXPECT_FALSE(Find(R"({"Version": "1"})", "version", value));
    ASSERT_TRUE(Find(R"({"a\u0000b": 1, "a?b": 2})", "a?b", value)) << "escapes resolve first";
    EXPECT_EQ(value, "1");
}

TEST_F(JsonKey, RefusedShapes) {
    std::string value;
    EXPECT_FALSE(Find("\xEF\xBB\xBF{\"a\": 1}", "a", value)) << "a byte-order mark is no brace";
    EXPECT_FALSE(Find(R"({a: 1})", "a", value)) << "member name must be a string";
    EXPECT_FALSE(Find(R"({"a" 1})", "a", value)) << "member without a colon";
    EXPECT_FALSE(Find(R"({"a":)", "a", value)) << "value missing at the end";
    EXPECT_FALSE(Find(R"({"b": 1)", "a", value));
    EXPECT_FALSE(Find(R"(["a", 1])", "a", value));
    EXPECT_FALSE(Find("{", "a", value));
    EXPECT_FALSE(Find("", "a", value));
}

TEST(JsonKeyBounds, EndLimitsTheSearchOnly) {
    ExactText text(R"({"a": 1, "b": 2})");
    size_t start = 0;
    size_t end = 0;
    // The search ends before "b" is reached.
    EXPECT_FALSE(FindJsonKey(text.view(), 0, 8, "b", start, end));
    // An end beyond the text is treated as the end of the text.
    ASSERT_TRUE(FindJsonKey(text.view(), 0, 1000, "b", start, end));
    EXPECT_EQ(Span(text.view(), start, end), "2");
}

TEST(JsonArrays, StringArrays) {
    std::vector<std::wstring> out{L"stale"};
    ExactText empty("[ ]");
    ASSERT_TRUE(ParseJsonStringArray(empty.view(), 0, 3, out));
    EXPECT_TRUE(out.empty());
    ExactText lenient("[\"a\" \"Caf\xC3\xA9\",]");
    ASSERT_TRUE(ParseJsonStringArray(lenient.view(), 0, lenient.view().size(), out));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"a", L"Caf\u00e9"}));
    for (const char* bad : {R"(["a", 1])", R"(["a")", "[", R"("a")", R"({"a": 1})", ""}) {
        ExactText text(bad);
        EXPECT_FALSE(ParseJsonStringArray(text.view(), 0, text.view().size(), out)) << bad;
    }
}

TEST(JsonArrays, ObjectArrays) {
    std::vector<JsonSpan> out;
    ExactText empty("[]");
    ASSERT_TRUE(ParseJsonObjectArray(empty.view(), 0, 2, out));
    EXPECT_TRUE(out.empty());
    ExactText text(R"([{"a": 1} {"b": "}"}, ])");
    ASSERT_TRUE(ParseJsonObjectArray(text.view(), 0, text.view().size(), out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Span(text.view(), out[0].start, out[0].end), R"({"a": 1})");
    EXPECT_EQ(Span(text.view(), out[1].start, out[1].end), R"({"b": "}"})");
    for (const char* bad : {R"([{"a": 1}, 2])", R"([{"a": 1},)", R"([{"a": 1})", R"(["x"])",
                            R"([{"a": 1)", "[", ""}) {
        ExactText t(bad);
        EXPECT_FALSE(ParseJsonObjectArray(t.view(), 0, t.view().size(), out)) << bad;
    }
}

// Every prefix of a valid document through every routine: nothing may read
// past the text (the sanitizer build checks), and the root object is only
// complete with its last byte.
TEST(JsonTruncation, EveryPrefixStaysInside) {
    const std::string doc =
        R"({"version": "1\u00e9", "mirrors": ["http://a/"], "files": [{"path": "x", "size": 1}]})";
    for (size_t n = 0; n < doc.size(); ++n) {
        ExactText text(doc.substr(0, n));
        std::string_view v = text.view();
        size_t pos = 0;
        EXPECT_FALSE(SkipJsonValue(v, pos)) << n;
        size_t start = 0;
        size_t end = 0;
        std::vector<JsonSpan> spans;
        if (FindJsonKey(v, 0, n, "files", start, end)) {
            ParseJsonObjectArray(v, start, end, spans);
        }
        std::vector<std::wstring> strings;
        if (FindJsonKey(v, 0, n, "mirrors", start, end)) {
            ParseJsonStringArray(v, start, end, strings);
        }
        std::string s;
        pos = 11;
        ParseJsonString(v, pos, s);
    }
}

}  // namespace
}  // namespace rr
