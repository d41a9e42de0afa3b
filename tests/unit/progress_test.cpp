#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "app/startup_progress.h"
#include "cleanup/cleanup_progress.h"
#include "dry_run/dry_run_progress.h"
#include "full_client/full_client_progress.h"
#include "package/package_progress.h"
#include "recording_display.h"
#include "ui/progress.h"
#include "update/update_progress.h"

namespace rr {
namespace {

class ProgressTest : public ::testing::Test {
  protected:
    void TearDown() override { DestroyProgressWindow(); }
    test::RecordingDisplay recorder;
};

TEST_F(ProgressTest, BarOnlyGrowsAndIsClamped) {
    SetProgressState(L"a", L"b", L"c", 600, false);
    SetProgressState(L"x", L"y", L"", 400, true);
    ASSERT_EQ(recorder.shown.size(), 2u);
    EXPECT_EQ(recorder.shown[1].permille, 600);
    EXPECT_EQ(recorder.shown[1].status, L"x");
    EXPECT_EQ(recorder.shown[1].detail, L"y");
    EXPECT_EQ(recorder.shown[1].hint, L"");
    EXPECT_TRUE(recorder.shown[1].isError);
    SetProgressState(L"s", L"", L"", -5, false);
    EXPECT_EQ(recorder.shown.back().permille, 600);
    EXPECT_FALSE(recorder.shown.back().isError) << "the error flag can turn back";
    SetProgressState(L"s", L"", L"", 1500, false);
    EXPECT_EQ(recorder.shown.back().permille, 1000);
    EXPECT_GE(recorder.pumps, 4) << "every state change pumps the queue";
}

TEST_F(ProgressTest, NothingIsStoredWithoutAWindow) {
    DestroyProgressWindow();
    SetProgressState(L"late", L"", L"", 10, false);
    EXPECT_TRUE(recorder.shown.empty());
    EXPECT_NE(CurrentProgress().status, L"late");
}

TEST(StepPermille, BandsAndClamps) {
    EXPECT_EQ(StepPermille(100, 600, 2, 4, 500), 325);
    EXPECT_EQ(StepPermille(1200, 5, 1, 0, 0), 1000);
    EXPECT_EQ(StepPermille(-3, 5, 1, 0, 0), 0);
    EXPECT_EQ(StepPermille(350, 350, 0, 4, 0), StepPermille(350, 350, 1, 4, 0));
    EXPECT_EQ(StepPermille(350, 350, 9, 4, 1000), 700);
    EXPECT_EQ(StepPermille(350, 350, 1, 1, 2000), 700);
    EXPECT_EQ(StepPermille(80, 860, 1, 4, 0), 80);
    EXPECT_EQ(StepPermille(80, 860, 4, 4, 0), 725);
}

TEST(BandPermille, SharesTheBandTruncatedAndClamped) {
    EXPECT_EQ(BandPermille({120, 220}, 0, 4), 120);
    EXPECT_EQ(BandPermille({120, 220}, 1, 4), 175);
    EXPECT_EQ(BandPermille({120, 220}, 4, 4), 340);
    EXPECT_EQ(BandPermille({700, 220}, 1, 3), 773) << "220 / 3 truncates";
    EXPECT_EQ(BandPermille({700, 100}, 1500, 2000), 775) << "a half step";
    EXPECT_EQ(BandPermille({120, 560}, 3, 0), 120) << "an empty batch stays at the base";
    EXPECT_EQ(BandPermille({120, 560}, 3, -2), 120);
    EXPECT_EQ(BandPermille({1200, 5}, 0, 0), 1000);
    EXPECT_EQ(BandPermille({-3, 5}, 0, 1), 0);
    EXPECT_EQ(BandPermille({996, 3}, 8, 4), 1000) << "past the total is clamped to the bar";
    // A batch of a billion steps does not overflow.
    EXPECT_EQ(BandPermille({0, 1000}, 999'999'999'000, 1'000'000'000'000), 999);
}

TEST(StepPermille, BandFormMatchesTheBaseAndSpanForm) {
    for (uint32_t count : {0u, 1u, 3u, 7u}) {
        for (uint32_t index : {0u, 1u, 2u, 3u, 9u}) {
            for (int sub : {-5, 0, 333, 1000, 2000}) {
                EXPECT_EQ(StepPermille(kDownloadBand, index, count, sub),
                          StepPermille(350, 350, index, count, sub))
                    << index << " of " << count << " at " << sub;
            }
        }
    }
    EXPECT_EQ(StepPermille(kCleanupBand, 4, 4, 0), 725);
}

bool Ascending(std::initializer_list<int> points) {
    return std::is_sorted(points.begin(), points.end());
}

TEST(ProgressBands, PhasesOfEachModeFollowEachOther) {
    // The bar never moves back, so a phase placed before the previous one's
    // end would look frozen.
    EXPECT_TRUE(Ascending({0, kStartupWaitPoint, kStartupInstancesPoint, kManifestLoadBand.base}));
    EXPECT_TRUE(Ascending({kManifestLoadBand.base, kManifestLoadBand.end(), kUpdateCheckBand.base,
                           kUpdateCheckBand.end(), kDownloadBand.base, kDownloadBand.end(),
                           kUpdateVerifyBand.base, kUpdateVerifyBand.end(), kUpdateApplyBand.base,
                           kUpdateApplyBand.end(), kProgressComplete}));
    EXPECT_TRUE(Ascending({kManifestLoadBand.end(), kDryRunCheckBand.base, kDryRunCheckBand.end(),
                           kDryRunScanBand.base, kDryRunScanBand.end(), kProgressComplete}));
    EXPECT_TRUE(
        Ascending({kStartupWaitPoint, kCleanupBand.base, kCleanupBand.end(), kProgressComplete}));
    EXPECT_TRUE(Ascending(
        {kStartupWaitPoint, kPackageStartPoint, kPackageReuseCheckPoint, kPackageDownloadPoint,
         kPackageReadyPoint, kDownloadBand.base, kDownloadBand.end(), kPackageValidatePoint,
         kExtractPreparePoint, kExtractEntriesPoint, kExtractCopyBand.base, kExtractCopyBand.end(),
         kExtractFindRootPoint, kCompareBand.base, kCompareBand.end(), kCompareExtrasPoint}));
    EXPECT_TRUE(Ascending({kRepairPlanPoint, kRepairApplyBand.base, kRepairApplyBand.end(),
                           kQuarantineBand.base, kQuarantineBand.end(),
                           kEmptyDirsAfterQuarantinePoint, kAutoCleanupAfterQuarantineBand.base,
                           kAutoCleanupAfterQuarantineBand.end(), kProgressComplete}));
    EXPECT_TRUE(Ascending({kRepairPlanPoint, kEmptyDirsNoChangePoint, kAutoCleanupNoChangeBand.base,
                           kAutoCleanupNoChangeBand.end(), kProgressComplete}));
}

TEST_F(ProgressTest, DownloadShowsPositionAmountsAndTheFileShare) {
    ShowDownloadProgress(L"Data\\Local\\Item.bmd", 3, 12, 0, 1572864, false);
    ASSERT_EQ(recorder.shown.size(), 1u);
    EXPECT_EQ(recorder.shown[0].status, L"Downloading...");
    EXPECT_EQ(recorder.shown[0].detail, L"Current file 3 / 12: Data\\Local\\Item.bmd");
    EXPECT_EQ(recorder.shown[0].hint, L"Downloaded 0.00 MB / 1.50 MB");
    EXPECT_EQ(recorder.shown[0].permille, 408);
    EXPECT_FALSE(recorder.shown[0].isError);

    // Half of the second of two files.
    ShowDownloadProgress(L"b", 2, 2, 524288, 1048576, false);
    EXPECT_EQ(recorder.shown.back().hint, L"Downloaded 0.50 MB / 1.00 MB");
    EXPECT_EQ(recorder.shown.back().permille, 612);
    // Completion fills the share even when the body came up short.
    ShowDownloadProgress(L"b", 2, 2, 524288, 1048576, true);
    EXPECT_EQ(recorder.shown.back().permille, 700);
}

TEST_F(ProgressTest, DownloadShareOfHugeOrMissingSizes) {
    // Without an announced size the share stays empty until completion.
    ShowDownloadProgress(L"", 1, 1, 5000, 0, false);
    EXPECT_EQ(recorder.shown.back().hint, L"Downloaded 0.00 MB");
    EXPECT_EQ(recorder.shown.back().detail, L"Current file 1 / 1");
    EXPECT_EQ(recorder.shown.back().permille, 350);
    // Amounts whose per-mille product would not fit in 64 bits.
    ShowDownloadProgress(L"x", 1, 1, UINT64_MAX / 3, UINT64_MAX, false);
    EXPECT_EQ(recorder.shown.back().permille, 466);
    ShowDownloadProgress(L"x", 1, 1, UINT64_MAX, UINT64_MAX, false);
    EXPECT_EQ(recorder.shown.back().permille, 700);
}

TEST(FormatText, StepAndMegabytes) {
    EXPECT_EQ(FormatStepText(L"Downloading", L"Data\\Example.dat", 3, 12),
              L"Downloading 3 / 12: Data\\Example.dat");
    EXPECT_EQ(FormatStepText(L"Current file", L"", 1, 0), L"Current file");
    EXPECT_EQ(FormatStepText(L"Current file", L"pkg.zip", 0, 0), L"Current file: pkg.zip");
    EXPECT_EQ(FormatMegabytes(1572864), L"1.50 MB");
    EXPECT_EQ(FormatMegabytes(0), L"0.00 MB");
}

}  // namespace
}  // namespace rr
