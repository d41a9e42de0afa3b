#include "log/delete_under_root.h"

#include "base/path.h"
#include "fs/delete_tree.h"
#include "log/log.h"

namespace rr {

bool DeleteTreeUnderRoot(const std::wstring& path, const std::wstring& allowedRoot) {
    std::wstring relative;
    // The root itself, a path outside it or a name no walk could take:
    // nothing is deleted.
    if (!IsPathUnderRoot(path, allowedRoot) ||
        !RelativePathUnderRoot(allowedRoot, path, relative)) {
        LogMain(L"Refused to delete outside allowed root: " + path);
        return false;
    }
    return DeleteTreeBelow(allowedRoot, relative, LinkPolicy::kRemoveEntry);
}

}  // namespace rr
