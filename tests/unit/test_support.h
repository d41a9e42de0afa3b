#pragma once
// Shared helpers for the unit tests: a scoped temporary folder on the real
// disk, and conversions between the core's path form and std::filesystem.
#include <filesystem>
#include <fstream>
#include <string>

#include "base/text.h"
#include "log/log.h"

namespace rr::test {

namespace fs = std::filesystem;

inline std::wstring CorePath(const fs::path& p) {
#ifdef _WIN32
    return p.wstring();
#else
    std::wstring w = Utf8ToUtf16(p.string());
    for (auto& c : w) {
        if (c == L'/')
            c = L'\\';
    }
    return w;
#endif
}

inline fs::path NativePath(const std::wstring& core) {
#ifdef _WIN32
    return fs::path(core);
#else
    std::string s = Utf16ToUtf8(core);
    for (auto& c : s) {
        if (c == '\\')
            c = '/';
    }
    return fs::path(s);
#endif
}

// A fresh folder with a mixed-case name, removed with everything in it at the
// end of the test. Links inside are removed, never followed.
class TempDir {
  public:
    TempDir() {
        static int counter = 0;
        fs::path base = fs::temp_directory_path();
        for (int attempt = 0; attempt < 1000; ++attempt) {
            fs::path candidate = base / ("RrTest_" + std::to_string(testing_pid()) + "_" +
                                         std::to_string(counter++) + "_Game");
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) {
                path_ = candidate;
                break;
            }
        }
    }
    ~TempDir() {
        std::error_code ec;
        MakeWritable(path_);
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& native() const { return path_; }
    std::wstring core() const { return CorePath(path_); }
    std::wstring core(const std::wstring& relative) const { return core() + L"\\" + relative; }

  private:
    static void MakeWritable(const fs::path& root) {
        std::error_code ec;
        if (root.empty())
            return;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink()) {
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
            }
        }
    }
    static long testing_pid();
    fs::path path_;
};

inline void WriteFile(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace rr::test
