#include "ui/progress.h"

#include <algorithm>
#include <cstdio>

#include "log/log.h"
#include "platform/system.h"

namespace rr {

namespace {

struct Display {
    bool exists = false;
    ProgressView view;
    ProgressSink* sink = nullptr;
};

Display& State() {
    static Display display;
    return display;
}

}  // namespace

void SetProgressSinkForTesting(ProgressSink* sink) {
    Display& d = State();
    d.sink = sink;
    d.exists = sink != nullptr;
    d.view = ProgressView{};
    d.view.status = L"Starting updater...";
}

void CreateProgressWindow(void* instance) {
    Display& d = State();
    if (d.sink) {
        return;
    }
    uint32_t error = 0;
    platform::WindowResult result = platform::CreateProgressWindowNative(instance, error);
    if (result == platform::WindowResult::RegisterFailed) {
        LogMain(L"RiveRoravav UI RegisterClass failed. error=" + ToDecimal(error));
        return;
    }
    if (result == platform::WindowResult::CreateFailed) {
        LogMain(L"RiveRoravav UI CreateWindow failed. error=" + ToDecimal(error));
        return;
    }
    d.exists = true;
    d.view = ProgressView{};
    d.view.status = L"Starting updater...";
    platform::RefreshProgressNative(d.view);
}

void DestroyProgressWindow() {
    Display& d = State();
    // Also after a failed creation: the display may hold resources (fonts)
    // made before the failure.
    if (!d.sink) {
        platform::DestroyProgressWindowNative();
    }
    d.exists = false;
}

bool ProgressWindowExists() {
    return State().exists;
}

void SetProgressState(const std::wstring& status, const std::wstring& detail,
                      const std::wstring& hint, int permille, bool isError) {
    Display& d = State();
    if (!d.exists) {
        return;
    }
    d.view.status = status;
    d.view.detail = detail;
    d.view.hint = hint;
    d.view.permille = std::clamp(std::max(permille, d.view.permille), 0, 1000);
    d.view.isError = isError;
    if (d.sink) {
        d.sink->Show(d.view);
        d.sink->Pump();
    } else {
        platform::RefreshProgressNative(d.view);
    }
}

ProgressView CurrentProgress() {
    return State().view;
}

void PumpMessages() {
    Display& d = State();
    if (d.sink) {
        d.sink->Pump();
    } else {
        platform::PumpMessagesNative();
    }
}

void Linger(uint32_t milliseconds) {
    uint32_t start = platform::TickCount();
    PumpMessages();
    while (platform::TickCount() - start < milliseconds) {
        platform::SleepMilliseconds(50);
        PumpMessages();
    }
}

int StepPermille(int base, int span, uint32_t index, uint32_t count, int subPermille) {
    if (count == 0) {
        return std::clamp(base, 0, 1000);
    }
    int64_t i = index == 0 ? 1 : index;
    i = std::min<int64_t>(i, count);
    int64_t sub = std::clamp(subPermille, 0, 1000);
    int64_t result = base + ((i * 1000 + sub - 1000) * static_cast<int64_t>(span)) /
                                (static_cast<int64_t>(count) * 1000);
    return static_cast<int>(std::clamp<int64_t>(result, 0, 1000));
}

std::wstring FormatStepText(const std::wstring& prefix, const std::wstring& name, uint32_t index,
                            uint32_t total) {
    std::wstring text = prefix;
    if (total != 0) {
        text += L" " + ToDecimal(index) + L" / " + ToDecimal(total);
    }
    if (!name.empty()) {
        text += L": " + name;
    }
    return text;
}

std::wstring FormatMegabytes(uint64_t bytes) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f MB",
                  static_cast<double>(bytes) * 9.5367431640625e-7);
    return Utf8ToUtf16(buffer);
}

}  // namespace rr
