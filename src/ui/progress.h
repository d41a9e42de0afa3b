#pragma once
#include <cstdint>
#include <string>

#include "platform/ui.h"

namespace rr {

using ProgressView = platform::ProgressView;

void CreateProgressWindow(void* instance);
void DestroyProgressWindow();
bool ProgressWindowExists();

// The one way every part drives the display: all three texts are replaced,
// the bar only grows (clamped to 0..1000).
void SetProgressState(const std::wstring& status, const std::wstring& detail,
                      const std::wstring& hint, int permille, bool isError);
// What the display currently shows.
ProgressView CurrentProgress();

void PumpMessages();
void Linger(uint32_t milliseconds);

int StepPermille(int base, int span, uint32_t index, uint32_t count, int subPermille);
std::wstring FormatStepText(const std::wstring& prefix, const std::wstring& name, uint32_t index,
                            uint32_t total);
std::wstring FormatMegabytes(uint64_t bytes);

// Replaces the platform display, for unit tests: every shown state and pump
// goes to the sink instead. Null gives the platform display back.
class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    virtual void Show(const ProgressView& view) = 0;
    virtual void Pump() {}
};
void SetProgressSinkForTesting(ProgressSink* sink);

}  // namespace rr
