#pragma once
// Internal to the Win32 layer: the handles behind the file classes, shared by
// the path-based and the handle-based halves of the layer.
#include <windows.h>

#include "platform/fs.h"

namespace rr::platform::win32 {

// Closes a file handle on every exit path.
class Handle {
  public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE Release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    bool Reset(HANDLE h = INVALID_HANDLE_VALUE) {
        bool ok = true;
        if (valid())
            ok = ::CloseHandle(h_) != FALSE;
        h_ = h;
        return ok;
    }

  private:
    HANDLE h_;
};

// SetLastError(code) and false, for `return FailWith(...);`.
inline bool FailWith(DWORD code) {
    ::SetLastError(code);
    return false;
}

}  // namespace rr::platform::win32

namespace rr::platform {

struct FileReader::Impl {
    win32::Handle file;
};

struct FileWriter::Impl {
    win32::Handle file;
};

}  // namespace rr::platform
