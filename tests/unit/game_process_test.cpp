#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

#include "app/run_config.h"
#include "base/path.h"
#include "base/text.h"
#include "log/log.h"
#include "platform/process.h"
#include "platform/system.h"
#include "process/game_process.h"
#include "test_support.h"

namespace rr {
namespace {

namespace fs = test::fs;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// The fake game is built next to this test program (tests/fake_game/).
fs::path FakeGamePath() {
    fs::path self = test::NativePath(platform::ModuleFileName());
#ifdef _WIN32
    return self.parent_path() / "fake_game" / "fake_game.exe";
#else
    return self.parent_path() / "fake_game" / "fake_game";
#endif
}

struct Start {
    uint32_t pid = 0;
    std::wstring workingDirectory;
};

class GameProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(FakeGamePath())) {
            GTEST_SKIP() << "fake game not built: " << FakeGamePath().string();
        }
        fs::create_directories(client.native() / "Game_Dir");
        fs::copy_file(FakeGamePath(), client.native() / "Game_Dir" / "Main.exe");
        // Games started here end by themselves; nothing in a test kills them.
        WriteFile(client.native() / "Game_Dir" / "fake_game.cfg", "exit-after-ms=20000\n");
        config.clientDir = NormalizeClientDir(client.core(L"Game_Dir"));
        expected = ExpectedMainPath(config.clientDir, config.mainExe);
    }

    std::string MainLog() { return ReadFile(logs.native() / "Logs" / "RiveRoravav.log"); }
    bool Logged(const std::wstring& text) {
        return MainLog().find(Utf16ToUtf8(text) + "\r\n") != std::string::npos;
    }

    std::vector<Start> Starts() {
        std::vector<Start> starts;
        std::istringstream lines(ReadFile(client.native() / "Game_Dir" / "started.txt"));
        std::string line;
        while (std::getline(lines, line)) {
            size_t tab = line.find('\t');
            if (tab == std::string::npos)
                continue;
            std::string cwd = line.substr(tab + 1);
            if (!cwd.empty() && cwd.back() == '\r')
                cwd.pop_back();
            starts.push_back({static_cast<uint32_t>(std::stoul(line.substr(0, tab))),
                              test::CorePath(fs::path(cwd))});
        }
        return starts;
    }

    // Relaunches the game and waits until it has recorded its start.
    uint32_t LaunchGame() {
        size_t before = Starts().size();
        EXPECT_TRUE(RelaunchGame(expected, config.clientDir));
        for (int i = 0; i < 400 && Starts().size() <= before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::vector<Start> starts = Starts();
        if (starts.size() <= before) {
            ADD_FAILURE() << "the game did not start";
            return 0;
        }
        return starts.back().pid;
    }

    static bool Contains(const std::vector<uint32_t>& ids, uint32_t id) {
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }

    TempDir client;
    TempDir logs;
    LogScope logScope{logs.core()};
    RunConfig config;
    std::wstring expected;
};

TEST_F(GameProcessTest, RelaunchStartsTheGameInTheClientDirectoryAndFindsItByPath) {
    uint32_t pid = LaunchGame();
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(Logged(L"Relaunched Main.exe pid=" + ToDecimal(pid)));
    std::vector<Start> starts = Starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_TRUE(IsSamePath(starts[0].workingDirectory, config.clientDir))
        << Utf16ToUtf8(starts[0].workingDirectory);

    std::wstring image;
    ASSERT_TRUE(QueryProcessImagePath(pid, image));
    EXPECT_TRUE(IsSamePath(image, expected)) << Utf16ToUtf8(image);

    // Matching is by path, in any letter case and with either separator.
    EXPECT_TRUE(Contains(FindProcessesByImagePath(expected), pid));
    std::wstring shouted = expected;
    for (auto& c : shouted) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    EXPECT_TRUE(Contains(FindProcessesByImagePath(shouted), pid));
    std::wstring slashed = expected + L"\\";
    for (auto& c : slashed) {
        if (c == L'\\')
            c = L'/';
    }
    EXPECT_TRUE(Contains(FindProcessesByImagePath(slashed), pid));
    // The same file name in another folder is another game.
    EXPECT_FALSE(Contains(FindProcessesByImagePath(client.core(L"Main.exe")), pid));
    EXPECT_FALSE(Contains(FindProcessesByImagePath(expected + L"x"), pid));
    // The updater never finds itself.
    EXPECT_FALSE(Contains(FindProcessesByImagePath(platform::ModuleFileName()),
                          platform::CurrentProcessId()));

    // Another client's parent wait skips this game.
    RunConfig other;
    other.clientDir = NormalizeClientDir(client.core());
    EXPECT_TRUE(WaitForParentGame(pid, ExpectedMainPath(other.clientDir, other.mainExe)));
    EXPECT_TRUE(
        Logged(L"Skipped process from another path: pid=" + ToDecimal(pid) + L" path=" + image));
    EXPECT_FALSE(Logged(L"Waiting for parent Main.exe pid=" + ToDecimal(pid)));

    // The parent is never an "other" instance, even while it runs.
    EXPECT_TRUE(CloseOtherClientInstances(expected, pid));
    EXPECT_FALSE(fs::exists(client.native() / "Game_Dir" / "close_requests.txt"));

    // Asked as another instance, a game that honours the request closes.
    EXPECT_TRUE(CloseOtherClientInstances(expected, 0));
    const std::wstring id = ToDecimal(pid);
    EXPECT_TRUE(
        Logged(L"Other same-client Main.exe instance found: pid=" + id + L" path=" + image));
    EXPECT_TRUE(Logged(L"Other same-client Main.exe closed OK: pid=" + id));
    EXPECT_EQ(ReadFile(client.native() / "Game_Dir" / "close_requests.txt"),
              std::to_string(pid) + "\n");
    EXPECT_FALSE(Contains(FindProcessesByImagePath(expected), pid));
    EXPECT_NE(platform::WaitForProcessExit(pid, 0), platform::ExitWait::TimedOut);
}

TEST_F(GameProcessTest, ZeroSelfAndVanishedParentsPassWithTheirLogLines) {
    EXPECT_TRUE(WaitForParentGame(0, expected));
    EXPECT_TRUE(WaitForParentGame(platform::CurrentProcessId(), expected));
    EXPECT_EQ(MainLog(), "") << "nothing is logged for pid 0 or the updater itself";

    uint32_t pid = LaunchGame();
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(PostCloseToProcessWindows(pid) >= 1u, true);
    ASSERT_NE(platform::WaitForProcessExit(pid, 10000), platform::ExitWait::TimedOut);
    EXPECT_TRUE(WaitForParentGame(pid, expected));
    // Gone at once, or (Wine keeps an ended process queryable for a moment)
    // found ended by the first wait; never asked to close.
    EXPECT_TRUE(Logged(L"Process already closed or unavailable: pid=" + ToDecimal(pid)) ||
                Logged(L"Process closed: pid=" + ToDecimal(pid)))
        << MainLog();
    EXPECT_EQ(MainLog().find("Sent WM_CLOSE"), std::string::npos);
}

TEST_F(GameProcessTest, RelaunchOfAMissingGameFailsWithTheSystemError) {
    EXPECT_FALSE(RelaunchGame(JoinPath(config.clientDir, L"Missing.exe"), config.clientDir));
    EXPECT_TRUE(Logged(L"Failed to relaunch Main.exe. error=2"));
    EXPECT_TRUE(Starts().empty());
}

}  // namespace
}  // namespace rr
