#include <unistd.h>

#include <cstdio>

#include "platform/text.h"
#include "platform/ui.h"

namespace rr::platform {

// Placeholder display until the terminal display lands: it keeps no state and
// draws nothing, which is what a non-terminal stderr gets anyway.
WindowResult CreateProgressWindowNative(void*, uint32_t& error) {
    error = 0;
    return WindowResult::Created;
}

void RefreshProgressNative(const ProgressView&) {}
void DestroyProgressWindowNative() {}
void PumpMessagesNative() {}

void ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t) {
    std::string line = WideToUtf8(caption) + ": " + WideToUtf8(text) + "\n";
    (void)!::write(2, line.data(), line.size());
}

}  // namespace rr::platform
