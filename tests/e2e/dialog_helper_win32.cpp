// Dismisses the product's message boxes under Wine, where nobody else would
// click them, and reports what they said. Only dialogs captioned
// "RiveRoravav" whose process runs the given image are touched, so parallel
// runs (and other programs' dialogs) are left alone.
//   rr_dialog_helper --image <exe path> --stop-file <path> [--timeout-ms N]
// Prints one line per dialog: "DIALOG\t<caption>\t<text>" (UTF-8).
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr int kMessageBoxTextId = 0xFFFF;

std::wstring FoldCase(std::wstring text) {
    for (auto& c : text) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c == L'/')
            c = L'\\';
    }
    return text;
}

std::wstring ImageOf(DWORD pid) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return std::wstring();
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    std::wstring image;
    if (::QueryFullProcessImageNameW(process, 0, buffer.data(), &size))
        image.assign(buffer.data(), size);
    ::CloseHandle(process);
    return image;
}

void WriteLine(const std::wstring& line) {
    int size = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(),
                          size, nullptr, nullptr);
    bytes += "\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
                &written, nullptr);
}

struct Search {
    std::wstring image;
    HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    wchar_t className[64] = {};
    wchar_t caption[64] = {};
    ::GetClassNameW(window, className, 64);
    ::GetWindowTextW(window, caption, 64);
    if (std::wstring(className) != L"#32770" || std::wstring(caption) != L"RiveRoravav")
        return TRUE;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (FoldCase(ImageOf(pid)) != search->image)
        return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring image;
    std::wstring stopFile;
    DWORD timeoutMs = 120000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring name = argv[i];
        if (name == L"--image")
            image = argv[i + 1];
        else if (name == L"--stop-file")
            stopFile = argv[i + 1];
        else if (name == L"--timeout-ms")
            timeoutMs = static_cast<DWORD>(_wtoi(argv[i + 1]));
    }
    if (image.empty() || stopFile.empty()) {
        WriteLine(L"usage: rr_dialog_helper --image <exe> --stop-file <path> [--timeout-ms N]");
        return 2;
    }
    Search search;
    search.image = FoldCase(image);
    ULONGLONG start = ::GetTickCount64();
    for (;;) {
        search.found = nullptr;
        ::EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
        if (HWND box = search.found) {
            wchar_t caption[256] = {};
            wchar_t text[4096] = {};
            ::GetWindowTextW(box, caption, 256);
            ::GetDlgItemTextW(box, kMessageBoxTextId, text, 4096);
            WriteLine(std::wstring(L"DIALOG\t") + caption + L"\t" + text);
            if (HWND ok = ::GetDlgItem(box, IDOK))
                ::PostMessageW(ok, BM_CLICK, 0, 0);
            else
                ::PostMessageW(box, WM_COMMAND, IDOK, 0);
            for (int i = 0; i < 100 && ::IsWindow(box); ++i)
                ::Sleep(50);
        }
        if (::GetFileAttributesW(stopFile.c_str()) != INVALID_FILE_ATTRIBUTES)
            return 0;
        if (::GetTickCount64() - start > timeoutMs)
            return 1;
        ::Sleep(100);
    }
}
