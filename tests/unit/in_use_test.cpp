#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/in_use.h"
#include "platform/error.h"

namespace rr {
namespace {

std::vector<std::wstring>& Told() {
    static std::vector<std::wstring> told;
    return told;
}

// Fails with `error` the first `failures` times, then succeeds.
struct Holder {
    uint32_t error;
    int failures;
    int calls = 0;
    bool operator()() {
        if (++calls > failures) {
            return true;
        }
        platform::SetLastErrorCode(error);
        return false;
    }
};

TEST(RetryWhileInUse, WaitsOutAHolderTellsOnceAndLeavesOtherFailuresAlone) {
    Told().clear();
    SetInUseNotice([](const std::wstring& path) { Told().push_back(path); });
    Holder sharing{platform::kErrorSharingViolation, 3};
    EXPECT_TRUE(RetryWhileInUse(FileStep::kOpen, L"C:\\game\\a.bmd", std::ref(sharing)));
    EXPECT_EQ(sharing.calls, 4);
    Holder pendingDelete{platform::kErrorAccessDenied, 1};
    EXPECT_TRUE(RetryWhileInUse(FileStep::kChange, L"C:\\game\\b.bmd", std::ref(pendingDelete)));
    EXPECT_EQ(Told(), (std::vector<std::wstring>{L"C:\\game\\a.bmd", L"C:\\game\\b.bmd"}));

    // Access denied on an open, or a full disk, is no holder: failed at once.
    Holder denied{platform::kErrorAccessDenied, 1};
    EXPECT_FALSE(RetryWhileInUse(FileStep::kOpen, L"C:\\game\\c.bmd", std::ref(denied)));
    Holder full{platform::kErrorDiskFull, 1};
    EXPECT_FALSE(RetryWhileInUse(FileStep::kChange, L"C:\\game\\d.bmd", std::ref(full)));
    EXPECT_EQ(platform::LastError(), platform::kErrorDiskFull);
    EXPECT_EQ(denied.calls + full.calls, 2);
    EXPECT_EQ(Told().size(), 2u);
    SetInUseNotice(nullptr);
}

}  // namespace
}  // namespace rr
