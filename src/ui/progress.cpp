#include "ui/progress.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"
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

// How much of one file arrived, in per mille; 0 when no size was announced.
int FileSharePermille(uint64_t received, uint64_t expected) {
    if (expected == 0) {
        return 0;
    }
    if (received >= expected) {
        return 1000;
    }
    // received < expected here, so the quotient is below 1000; the split
    // avoids overflowing the product for absurd announced sizes.
    if (received <= UINT64_MAX / 1000) {
        return static_cast<int>((received * 1000) / expected);
    }
    return static_cast<int>(static_cast<long double>(received) * 1000.0L /
                            static_cast<long double>(expected));
}

}  // namespace

ProgressSinkScope::ProgressSinkScope(ProgressSink& sink)
    : previousSink_(State().sink), previousExists_(State().exists), previousView_(State().view) {
    Display& d = State();
    d.sink = &sink;
    d.exists = true;
    d.view = ProgressView{};
    d.view.status = L"Starting updater...";
}

ProgressSinkScope::~ProgressSinkScope() {
    Display& d = State();
    d.sink = previousSink_;
    d.exists = previousExists_;
    d.view = previousView_;
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
    d.view.permille = std::clamp(std::max(permille, d.view.permille), 0, kProgressComplete);
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

void ShowProgressHint(const std::wstring& hint) {
    const ProgressView view = CurrentProgress();
    SetProgressState(view.status, view.detail, hint, view.permille, view.isError);
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

int BandPermille(ProgressBand band, int64_t done, int64_t total) {
    if (total <= 0) {
        return std::clamp(band.base, 0, kProgressComplete);
    }
    int64_t result = band.base + (static_cast<int64_t>(band.span) * done) / total;
    return static_cast<int>(std::clamp<int64_t>(result, 0, kProgressComplete));
}

int StepPermille(ProgressBand band, uint32_t index, uint32_t count, int subPermille) {
    if (count == 0) {
        return BandPermille(band, 0, 0);
    }
    int64_t i = index == 0 ? 1 : index;
    i = std::min<int64_t>(i, count);
    int64_t sub = std::clamp(subPermille, 0, 1000);
    return BandPermille(band, i * 1000 + sub - 1000, static_cast<int64_t>(count) * 1000);
}

int StepPermille(int base, int span, uint32_t index, uint32_t count, int subPermille) {
    return StepPermille(ProgressBand{base, span}, index, count, subPermille);
}

void ShowBandStep(const std::wstring& status, const std::wstring& detail, ProgressBand band,
                  uint32_t index, uint32_t count, int subPermille) {
    SetProgressState(status, detail, L"", StepPermille(band, index, count, subPermille), false);
}

void ShowDownloadProgress(const std::wstring& displayName, uint32_t fileIndex, uint32_t fileCount,
                          uint64_t receivedBytes, uint64_t expectedBytes, bool complete) {
    std::wstring hint = L"Downloaded " + FormatMegabytes(receivedBytes);
    if (expectedBytes != 0) {
        hint += L" / " + FormatMegabytes(expectedBytes);
    }
    const int sub = complete ? 1000 : FileSharePermille(receivedBytes, expectedBytes);
    SetProgressState(L"Downloading...",
                     FormatStepText(L"Current file", displayName, fileIndex, fileCount), hint,
                     StepPermille(kDownloadBand, fileIndex, fileCount, sub), false);
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
