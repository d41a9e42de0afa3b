#pragma once
// Internal to the POSIX layer: the descriptors behind the file classes, shared
// by the path-based and the handle-based halves of the layer.
#include <unistd.h>

#include <cerrno>

#include "platform/fs.h"

namespace rr::platform::posix {

// close(2), where EINTR still means closed (Linux releases the descriptor
// before it reports the interruption).
inline int RetryClose(int fd) {
    int rc = ::close(fd);
    return (rc != 0 && errno == EINTR) ? 0 : rc;
}

}  // namespace rr::platform::posix

namespace rr::platform {

struct FileReader::Impl {
    int fd = -1;
    ~Impl() {
        if (fd >= 0)
            ::close(fd);
    }
};

struct FileWriter::Impl {
    int fd = -1;
    ~Impl() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace rr::platform
