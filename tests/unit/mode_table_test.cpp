#include <gtest/gtest.h>

#include <string>

#include "app/mode_table.h"

namespace rr {
namespace {

TEST(ModeTable, NamesMatchInAnyLetterCaseAndWholeOnly) {
    EXPECT_EQ(FindModeSpec(L"REPAIR-DRY-RUN").mode, RunMode::RepairDryRun);
    EXPECT_EQ(FindModeSpec(L"Full-Client").mode, RunMode::FullClient);
    EXPECT_EQ(FindModeSpec(L"full-client-APPLY").mode, RunMode::FullClientApply);
    EXPECT_EQ(FindModeSpec(L"Cleanup-Repair-Artifacts").mode, RunMode::CleanupRepairArtifacts);
    EXPECT_EQ(FindModeSpec(L"update").mode, RunMode::Update);
    // Anything else runs the update, also near misses and padded names.
    for (const wchar_t* other : {L"", L"full-client ", L"full", L"repair_dry_run", L"updat",
                                 L"cleanup", L"full-client-apply-now"}) {
        EXPECT_EQ(FindModeSpec(other).mode, RunMode::Update) << std::wstring(other).size();
    }
}

TEST(ModeTable, OnlyFileApplyingModesGateOnInstancesAndOnlyTheDryRunSkipsCleanup) {
    struct Expect {
        const wchar_t* mode;
        bool appliesFiles;
        bool cleansAfterRun;
        const wchar_t* finished;
    };
    const Expect expected[] = {
        {L"update", true, true, L"RiveRoravav V2-C4.3 finished"},
        {L"full-client-apply", true, true, L"RiveRoravav full-client-apply mode finished"},
        {L"full-client", false, true, L"RiveRoravav full-client mode finished"},
        {L"repair-dry-run", false, false, L"RiveRoravav repair dry-run finished"},
        {L"cleanup-repair-artifacts", false, true, L"RiveRoravav repair cleanup finished"},
    };
    for (const Expect& e : expected) {
        const ModeSpec& spec = FindModeSpec(e.mode);
        EXPECT_EQ(std::wstring(spec.name), e.mode);
        EXPECT_EQ(spec.appliesFiles, e.appliesFiles) << spec.name;
        EXPECT_EQ(spec.cleansAfterRun, e.cleansAfterRun) << spec.name;
        EXPECT_EQ(std::wstring(spec.finishedLine), e.finished);
        EXPECT_NE(spec.runner, nullptr);
        EXPECT_NE(spec.notCompletedLine, nullptr);
    }
    EXPECT_EQ(std::wstring(FindModeSpec(L"full-client").notCompletedLine),
              FindModeSpec(L"full-client-apply").notCompletedLine);
}

}  // namespace
}  // namespace rr
