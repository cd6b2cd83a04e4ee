#include <gtest/gtest.h>

#include "CameraFrameRate.h"
#include "CaptureSource.h"

namespace brindlow {
namespace {

TEST(CaptureSizeFitting, KeepsSizesWithinTheAreaAndMakesThemEven) {
    const std::pair<CaptureSize, CaptureSize> cases[] = {
        {{5120, 2880}, {4096, 2304}}, {{6016, 3384}, {4096, 2304}}, {{5120, 2160}, {4728, 1994}}, {{3840, 2160}, {3840, 2160}},
        {{3024, 1964}, {3024, 1964}}, {{1921, 1081}, {1920, 1080}}, {{1, 1}, {2, 2}}, {{4096, 2304}, {4096, 2304}}, {{0, -5}, {2, 2}},
        {{3, 3'145'728}, {2, 3'145'728}}};  // exactly the largest area: only the odd side changes
    for (const auto& [in, out] : cases) EXPECT_EQ(in.fittedToEncoder(), out) << in.width << "x" << in.height;
    const CaptureSize huge = CaptureSize{int64_t(1) << 40, int64_t(1) << 40}.fittedToEncoder();
    EXPECT_LE(huge.width * huge.height, CaptureSize::maxEncodeArea);
    EXPECT_EQ(huge.width % 2, 0);
}

TEST(CameraFrameRateMatching, PicksTheClosestDurationWithinHalfAFrameAndSkipsBrokenRanges) {
    using R = CameraFrameRate::Range;
    const R wide{MediaTime(1, 30), MediaTime(1, 2)};
    const R ntsc{MediaTime(1001, 30000), MediaTime(1001, 30000)};
    const auto duration = [](std::vector<R> ranges, int64_t rate) { return CameraFrameRate::duration(ranges, rate); };
    EXPECT_EQ(duration({wide}, 30), MediaTime(1, 30));
    EXPECT_EQ(duration({ntsc}, 30), MediaTime(1001, 30000));
    EXPECT_EQ(duration({ntsc, wide}, 30), MediaTime(1, 30));  // the exact rate wins wherever it is
    EXPECT_EQ(duration({R{MediaTime(1, 30), MediaTime(1, 30)}, R{MediaTime(2, 60), MediaTime(2, 60)}}, 30)->timescale(), 30);
    for (const auto& tooFar : {MediaTime(1, 25), MediaTime(1, 60)}) EXPECT_EQ(duration({R{tooFar, tooFar}}, 30), std::nullopt);
    EXPECT_EQ(duration({wide}, 0), std::nullopt);
    EXPECT_EQ(duration({R{MediaTime::invalid(), MediaTime(1, 30)}}, 30), std::nullopt);
    EXPECT_EQ(duration({R{MediaTime(1, 20), MediaTime(1, 40)}}, 30), std::nullopt);
}

TEST(DeviceLabelShortening, CountsCharactersNotBytes) {
    EXPECT_EQ(DeviceLabel::shortName("  ", "Camera"), "Camera");
    EXPECT_EQ(DeviceLabel::shortName(" FaceTime HD 1", "Camera"), " FaceTime HD 1");  // 14: unchanged, untrimmed
    EXPECT_EQ(DeviceLabel::shortName("FaceTime HD 123", "Camera"), "FaceTime HD 1\u2026");
    // 15 characters, several of them two bytes long.
    EXPECT_EQ(DeviceLabel::shortName("Kamera Größeäöü", "Camera"), "Kamera Größeä\u2026");
    // A device that is off never shows its name.
    EXPECT_EQ(DeviceLabel::screen("Built-in", false), "No screen");
    EXPECT_EQ(DeviceLabel::microphone("", true), "Microphone");
}

}  // namespace
}  // namespace brindlow
