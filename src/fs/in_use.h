#pragma once
// A file that another program holds open (a virus scanner, the game's crash
// reporter) is mostly free again within seconds. The file layer tries such an
// operation again with growing waits, for up to ten seconds in all, before it
// fails it as it would have failed at once.
#include <functional>
#include <string>

namespace rr {

enum class FileStep {
    kOpen,    // an open: a sharing or lock violation is worth waiting for
    kChange,  // a rename, a replace or a delete: access denied as well, which is
              // what Windows answers for a target held open or pending delete
};

// Told once per operation that waits, with the full path of the client file
// concerned (never of a temporary copy). The log installs it; without one
// the wait is silent.
using InUseNotice = void (*)(const std::wstring& path);
// Installs `notice` (null for none) and returns the one it replaces.
InUseNotice SetInUseNotice(InUseNotice notice);

// Runs `attempt` until it succeeds, fails for another reason or the ten
// seconds are spent; LastError() is then the last failure's.
bool RetryWhileInUse(FileStep step, const std::wstring& path, const std::function<bool()>& attempt);

}  // namespace rr
