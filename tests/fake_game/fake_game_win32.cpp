// Windows fake game: a real top-level window; WM_CLOSE is its close request.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "fake_game_options.h"

namespace {

fake_game::Options g_options;
std::filesystem::path g_folder;
std::string g_pid;

std::string Narrow(const wchar_t* text) {
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();
    return out;
}

LRESULT CALLBACK GameWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            fake_game::AppendRecord(g_folder, "close_requests.txt", g_pid);
            if (g_options.ignoreClose) {
                return 0;
            }
            fake_game::AppendRecord(g_folder, "exited.txt", g_pid + " close");
            ::DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    std::vector<std::string> args;
    int count = 0;
    if (LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            args.push_back(Narrow(argv[i]));
        ::LocalFree(argv);
    }
    std::vector<wchar_t> module(32768);
    DWORD length = ::GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
    g_folder = std::filesystem::path(std::wstring(module.data(), length)).parent_path();
    g_options = fake_game::LoadOptions(g_folder, args);
    g_pid = std::to_string(::GetCurrentProcessId());

    if (!g_options.holdFile.empty()) {
        // Held for the life of the process: writers get a sharing violation.
        std::wstring wide(g_options.holdFile.size() + 1, L'\0');
        int n = ::MultiByteToWideChar(CP_UTF8, 0, g_options.holdFile.c_str(), -1, wide.data(),
                                      static_cast<int>(wide.size()));
        wide.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
        HANDLE held = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held == INVALID_HANDLE_VALUE) {
            return 4;
        }
    }
    if (!g_options.noWindow) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = GameWindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        windowClass.lpszClassName = L"FakeGameWindow";
        ::RegisterClassW(&windowClass);
        HWND window = ::CreateWindowExW(0, L"FakeGameWindow", L"Fake Main", WS_OVERLAPPEDWINDOW, 10,
                                        10, 240, 120, nullptr, nullptr, instance, nullptr);
        if (!window) {
            return 3;
        }
        ::ShowWindow(window, SW_SHOWNOACTIVATE);
    }
    // Recorded only once the window exists, so a test that saw the start can
    // already reach the window.
    std::vector<wchar_t> cwd(32768);
    DWORD cwdLength = ::GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());
    cwd.resize(cwdLength);
    cwd.push_back(L'\0');
    fake_game::AppendRecord(g_folder, "started.txt", g_pid + "\t" + Narrow(cwd.data()));

    if (g_options.exitAfterMs >= 0) {
        ::SetTimer(nullptr, 0, static_cast<UINT>(g_options.exitAfterMs), nullptr);
    }
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr) {
            fake_game::AppendRecord(g_folder, "exited.txt", g_pid + " timer");
            return 0;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return 0;
}
