#include "test_support.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace rr::test {

long TempDir::testing_pid() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

}  // namespace rr::test
