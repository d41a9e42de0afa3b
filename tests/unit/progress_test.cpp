#include <gtest/gtest.h>

#include <vector>

#include "ui/progress.h"

namespace rr {
namespace {

class Recorder : public ProgressSink {
  public:
    void Show(const ProgressView& view) override { shown.push_back(view); }
    void Pump() override { ++pumps; }
    std::vector<ProgressView> shown;
    int pumps = 0;
};

class ProgressTest : public ::testing::Test {
  protected:
    void SetUp() override { SetProgressSinkForTesting(&recorder); }
    void TearDown() override {
        DestroyProgressWindow();
        SetProgressSinkForTesting(nullptr);
    }
    Recorder recorder;
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
