#include "RecorderError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "StreamKey.h"

namespace brindlow {
namespace {

TEST(RecorderErrorMessages, AreTheExactUserFacingTexts) {
    EXPECT_STREQ(RecorderError::encoderUnavailable("writer failed").what(),
                 "The video encoder could not start (writer failed).");
    EXPECT_STREQ(RecorderError::permissionDenied("a screen or a camera").what(),
                 "Brindlow needs a screen or a camera permission. Turn it on in System Settings "
                 "\xE2\x86\x92 Privacy & Security.");
    EXPECT_STREQ(RecorderError::uploadFailed("no signed URL for range 3").what(),
                 "We couldn't upload your recording (no signed URL for range 3).");
    EXPECT_STREQ(RecorderError::unsupportedCameraFormat().what(),
                 "This camera has no supported recording format. Choose another camera or turn the camera off.");
    EXPECT_STREQ(RecorderError::nothingRecorded().what(), "The recording came out empty. Please try again.");
    EXPECT_STREQ(RecorderError::notSignedIn().what(), "You're signed out. Sign in to record.");
    EXPECT_STREQ(RecorderError::lowDiskSpace().what(), "Your disk is almost full. Free up some space and try again.");
}

TEST(RecorderErrorMessages, EmptyDetailLeavesEmptyParentheses) {
    EXPECT_STREQ(RecorderError::encoderUnavailable("").what(), "The video encoder could not start ().");
    EXPECT_STREQ(RecorderError::uploadFailed("").what(), "We couldn't upload your recording ().");
}

TEST(RecorderErrorEquality, NeedsTheSameCaseAndPayload) {
    EXPECT_EQ(RecorderError::notSignedIn(), RecorderError::notSignedIn());
    EXPECT_EQ(RecorderError::uploadFailed("a"), RecorderError::uploadFailed("a"));
    EXPECT_FALSE(RecorderError::uploadFailed("a") == RecorderError::uploadFailed("b"));
    EXPECT_FALSE(RecorderError::uploadFailed("x") == RecorderError::encoderUnavailable("x"));
}

TEST(StreamKeyCoding, AcceptsOnlyTheExactRawValues) {
    EXPECT_EQ(streamKeyFromRaw("screen"), StreamKey::screen);
    EXPECT_EQ(streamKeyFromRaw("camera"), StreamKey::camera);
    EXPECT_EQ(streamKeyFromRaw("Screen"), std::nullopt);
    EXPECT_EQ(streamKeyFromRaw("microphone"), std::nullopt);
    EXPECT_EQ(nlohmann::json(StreamKey::camera).dump(), "\"camera\"");
    EXPECT_EQ(nlohmann::json("screen").get<StreamKey>(), StreamKey::screen);
    EXPECT_THROW(nlohmann::json("Screen").get<StreamKey>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json(1).get<StreamKey>(), nlohmann::json::exception);
    EXPECT_EQ(kAllStreamKeys[0], StreamKey::screen);
}

}  // namespace
}  // namespace brindlow
