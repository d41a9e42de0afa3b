#pragma once
#include <cstdint>
#include <string>

namespace rr::platform {

// What the progress display shows; the core owns the state and its rules.
struct ProgressView {
    std::wstring status;
    std::wstring detail;
    std::wstring hint;
    int permille = 0;
    bool isError = false;
};

enum class WindowResult { Created, RegisterFailed, CreateFailed };

// Windows: registers the class, creates fonts and the window and shows it.
// POSIX: a one-line display on stderr when it is a terminal, nothing otherwise.
// On failure `error` holds the system error code.
WindowResult CreateProgressWindowNative(void* instance, uint32_t& error);
// Repaints with the given view at once, then drains the message queue.
void RefreshProgressNative(const ProgressView& view);
void DestroyProgressWindowNative();
// Processes every waiting message of the thread; a WM_QUIT is dropped.
void PumpMessagesNative();

// A message box with no owner window (MessageBoxW); on POSIX the text goes to
// stderr.
void ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t flags);

}  // namespace rr::platform
