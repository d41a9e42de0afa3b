#pragma once
// A display for unit tests: installed with SetProgressSinkForTesting, it keeps
// every state the code under test shows, in order, and counts the pumps.
#include <vector>

#include "ui/progress.h"

namespace rr::test {

class RecordingDisplay : public ProgressSink {
  public:
    void Show(const ProgressView& view) override { shown.push_back(view); }
    void Pump() override { ++pumps; }

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
};

}  // namespace rr::test
