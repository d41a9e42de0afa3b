#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/system.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace rr::platform {

namespace {

// A terminal redraw costs little, but a flood of them would slow the loops
// that report progress; ten a second is plenty for a person.
constexpr uint64_t kRedrawIntervalMs = 100;
constexpr size_t kBarCells = 20;

struct TerminalDisplay {
    bool active = false;        // stderr is a terminal and the display exists
    bool lineOnScreen = false;  // a progress line waits to be continued
    bool pending = false;       // a newer state than the one on screen
    bool drawnOnce = false;
    uint64_t lastDraw = 0;
    ProgressView view;
};

TerminalDisplay& Display() {
    static TerminalDisplay display;
    return display;
}

void WriteStderr(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(2, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

size_t TerminalColumns() {
    struct winsize size {};
    if (::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void Draw(TerminalDisplay& d) {
    const ProgressView& v = d.view;
    int permille = v.permille < 0 ? 0 : (v.permille > 1000 ? 1000 : v.permille);
    size_t filled = static_cast<size_t>(permille) * kBarCells / 1000;
    std::wstring text =
        L"[" + std::wstring(filled, L'#') + std::wstring(kBarCells - filled, L'.') + L"] ";
    std::wstring percent = std::to_wstring(permille / 10);
    text += std::wstring(3 - std::min<size_t>(3, percent.size()), L' ') + percent + L"% ";
    text += v.status.empty() ? std::wstring(L"Starting updater...") : v.status;
    if (!v.detail.empty()) {
        text += L" - " + v.detail;
    }
    if (!v.hint.empty()) {
        text += L" (" + v.hint + L")";
    }
    // One line only: a wrapped line could not be redrawn in place.
    size_t columns = TerminalColumns();
    if (columns > 1 && text.size() > columns - 1) {
        text.resize(columns - 4);
        text += L"...";
    }
    std::string line = "\r";
    line += v.isError ? "\x1b[31m" : "";
    line += WideToUtf8(text);
    line += v.isError ? "\x1b[0m" : "";
    line += "\x1b[K";
    WriteStderr(line);
    d.lineOnScreen = true;
    d.pending = false;
    d.drawnOnce = true;
    d.lastDraw = TickCount64();
}

void DrawIfDue(TerminalDisplay& d) {
    if (d.active && d.pending &&
        (!d.drawnOnce || TickCount64() - d.lastDraw >= kRedrawIntervalMs)) {
        Draw(d);
    }
}

void EndLine(TerminalDisplay& d) {
    if (d.lineOnScreen) {
        WriteStderr("\n");
        d.lineOnScreen = false;
    }
}

}  // namespace

WindowResult CreateProgressWindowNative(void*, uint32_t& error) {
    error = 0;
    TerminalDisplay& d = Display();
    d = TerminalDisplay{};
    // Without a terminal (a log file, a pipe) the display shows nothing.
    d.active = ::isatty(2) == 1;
    return WindowResult::Created;
}

void RefreshProgressNative(const ProgressView& view) {
    TerminalDisplay& d = Display();
    if (!d.active) {
        return;
    }
    d.view = view;
    d.pending = true;
    DrawIfDue(d);
}

void DestroyProgressWindowNative() {
    TerminalDisplay& d = Display();
    if (!d.active) {
        return;
    }
    if (d.pending) {
        Draw(d);  // the last state is always shown
    }
    EndLine(d);
    d.active = false;
}

void PumpMessagesNative() {
    DrawIfDue(Display());
}

void ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t) {
    TerminalDisplay& d = Display();
    if (d.active && d.pending) {
        Draw(d);
    }
    EndLine(d);
    WriteStderr(WideToUtf8(caption) + ": " + WideToUtf8(text) + "\n");
}

}  // namespace rr::platform
