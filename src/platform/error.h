#pragma once
#include <cstdint>

namespace rr::platform {

// Error codes are Windows system error codes on both platforms; the POSIX layer
// translates errno so that the core and its log lines speak one language.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorWriteProtect = 19;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorLockViolation = 33;
constexpr uint32_t kErrorHandleDiskFull = 39;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorBusy = 170;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorStoppedOnSymlink = 681;
constexpr uint32_t kErrorCantResolveFilename = 1921;
constexpr uint32_t kErrorClassAlreadyExists = 1410;

// The error of the last failing platform call on this thread (GetLastError on
// Windows, the translated errno on POSIX).
uint32_t LastError();
void SetLastErrorCode(uint32_t code);

}  // namespace rr::platform
