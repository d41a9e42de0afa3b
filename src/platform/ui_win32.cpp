#include <windows.h>

#include "platform/ui.h"
#include "platform/window_layout.h"

namespace rr::platform {

namespace {

const wchar_t kClassName[] = L"OrvellaRiveRoravavWindow";
const wchar_t kTitle[] = L"Orvella Updater";
const wchar_t kDefaultStatus[] = L"Starting updater...";
constexpr UINT kTextFlags = DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS;  // 0x8024

constexpr COLORREF kBackground = RGB(245, 247, 250);
constexpr COLORREF kHeadline = RGB(24, 30, 38);
constexpr COLORREF kStatusNormal = RGB(42, 49, 58);
constexpr COLORREF kStatusError = RGB(176, 39, 39);
constexpr COLORREF kDetail = RGB(84, 92, 104);
constexpr COLORREF kTrack = RGB(224, 229, 236);
constexpr COLORREF kFillNormal = RGB(34, 143, 247);
constexpr COLORREF kFillError = RGB(200, 64, 64);
constexpr COLORREF kBorder = RGB(190, 199, 210);

// Owns one GDI object (font, brush, pen) and deletes it on every exit path.
template <typename T>
class GdiObject {
  public:
    explicit GdiObject(T handle = nullptr) : handle_(handle) {}
    ~GdiObject() { Reset(); }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;

    T get() const { return handle_; }
    void Reset(T handle = nullptr) {
        if (handle_) {
            ::DeleteObject(handle_);
        }
        handle_ = handle;
    }

  private:
    T handle_;
};

// Selects an object into a device context and puts the previous one back, so
// that the objects this paint created are never deleted while selected.
class ScopedSelect {
  public:
    ScopedSelect(HDC dc, HGDIOBJ object)
        : dc_(dc), previous_(object ? ::SelectObject(dc, object) : nullptr) {}
    ~ScopedSelect() {
        if (previous_) {
            ::SelectObject(dc_, previous_);
        }
    }
    ScopedSelect(const ScopedSelect&) = delete;
    ScopedSelect& operator=(const ScopedSelect&) = delete;

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

struct WindowState {
    HWND window = nullptr;
    GdiObject<HFONT> titleFont;
    GdiObject<HFONT> bodyFont;
    ProgressView view;
};

WindowState& State() {
    static WindowState state;
    return state;
}

HFONT CreateUiFont(int height, int weight) {
    return ::CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                         DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
}

RECT ToRect(const LayoutRect& r) {
    RECT rect{r.left, r.top, r.right, r.bottom};
    return rect;
}

void DrawRowText(HDC dc, LayoutRow row, int clientRight, const std::wstring& text) {
    RECT rect = ToRect(RowRect(row, clientRight));
    ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, kTextFlags);
}

void FillWithColour(HDC dc, const RECT& rect, COLORREF colour) {
    GdiObject<HBRUSH> brush(::CreateSolidBrush(colour));
    if (brush.get()) {
        ::FillRect(dc, &rect, brush.get());
    }
}

void Paint(HWND window) {
    PAINTSTRUCT ps{};
    HDC dc = ::BeginPaint(window, &ps);
    if (!dc) {
        return;
    }
    const WindowState& state = State();
    const ProgressView& view = state.view;
    RECT client{};
    ::GetClientRect(window, &client);
    FillWithColour(dc, client, kBackground);
    ::SetBkMode(dc, TRANSPARENT);
    {
        ScopedSelect font(dc, state.titleFont.get());
        ::SetTextColor(dc, kHeadline);
        DrawRowText(dc, LayoutRow::Headline, client.right, kTitle);
    }
    {
        ScopedSelect font(dc, state.bodyFont.get());
        ::SetTextColor(dc, view.isError ? kStatusError : kStatusNormal);
        DrawRowText(dc, LayoutRow::Status, client.right,
                    view.status.empty() ? std::wstring(kDefaultStatus) : view.status);
        ::SetTextColor(dc, kDetail);
        DrawRowText(dc, LayoutRow::Detail, client.right, view.detail);
        DrawRowText(dc, LayoutRow::Hint, client.right, view.hint);
    }
    RECT bar = ToRect(RowRect(LayoutRow::ProgressBar, client.right));
    FillWithColour(dc, bar, kTrack);
    int fill = ProgressFillWidth(bar.right - bar.left, view.permille);
    if (fill > 0) {
        RECT filled{bar.left, bar.top, bar.left + fill, bar.bottom};
        FillWithColour(dc, filled, view.isError ? kFillError : kFillNormal);
    }
    {
        GdiObject<HPEN> pen(::CreatePen(PS_SOLID, 1, kBorder));
        ScopedSelect selectPen(dc, pen.get());
        ScopedSelect selectBrush(dc, ::GetStockObject(HOLLOW_BRUSH));
        ::Rectangle(dc, bar.left, bar.top, bar.right, bar.bottom);
    }
    ::EndPaint(window, &ps);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            Paint(window);
            return 0;
        case WM_CLOSE:
            return 0;  // only the updater itself ends the window
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

WindowResult CreateProgressWindowNative(void* instance, uint32_t& error) {
    error = 0;
    WindowState& state = State();
    HINSTANCE module = instance ? static_cast<HINSTANCE>(instance) : ::GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = module;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    if (!::RegisterClassW(&windowClass)) {
        DWORD code = ::GetLastError();
        if (code != ERROR_CLASS_ALREADY_EXISTS) {
            error = code;
            return WindowResult::RegisterFailed;
        }
    }
    state.titleFont.Reset(CreateUiFont(18, 600));
    state.bodyFont.Reset(CreateUiFont(14, 400));

    RECT work{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    WindowOrigin origin = CenteredWindowOrigin({work.left, work.top, work.right, work.bottom});
    HWND window =
        ::CreateWindowExW(WS_EX_APPWINDOW, kClassName, kTitle, WS_CAPTION | WS_SYSMENU, origin.x,
                          origin.y, kWindowWidth, kWindowHeight, nullptr, nullptr, module, nullptr);
    if (!window) {
        error = ::GetLastError();
        return WindowResult::CreateFailed;  // the fonts stay until the window is destroyed
    }
    state.window = window;
    state.view = ProgressView{};
    state.view.status = kDefaultStatus;
    ::ShowWindow(window, SW_SHOW);
    ::UpdateWindow(window);
    PumpMessagesNative();
    return WindowResult::Created;
}

void RefreshProgressNative(const ProgressView& view) {
    WindowState& state = State();
    if (!state.window) {
        return;
    }
    state.view = view;
    ::InvalidateRect(state.window, nullptr, FALSE);
    ::UpdateWindow(state.window);
    PumpMessagesNative();
}

void DestroyProgressWindowNative() {
    WindowState& state = State();
    if (state.window) {
        ::DestroyWindow(state.window);
        state.window = nullptr;
    }
    state.titleFont.Reset();
    state.bodyFont.Reset();
}

void PumpMessagesNative() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            continue;  // a stray quit request must not end the run
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

void ShowMessageBox(const std::wstring& text, const std::wstring& caption, uint32_t flags) {
    ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), flags);
}

}  // namespace rr::platform
