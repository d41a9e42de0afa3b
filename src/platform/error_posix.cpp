#include <cerrno>

#include "platform/error.h"
#include "platform/error_posix.h"

namespace rr::platform {

namespace {
thread_local uint32_t g_lastError = 0;
}

uint32_t LastError() {
    return g_lastError;
}
void SetLastErrorCode(uint32_t code) {
    g_lastError = code;
}

namespace posix {

void SetLastErrorFromErrno(int err) {
    uint32_t code = 31;  // ERROR_GEN_FAILURE
    switch (err) {
        case 0:
            code = kErrorSuccess;
            break;
        case ENOENT:
            code = kErrorFileNotFound;
            break;
        case ENOTDIR:
            code = kErrorPathNotFound;
            break;
        case EACCES:
        case EPERM:
        case EISDIR:
            code = kErrorAccessDenied;
            break;
        case EBADF:
            code = kErrorInvalidHandle;
            break;
        case ENOMEM:
            code = kErrorNotEnoughMemory;
            break;
        case EROFS:
            code = kErrorWriteProtect;
            break;
        case ETXTBSY:
            code = kErrorSharingViolation;
            break;
        case EEXIST:
            code = kErrorAlreadyExists;
            break;
        case EINVAL:
            code = kErrorInvalidParameter;
            break;
        case ENOSPC:
            code = kErrorDiskFull;
            break;
        case ENOTEMPTY:
            code = kErrorDirNotEmpty;
            break;
        case EBUSY:
            code = kErrorBusy;
            break;
        case ENAMETOOLONG:
            code = kErrorFilenameTooLong;
            break;
        case ELOOP:
            code = kErrorCantResolveFilename;
            break;
        case EXDEV:
            code = 17;  // ERROR_NOT_SAME_DEVICE
            break;
        default:
            break;
    }
    g_lastError = code;
}

bool FailErrno() {
    SetLastErrorFromErrno(errno);
    return false;
}

bool Fail(uint32_t code) {
    SetLastErrorCode(code);
    return false;
}

}  // namespace posix
}  // namespace rr::platform
