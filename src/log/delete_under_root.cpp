#include "log/delete_under_root.h"

#include "base/path.h"
#include "fs/delete_tree.h"
#include "log/log.h"
#include "platform/error.h"

namespace rr {

namespace {

// Keeps the code of the last entry that could not be deleted.
class LastFailure : public DeleteObserver {
  public:
    explicit LastFailure(Error* err) : err_(err) {}
    void Failed(const std::wstring& /*path*/, const wchar_t* /*what*/, uint32_t error) override {
        Fail(err_, error);
    }
    void LinkBlocked(const std::wstring& /*path*/) override {
        Fail(err_, platform::kErrorStoppedOnSymlink, {}, WalkStop::kLink);
    }

  private:
    Error* err_;
};

}  // namespace

bool DeleteTreeUnderRoot(const std::wstring& path, const ClientFolder& allowedRoot, Error* err) {
    std::wstring relative;
    // The root itself, a path outside it or a name no walk could take:
    // nothing is deleted.
    if (!IsPathUnderRoot(path, allowedRoot.Path()) ||
        !RelativePathUnderRoot(allowedRoot.Resolved(), path, relative)) {
        LogMain(L"Refused to delete outside allowed root: " + path);
        return Fail(err, platform::kErrorInvalidName, {}, WalkStop::kOutside);
    }
    LastFailure failure(err);
    return DeleteTreeBelow(allowedRoot, relative, LinkPolicy::kRemoveEntry, &failure);
}

}  // namespace rr
