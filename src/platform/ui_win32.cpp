#include <windows.h>

#include "platform/ui.h"

namespace rr::platform {

// Placeholder until the progress window lands: no window is created and the
// core runs on without a display, as it does when creation fails.
WindowResult CreateProgressWindowNative(void*, uint32_t& error) {
    error = ERROR_CALL_NOT_IMPLEMENTED;
    return WindowResult::CreateFailed;
}

void RefreshProgressNative(const ProgressView&) {}
void DestroyProgressWindowNative() {}

void PumpMessagesNative() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

void ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t flags) {
    ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), flags);
}

}  // namespace rr::platform
