#include <gtest/gtest.h>

#include "CameraFrameRate.h"
#include "CaptureSource.h"

namespace brindlow {
namespace {

TEST(CaptureSizeFitting, KeepsSizesWithinTheAreaAndMakesThemEven) {
    struct Case {
        CaptureSize in, out;
    };
    for (const Case& c : {Case{{5120, 2880}, {4096, 2304}}, Case{{6016, 3384}, {4096, 2304}},
                          Case{{5120, 2160}, {4728, 1994}}, Case{{3840, 2160}, {3840, 2160}},
                          Case{{3024, 1964}, {3024, 1964}}, Case{{1921, 1081}, {1920, 1080}},
                          Case{{1, 1}, {2, 2}}, Case{{4096, 2304}, {4096, 2304}}, Case{{0, -5}, {2, 2}}}) {
        EXPECT_EQ(c.in.fittedToEncoder(), c.out) << c.in.width << "x" << c.in.height;
    }
}

TEST(CaptureSizeFitting, ExactlyMaximumAreaIsOnlyMadeEven) {
    // 3 x 3,145,728 = 9,437,184: not scaled, odd side rounded down.
    EXPECT_EQ((CaptureSize{3, 3'145'728}.fittedToEncoder()), (CaptureSize{2, 3'145'728}));
}

TEST(CaptureSizeFitting, HugeSizesDoNotOverflow) {
    const CaptureSize fitted = CaptureSize{int64_t(1) << 40, int64_t(1) << 40}.fittedToEncoder();
    EXPECT_LE(fitted.width * fitted.height, CaptureSize::maxEncodeArea);
    EXPECT_EQ(fitted.width % 2, 0);
}

TEST(CameraFrameRateMatching, PicksTheClosestDurationWithinHalfAFrame) {
    using R = CameraFrameRate::Range;
    const R wide{MediaTime(1, 30), MediaTime(1, 2)};
    const R ntsc{MediaTime(1001, 30000), MediaTime(1001, 30000)};
    const R pal{MediaTime(1, 25), MediaTime(1, 25)};
    const R fast{MediaTime(1, 60), MediaTime(1, 60)};
    EXPECT_EQ(CameraFrameRate::duration(std::vector{wide}, 30), MediaTime(1, 30));
    EXPECT_EQ(CameraFrameRate::duration(std::vector{ntsc}, 30), MediaTime(1001, 30000));
    EXPECT_EQ(CameraFrameRate::duration(std::vector{pal}, 30), std::nullopt);
    EXPECT_EQ(CameraFrameRate::duration(std::vector{fast}, 30), std::nullopt);
    // The exact 30 beats 29.97 whichever comes first; a tie keeps the earlier.
    EXPECT_EQ(CameraFrameRate::duration(std::vector{ntsc, wide}, 30), MediaTime(1, 30));
    EXPECT_EQ((CameraFrameRate::duration(std::vector{R{MediaTime(1, 30), MediaTime(1, 30)},
                                                     R{MediaTime(2, 60), MediaTime(2, 60)}},
                                         30)
                   ->timescale()),
              30);
}

TEST(CameraFrameRateMatching, SkipsBrokenRangesAndRates) {
    using R = CameraFrameRate::Range;
    const std::vector good{R{MediaTime(1, 30), MediaTime(1, 30)}};
    EXPECT_EQ(CameraFrameRate::duration(good, 0), std::nullopt);
    EXPECT_EQ(CameraFrameRate::duration(good, int64_t(1) << 31), std::nullopt);
    EXPECT_EQ(CameraFrameRate::duration(std::vector{R{MediaTime::invalid(), MediaTime(1, 30)}}, 30), std::nullopt);
    EXPECT_EQ(CameraFrameRate::duration(std::vector{R{MediaTime(0, 30), MediaTime(1, 30)}}, 30), std::nullopt);
    EXPECT_EQ(CameraFrameRate::duration(std::vector{R{MediaTime(1, 20), MediaTime(1, 40)}}, 30), std::nullopt);
}

TEST(DeviceLabelShortening, CountsCharactersNotBytes) {
    EXPECT_EQ(DeviceLabel::shortName("  ", "Camera"), "Camera");
    EXPECT_EQ(DeviceLabel::shortName(std::nullopt, "Camera"), "Camera");
    EXPECT_EQ(DeviceLabel::shortName(" FaceTime HD 1", "Camera"), " FaceTime HD 1");  // 14: unchanged, untrimmed
    EXPECT_EQ(DeviceLabel::shortName("FaceTime HD 123", "Camera"), "FaceTime HD 1\u2026");
    // 15 characters, several of them two bytes long.
    EXPECT_EQ(DeviceLabel::shortName("Kamera Größeäöü", "Camera"), "Kamera Größeä\u2026");
    EXPECT_EQ(DeviceLabel::shortName("Mikrofón Über1", "Microphone"), "Mikrofón Über1");
    // A combining accent stays with its letter.
    EXPECT_EQ(DeviceLabel::shortName("Cafe\u0301 Camera 12345", "Camera"), "Cafe\u0301 Camera 1\u2026");
}

TEST(DeviceLabelShortening, OffDevicesReadAsFixedTexts) {
    EXPECT_EQ(DeviceLabel::screen("Built-in", true), "Built-in");
    EXPECT_EQ(DeviceLabel::screen(std::nullopt, true), "Screen");
    EXPECT_EQ(DeviceLabel::screen("Built-in", false), "No screen");
    EXPECT_EQ(DeviceLabel::camera(std::nullopt, true), "Camera");
    EXPECT_EQ(DeviceLabel::camera("X", false), "No camera");
    EXPECT_EQ(DeviceLabel::microphone("", true), "Microphone");
    EXPECT_EQ(DeviceLabel::microphone("X", false), "No mic");
}

}  // namespace
}  // namespace brindlow
