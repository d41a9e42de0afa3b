// Shows the product's progress display in a fixed, mid-run state for a while,
// so that it can be looked at or photographed. Test helper only.
//   rr_window_demo [milliseconds] [error]
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/system.h"
#include "ui/progress.h"

int main(int argc, char** argv) {
    uint32_t lingerMs = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 5000;
    bool error = argc > 2 && std::string(argv[2]) == "error";
    rr::CreateProgressWindow(nullptr);
    rr::SetProgressState(L"Downloading update...",
                         rr::FormatStepText(L"Downloading", L"Data\\Example.dat", 3, 12),
                         rr::FormatMegabytes(1572864) + L" of " + rr::FormatMegabytes(4194304),
                         rr::StepPermille(100, 600, 3, 12, 500), error);
    rr::Linger(lingerMs);
    rr::DestroyProgressWindow();
    return 0;
}
