#include "RecorderError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "StreamKey.h"

namespace brindlow {
namespace {

TEST(RecorderErrors, CarryTheirDetailAndCompareByCaseAndDetail) {
    EXPECT_STREQ(RecorderError::uploadFailed("no signed URL for range 3").what(),
                 "We couldn't upload your recording (no signed URL for range 3).");
    EXPECT_EQ(std::string(RecorderError::permissionDenied("a camera").what()).rfind("Brindlow needs a camera permission.", 0), 0u);
    EXPECT_EQ(RecorderError::uploadFailed("a"), RecorderError::uploadFailed("a"));
    EXPECT_FALSE(RecorderError::uploadFailed("a") == RecorderError::uploadFailed("b"));
    EXPECT_FALSE(RecorderError::uploadFailed("x") == RecorderError::encoderUnavailable("x"));
}

TEST(StreamKeyCoding, AcceptsOnlyTheExactRawValues) {
    for (const auto& bad : {nlohmann::json("Screen"), nlohmann::json("microphone"), nlohmann::json(1)})
        EXPECT_THROW(bad.get<StreamKey>(), nlohmann::json::exception) << bad;
}

}  // namespace
}  // namespace brindlow
