#include "fake_game_options.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace fake_game {

namespace {

long long ParseNumber(const std::string& text) {
    try {
        return std::stoll(text);
    } catch (...) {
        return -1;
    }
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

void ApplyConfigText(const std::string& text, Options& options) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line == "ignore-close") {
            options.ignoreClose = true;
        } else if (line == "no-window") {
            options.noWindow = true;
        } else if (line.rfind("exit-after-ms=", 0) == 0) {
            options.exitAfterMs = ParseNumber(line.substr(14));
        }
    }
}

void ApplyArguments(const std::vector<std::string>& args, Options& options) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--ignore-close") {
            options.ignoreClose = true;
        } else if (args[i] == "--close-on-request") {
            options.ignoreClose = false;
        } else if (args[i] == "--no-window") {
            options.noWindow = true;
        } else if (args[i] == "--hold-file" && i + 1 < args.size()) {
            options.holdFile = args[++i];
        } else if (args[i] == "--exit-after-ms" && i + 1 < args.size()) {
            options.exitAfterMs = ParseNumber(args[++i]);
        }
    }
}

Options LoadOptions(const std::filesystem::path& folder, const std::vector<std::string>& args) {
    Options options;
    std::ifstream in(folder / "fake_game.cfg", std::ios::binary);
    if (in) {
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ApplyConfigText(text, options);
    }
    ApplyArguments(args, options);
    return options;
}

void AppendRecord(const std::filesystem::path& folder, const char* file, const std::string& line) {
    std::ofstream out(folder / file, std::ios::binary | std::ios::app);
    out << line << "\n";
}

}  // namespace fake_game
