#include <windows.h>

#include "platform/error.h"

namespace rr::platform {

uint32_t LastError() {
    return ::GetLastError();
}
void SetLastErrorCode(uint32_t code) {
    ::SetLastError(code);
}

}  // namespace rr::platform
