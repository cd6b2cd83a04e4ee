#include "RecorderFormat.h"

#include <gtest/gtest.h>

#include <cmath>

namespace brindlow {
namespace {

TEST(RecorderFormat, ClockCutsFractionsAndAddsHoursFromOneHourOn) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"},         {59.99, "0:59"},      {754, "12:34"},       {3599.999, "59:59"},
        {3725, "1:02:05"},   {36000, "10:00:00"},  {-4, "0:00"},         {std::nan(""), "0:00"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(RecorderFormat::clock(seconds), text) << seconds;
}

TEST(RecorderFormat, ByteCountsInDecimalFileUnits) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0 bytes"},  {1, "1 byte"},       {1499, "1 KB"},      {1500, "2 KB"},      {999'500, "1 MB"},
        {70'200'000, "70.2 MB"}, {70'000'000, "70 MB"}, {999'960'000, "1 GB"}, {1'250'000'000, "1.25 GB"},
        {-5, "0 bytes"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(RecorderFormat::byteCount(bytes), text) << bytes;
}

// Its text is the recording screen's to check.
TEST(RecorderFormat, BacklogNoticeOnlyAboveSixtyFourMebibytes) {
    EXPECT_FALSE(RecorderFormat::backlogNotice(67'108'864));
    EXPECT_TRUE(RecorderFormat::backlogNotice(67'108'865));
}

TEST(RecorderFormat, DisplayEntryShowsTheSizeTheEncoderIsGiven) {
    EXPECT_EQ(RecorderFormat::displayEntry("Studio", {5120, 2880}), "Studio \u00b7 4096\u00d72304");
    EXPECT_EQ(RecorderFormat::displayEntry("Odd", {1367, 769}), "Odd \u00b7 1366\u00d7768");
    EXPECT_EQ(RecorderFormat::displayEntry("Screen", {0, 0}), "Screen") << "a portal's share, size not yet known";
}

}  // namespace
}  // namespace brindlow
