#pragma once
// What the fake game does, read from fake_game.cfg beside it and then from its
// arguments (arguments win):
//   cfg line "ignore-close"     / argument --ignore-close     : stay on a close request
//   cfg line "exit-after-ms=N"  / argument --exit-after-ms N  : end by itself after N ms
//   cfg line "no-window"        / argument --no-window        : no window (Windows), so
//                                                               no close request reaches it
//   argument --hold-file PATH                                : keep PATH open for reading
//                                                              while running, others may read
//                                                              but not write it (Windows only)
// Files it appends to, in its own folder: started.txt ("<pid>\t<working directory>"),
// close_requests.txt ("<pid>") and exited.txt ("<pid> <why>").
#include <filesystem>
#include <string>
#include <vector>

namespace fake_game {

struct Options {
    bool ignoreClose = false;
    bool noWindow = false;
    long long exitAfterMs = -1;  // negative: never by itself
    std::string holdFile;
};

void ApplyConfigText(const std::string& text, Options& options);
void ApplyArguments(const std::vector<std::string>& args, Options& options);

// Reads folder/fake_game.cfg when present, then applies the arguments.
Options LoadOptions(const std::filesystem::path& folder, const std::vector<std::string>& args);

void AppendRecord(const std::filesystem::path& folder, const char* file, const std::string& line);

}  // namespace fake_game
