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
// Replaces only the hint line; the status, detail and bar stay.
void ShowProgressHint(const std::wstring& hint);

void PumpMessages();
void Linger(uint32_t milliseconds);

// A stretch of the bar that one phase of a run owns: it starts at `base` and
// ends at base + span. Every phase's place on the bar is named below, so the
// phases of a mode can be read in order and never overlap by accident.
struct ProgressBand {
    int base;
    int span;
    constexpr int end() const { return base + span; }
};

// The full bar, shown by every finished or failed run.
inline constexpr int kProgressComplete = 1000;

// Loading a manifest from its sources, shared evenly among them; the bar
// stands at the band's end once a manifest is loaded.
inline constexpr ProgressBand kManifestLoadBand{40, 60};

// Downloads, for every mode that downloads: one file's share of the batch.
inline constexpr ProgressBand kDownloadBand{350, 350};

// The bands of each mode's phases are declared by the mode itself, beside its
// code: app/startup_progress.h, update/update_progress.h, and so on.

// The bar for `done` of `total` units of a band: base + span * done / total,
// truncated toward zero and clamped to 0..1000. A total of 0 or less gives the
// band's base, so an empty batch never divides by zero.
int BandPermille(ProgressBand band, int64_t done, int64_t total);

// Step `index` (1-based) of `count` inside a band, the step itself
// `subPermille` done: the band is shared evenly among the steps. Index 0
// counts as step 1, an index past count as the last step; count 0 gives the
// base.
int StepPermille(ProgressBand band, uint32_t index, uint32_t count, int subPermille);
int StepPermille(int base, int span, uint32_t index, uint32_t count, int subPermille);

// Shows `detail` under `status` at step `index` of `count` in `band`, the
// step itself `subPermille` done (for a loader that reports steps).
void ShowBandStep(const std::wstring& status, const std::wstring& detail, ProgressBand band,
                  uint32_t index, uint32_t count, int subPermille);

// One file's download as step fileIndex of fileCount in kDownloadBand: status
// "Downloading...", the file's position and name, and the bytes received (of
// the announced size, when one was announced; 0 means none). `complete` fills
// the file's share even when fewer bytes than announced arrived: whether they
// are enough is for the size and digest check to say, not the display.
void ShowDownloadProgress(const std::wstring& displayName, uint32_t fileIndex, uint32_t fileCount,
                          uint64_t receivedBytes, uint64_t expectedBytes, bool complete);

std::wstring FormatStepText(const std::wstring& prefix, const std::wstring& name, uint32_t index,
                            uint32_t total);
std::wstring FormatMegabytes(uint64_t bytes);

// Where the display goes instead of the platform window, for unit tests.
class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    virtual void Show(const ProgressView& view) = 0;
    virtual void Pump() {}
};

// While it lives, every shown state and pump goes to `sink`, starting from a
// fresh display; its end gives the display that was there before back.
// Scopes nest.
class ProgressSinkScope {
  public:
    explicit ProgressSinkScope(ProgressSink& sink);
    ~ProgressSinkScope();
    ProgressSinkScope(const ProgressSinkScope&) = delete;
    ProgressSinkScope& operator=(const ProgressSinkScope&) = delete;

  private:
    ProgressSink* previousSink_;
    bool previousExists_;
    ProgressView previousView_;
};

}  // namespace rr
