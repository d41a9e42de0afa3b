#pragma once
// A display for unit tests: from its construction to its end it receives what
// the code under test shows (instead of the window), keeps every state in
// order, and counts the pumps.
#include <optional>
#include <vector>

#include "ui/progress.h"

namespace rr::test {

class RecordingDisplay : public ProgressSink {
  public:
    RecordingDisplay() { scope_.emplace(*this); }

    void Show(const ProgressView& view) override { shown.push_back(view); }
    void Pump() override { ++pumps; }

    // A fresh display, as at a new run's start: the bar from 0, nothing shown.
    void Restart() {
        scope_.reset();
        shown.clear();
        scope_.emplace(*this);
    }

    // The bar of every shown state, in order.
    std::vector<int> Permilles() const {
        std::vector<int> values;
        values.reserve(shown.size());
        for (const ProgressView& view : shown) {
            values.push_back(view.permille);
        }
        return values;
    }

    std::vector<ProgressView> shown;
    int pumps = 0;

  private:
    std::optional<ProgressSinkScope> scope_;
};

}  // namespace rr::test
