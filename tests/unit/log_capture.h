#pragma once
// Points the logs at a scoped client folder and returns what the main log
// received, one text per line with the time stamp taken off.
#include <string>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "test_support.h"

namespace rr::test {

class LogCapture {
  public:
    LogCapture() = default;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::wstring> MainLines() const { return Lines("RiveRoravav.log"); }

    std::vector<std::wstring> Lines(const char* file) const {
        std::wstring all = Utf8ToUtf16(ReadFile(dir_.native() / "Logs" / file));
        std::vector<std::wstring> lines;
        size_t pos = 0;
        while (pos < all.size()) {
            size_t eol = all.find(L"\r\n", pos);
            if (eol == std::wstring::npos) {
                eol = all.size();
            }
            std::wstring line = all.substr(pos, eol - pos);
            size_t stamp = line.find(L"] ");
            lines.push_back(stamp == std::wstring::npos ? line : line.substr(stamp + 2));
            pos = eol + 2;
        }
        return lines;
    }

    void Clear() const {
        std::error_code ec;
        fs::remove(dir_.native() / "Logs" / "RiveRoravav.log", ec);
    }

  private:
    TempDir dir_;
    LogScope scope_{dir_.core()};
};

}  // namespace rr::test
