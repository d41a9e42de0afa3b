#include "base/error.h"

#include <utility>

namespace rr {

const wchar_t* WalkStopText(WalkStop stop) {
    switch (stop) {
        case WalkStop::kNone:
            return L"none";
        case WalkStop::kMissing:
            return L"missing folder";
        case WalkStop::kLink:
            return L"link on the way";
        case WalkStop::kNotFolder:
            return L"file where a folder is expected";
        case WalkStop::kOutside:
            return L"outside the client folder";
        case WalkStop::kFailed:
            break;
    }
    return L"failed";
}

bool Fail(Error* err, uint32_t code, std::wstring text, WalkStop stop) {
    if (err != nullptr) {
        err->code = code;
        err->stop = stop;
        err->text = std::move(text);
    }
    return false;
}

bool IsNotFound(uint32_t code) {
    return code == platform::kErrorFileNotFound || code == platform::kErrorPathNotFound;
}

}  // namespace rr
