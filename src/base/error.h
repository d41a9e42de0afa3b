#pragma once
// How a failure travels above the platform layer: a function that can fail
// returns false and fills an Error for its caller, who decides what to log.
#include <cstdint>
#include <string>

#include "platform/error.h"

namespace rr {

// Why a walk below the client folder stopped before its target.
enum class WalkStop {
    kNone,
    kMissing,    // a folder on the way does not exist
    kLink,       // a link stands where a folder is expected
    kNotFolder,  // a file stands where a folder is expected
    kOutside,    // the path does not lie strictly below the root
    kFailed,     // anything else; the code tells
};

// Text for log lines: "link on the way", "missing folder", ...
const wchar_t* WalkStopText(WalkStop stop);

struct Error {
    uint32_t code = platform::kErrorSuccess;  // the platform's error code, 0 if none
    WalkStop stop = WalkStop::kNone;          // set when a walk stopped on the way
    std::wstring text;                        // what failed, in the log's words
};

// Fills `err` (when given) and returns false, for `return Fail(err, ...)`.
bool Fail(Error* err, uint32_t code, std::wstring text = {}, WalkStop stop = WalkStop::kNone);

// File or path not found: the entry is already gone.
bool IsNotFound(uint32_t code);

}  // namespace rr
