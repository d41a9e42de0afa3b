#pragma once
// Internal to the POSIX layer: the descriptors behind the file classes, shared
// by the path-based and the handle-based halves of the layer.
#include <unistd.h>

#include "platform/fs.h"

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
