// POSIX fake game: a SIGTERM is its close request.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_game_options.h"

namespace {

volatile sig_atomic_t g_closeRequests = 0;

void OnTerminate(int) {
    g_closeRequests = g_closeRequests + 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    std::error_code ec;
    std::filesystem::path folder =
        std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    fake_game::Options options = fake_game::LoadOptions(folder, args);
    const std::string pid = std::to_string(::getpid());

    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    std::error_code cwdError;
    fake_game::AppendRecord(folder, "started.txt",
                            pid + "\t" + std::filesystem::current_path(cwdError).string());

    auto start = std::chrono::steady_clock::now();
    sig_atomic_t seen = 0;
    for (;;) {
        if (g_closeRequests != seen) {
            seen = g_closeRequests;
            fake_game::AppendRecord(folder, "close_requests.txt", pid);
            if (!options.ignoreClose && !options.noWindow) {
                fake_game::AppendRecord(folder, "exited.txt", pid + " close");
                return 0;
            }
        }
        if (options.exitAfterMs >= 0 && std::chrono::steady_clock::now() - start >=
                                            std::chrono::milliseconds(options.exitAfterMs)) {
            fake_game::AppendRecord(folder, "exited.txt", pid + " timer");
            return 0;
        }
        struct timespec pause {
            0, 10 * 1000 * 1000
        };
        ::nanosleep(&pause, nullptr);
    }
}
