#include "Support/MediaTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace brindlow {
namespace {

TEST(MediaTimeArithmetic, IsExactAcrossTimescalesAndRoundsOnlyWhenItMust) {
    EXPECT_EQ(MediaTime(1, 3) + MediaTime(1, 6), MediaTime(1, 2));
    EXPECT_EQ((MediaTime(1, 3) + MediaTime(1, 6)).timescale(), 6);
    EXPECT_EQ(MediaTime(1001, 30000) - MediaTime(1, 30), MediaTime(1, 30000));
    EXPECT_FALSE((MediaTime(1001, 30000) - MediaTime(1, 30)).hasBeenRounded());
    MediaTime sum = MediaTime::zero();
    for (int i = 0; i < 3; ++i) sum += MediaTime(1, 3);
    EXPECT_EQ(sum, MediaTime(1, 1));
    // lcm(1e9, 30) does not fit 32 bits: the finer timescale is kept, rounded.
    const MediaTime r = MediaTime::fromNanoseconds(1'000'000'000) + MediaTime(1, 30);
    EXPECT_EQ(r.timescale(), MediaTime::kNanosecondTimescale);
    EXPECT_EQ(r.value(), 1'033'333'333);
    EXPECT_TRUE(r.hasBeenRounded());
    // Invalid operands and overflow give invalid.
    EXPECT_FALSE((MediaTime::invalid() + MediaTime(1, 1)).isValid());
    EXPECT_FALSE((MediaTime(1, 1) - MediaTime::invalid()).isValid());
    EXPECT_FALSE((MediaTime(std::numeric_limits<int64_t>::max(), 1) + MediaTime(1, 1)).isValid());
    EXPECT_FALSE((-MediaTime(std::numeric_limits<int64_t>::min(), 1)).isValid());
    EXPECT_FALSE(MediaTime(5, 0).isValid());
}

TEST(MediaTimeCompare, OrdersExactlyAcrossTimescales) {
    EXPECT_EQ(MediaTime(2, 4), MediaTime(1, 2));
    EXPECT_LT(MediaTime(1, 3), MediaTime(333'333'334, 1'000'000'000));
    EXPECT_GT(MediaTime(1, 3), MediaTime(333'333'333, 1'000'000'000));
    // Large values that would overflow a 64-bit cross product.
    EXPECT_LT(MediaTime(std::numeric_limits<int64_t>::max() - 1, 1'000'000'000),
              MediaTime(std::numeric_limits<int64_t>::max(), 1'000'000'000));
    EXPECT_LT(MediaTime::invalid(), MediaTime(-1000, 1));
    EXPECT_EQ(MediaTime::invalid(), MediaTime::invalid());
}

TEST(MediaTimeConvert, RoundsHalfAwayFromZero) {
    EXPECT_EQ(MediaTime(1, 2).convertedTo(1).value(), 1);
    EXPECT_EQ(MediaTime(-1, 2).convertedTo(1).value(), -1);
    EXPECT_EQ(MediaTime(3003, 90000).convertedTo(30000).value(), 1001);
    EXPECT_FALSE(MediaTime(3003, 90000).convertedTo(30000).hasBeenRounded());
    EXPECT_FALSE(MediaTime(1, 1).convertedTo(0).isValid());
}

TEST(MediaTimeSeconds, KeepsNanosecondPrecisionForLargeHostTimes) {
    // About 28 hours of uptime: a double still resolves nanoseconds here.
    EXPECT_NEAR(MediaTime::fromNanoseconds(100'000'123'456'789).seconds() - 100'000.0, 0.123456789, 1e-9);
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
    EXPECT_EQ(hostNow().timescale(), 1'000'000'000);
}

}  // namespace
}  // namespace brindlow
