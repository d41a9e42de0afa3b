#include "publish/manifest_document.h"

#include "base/text.h"
#include "log/log.h"

namespace rr::publish {

namespace {

std::string Quoted(const std::string& utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string Quoted(const std::wstring& text) {
    return Quoted(Utf16ToUtf8(text));
}

std::string StringList(const std::vector<std::wstring>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + Quoted(items[i]);
    }
    return out + "]";
}

}  // namespace

std::string RenderManifestJson(const ManifestDocument& document) {
    std::string out = "{\n";
    out += "  \"version\": " + Quoted(document.version) + ",\n";
    if (document.hasSequence) {
        out += "  \"sequence\": " + std::to_string(document.sequence) + ",\n";
    }
    if (!document.expires.empty()) {
        out += "  \"expires\": " + Quoted(document.expires) + ",\n";
    }
    if (document.full) {
        out += "  \"managedRoots\": " + StringList(document.managedRoots) + ",\n";
        out += "  \"preserve\": " + StringList(document.preserve) + ",\n";
    }
    out += "  \"files\": [";
    for (size_t i = 0; i < document.files.size(); ++i) {
        const PublishedFile& file = document.files[i];
        out += i == 0 ? "\n" : ",\n";
        out += "    {\"path\": " + Quoted(file.path) + ", \"url\": " + Quoted(file.url) +
               ", \"size\": " + std::to_string(file.size) + ", \"sha256\": " + Quoted(file.sha256) +
               "}";
    }
    out += "\n  ]\n}\n";
    return out;
}

}  // namespace rr::publish
