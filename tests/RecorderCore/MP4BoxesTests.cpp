#include "MP4Boxes.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "RecorderCore/MP4Fixture.h"

namespace brindlow {
namespace {

using namespace fixture;
using MP4Boxes::Box;

TEST(MP4BoxesScan, EmptyBufferHasNoBoxesDefaultTimescaleAndNoDecodeTime) {
    const Bytes empty;
    EXPECT_TRUE(MP4Boxes::boxes(empty).empty());
    EXPECT_EQ(MP4Boxes::timescale(empty), 30000u);
    EXPECT_EQ(MP4Boxes::decodeTime(empty), std::nullopt);
}

TEST(MP4BoxesScan, ListsConsecutiveTopLevelBoxes) {
    const Bytes data = concat({box("ftyp", Bytes(8, 0)), box("free"), box("mdat", Bytes(3, 1))});
    const auto found = MP4Boxes::boxes(data);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0], (Box{"ftyp", 0, 16, 8}));
    EXPECT_EQ(found[1], (Box{"free", 16, 8, 8}));
    EXPECT_EQ(found[2], (Box{"mdat", 24, 11, 8}));
}

TEST(MP4BoxesScan, SizeZeroRunsToTheEndOfTheScannedRegion) {
    Bytes data = box("free");
    putU32(data, 0);  // size 0
    putType(data, "mdat");
    data.resize(data.size() + 20, 7);
    auto found = MP4Boxes::boxes(data);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1], (Box{"mdat", 8, 28, 8}));
    // With an explicit end it stops there instead.
    found = MP4Boxes::boxes(data, 8, 20);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].size, 12);
}

TEST(MP4BoxesScan, SixtyFourBitSizeIsRead) {
    const Bytes data = concat({largeBox("mdat", Bytes(10, 0)), box("free")});
    const auto found = MP4Boxes::boxes(data);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], (Box{"mdat", 0, 26, 16}));
    EXPECT_EQ(found[1].offset, 26);
}

TEST(MP4BoxesScan, MalformedHeadersStopTheScanKeepingEarlierBoxes) {
    struct Case {
        const char* name;
        Bytes tail;
    };
    Bytes shortLarge;  // size 1 but only 12 bytes left
    putU32(shortLarge, 1);
    putType(shortLarge, "mdat");
    putU32(shortLarge, 0);
    Bytes tinySize;  // 32-bit size 7 (below the header)
    putU32(tinySize, 7);
    putType(tinySize, "free");
    Bytes tinyLarge;  // 64-bit size 15 (below its header)
    putU32(tinyLarge, 1);
    putType(tinyLarge, "free");
    putU64(tinyLarge, 15);
    Bytes hugeLarge;  // 64-bit size >= 2^63 does not fit a signed size
    putU32(hugeLarge, 1);
    putType(hugeLarge, "mdat");
    putU64(hugeLarge, 0x8000000000000000ull);
    Bytes cutOff;  // claims more than remains
    putU32(cutOff, 100);
    putType(cutOff, "mdat");
    cutOff.resize(40, 0);
    Bytes twoSize;  // size 2
    putU32(twoSize, 2);
    putType(twoSize, "free");
    twoSize.resize(16, 0);

    for (const Case& c : {Case{"short 64-bit header", shortLarge}, Case{"size 7", tinySize},
                          Case{"64-bit size 15", tinyLarge}, Case{"64-bit size 2^63", hugeLarge},
                          Case{"cut off", cutOff}, Case{"size 2", twoSize}}) {
        const Bytes data = concat({box("ftyp"), c.tail, box("free")});
        const auto found = MP4Boxes::boxes(data);
        ASSERT_EQ(found.size(), 1u) << c.name;
        EXPECT_EQ(found[0].type, "ftyp") << c.name;
    }
}

TEST(MP4BoxesScan, RangeBeyondTheBufferIsCappedAndNegativeStartFindsNothing) {
    const Bytes data = concat({box("free"), box("skip")});
    EXPECT_EQ(MP4Boxes::boxes(data, 0, 1'000'000).size(), 2u);
    EXPECT_TRUE(MP4Boxes::boxes(data, -8).empty());
    EXPECT_TRUE(MP4Boxes::boxes(data, 100).empty());
    EXPECT_TRUE(MP4Boxes::boxes(data, 8, 4).empty());
}

TEST(MP4BoxesScan, NonUTF8TypeIsReplaced) {
    Bytes data;
    putU32(data, 8);
    data.insert(data.end(), {'m', 0xFF, 'o', 'f'});
    const auto found = MP4Boxes::boxes(data);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, "m\xEF\xBF\xBDof");
}

TEST(MP4BoxesFind, SearchesDepthFirstAndSkipsTracksWithoutThePath) {
    // The first trak lacks mdia; the second one's mdhd must be found.
    const Bytes data = container("moov", {container("trak", {box("tkhd", Bytes(4, 0))}),
                                          container("trak", {container("mdia", {mdhd(0, 90000)})})});
    const auto found = MP4Boxes::find({"moov", "trak", "mdia", "mdhd"}, data);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->type, "mdhd");
    EXPECT_EQ(MP4Boxes::timescale(data), 90000u);
    EXPECT_EQ(MP4Boxes::find({}, data), std::nullopt);
    EXPECT_EQ(MP4Boxes::find({"moov", "mvex"}, data), std::nullopt);
}

TEST(MP4BoxesTimescale, ReadsVersionZeroAndOneAndFallsBack) {
    EXPECT_EQ(MP4Boxes::timescale(initSegment(600)), 600u);
    EXPECT_EQ(MP4Boxes::timescale(container("moov", {container("trak", {container("mdia", {mdhd(1, 48000)})})})),
              48000u);
    EXPECT_EQ(MP4Boxes::timescale(initSegment(0)), 30000u);
    // An mdhd whose payload stops before the timescale field.
    const Bytes cut = container("moov", {container("trak", {container("mdia", {fullBox("mdhd", 0, Bytes(6, 0))})})});
    EXPECT_EQ(MP4Boxes::timescale(cut), 30000u);
    // An mdhd with no payload at all at the very end of the buffer.
    const Bytes empty = container("moov", {container("trak", {container("mdia", {box("mdhd")})})});
    EXPECT_EQ(MP4Boxes::timescale(empty), 30000u);
}

TEST(MP4BoxesDecodeTime, ReadsTheFirstTrackFragment) {
    EXPECT_EQ(MP4Boxes::decodeTime(mediaSegment(0x1'0000'0002ull, 16, 1)), 0x1'0000'0002ull);
    EXPECT_EQ(MP4Boxes::decodeTime(mediaSegment(180000, 16, 0)), 180000u);
    // moof without traf/tfdt gives 0; no moof gives nothing.
    EXPECT_EQ(MP4Boxes::decodeTime(box("moof", box("mfhd", Bytes(8, 0)))), 0u);
    EXPECT_EQ(MP4Boxes::decodeTime(box("mdat", Bytes(8, 0))), std::nullopt);
}

TEST(MP4BoxesDecodeTime, ShortTfdtGivesNothingWithoutReadingPastIt) {
    // Version 1 needs 12 payload bytes; give 8 and put the tfdt at the very end.
    const Bytes v1 = container("moof", {container("traf", {fullBox("tfdt", 1, Bytes(4, 0))})});
    EXPECT_EQ(MP4Boxes::decodeTime(v1), std::nullopt);
    const Bytes v0 = container("moof", {container("traf", {fullBox("tfdt", 0, Bytes(2, 0))})});
    EXPECT_EQ(MP4Boxes::decodeTime(v0), std::nullopt);
    const Bytes bare = container("moof", {container("traf", {box("tfdt")})});
    EXPECT_EQ(MP4Boxes::decodeTime(bare), std::nullopt);
}

TEST(MP4BoxesDecodeTime, SegmentTypeBoxInFrontOfMoof) {
    const Bytes segment = concat({box("styp", Bytes(8, 0)), mediaSegment(3000, 10)});
    EXPECT_EQ(MP4Boxes::decodeTime(segment), 3000u);
    EXPECT_EQ(MP4Boxes::firstMoofOffset(segment), 16);
}

TEST(MP4BoxesFragments, OnlyWholeMoofAndMdatPairsCount) {
    const Bytes init = initSegment(90000);
    const Bytes a = mediaSegment(0, 40), b = mediaSegment(3000, 40), c = mediaSegment(6000, 40);
    const Bytes whole = concat({init, a, b, c});
    const int64_t i = int64_t(init.size()), ab = i + int64_t(a.size() + b.size());
    Bytes endless = concat({init, a, b});  // an mdat sized "to the end", as a torn writer could leave it
    for (uint8_t byte : Bytes{0, 0, 0, 0, 'm', 'd', 'a', 't', 1, 2, 3}) endless.push_back(byte);
    struct Case {
        const char* what;
        Bytes bytes;
        size_t fragments;
    };
    const Case cases[] = {
        {"whole", whole, 3},
        {"cut inside the third moof", Bytes(whole.begin(), whole.begin() + ab + 12), 2},
        {"cut inside the third mdat", Bytes(whole.begin(), whole.end() - 5), 2},
        {"cut at a fragment boundary", Bytes(whole.begin(), whole.begin() + ab), 2},
        {"a moof without its mdat", concat({init, a, Bytes(b.begin(), b.end() - 48)}), 1},
        {"the init segment alone", init, 0},
        {"an mdat sized to the end", endless, 2},
    };
    for (const auto& c : cases) {
        const auto fragments = MP4Boxes::completeFragments(c.bytes, i);
        ASSERT_EQ(fragments.size(), c.fragments) << c.what;
        for (size_t k = 0; k < fragments.size(); ++k) {
            EXPECT_EQ(fragments[k].offset, i + int64_t(k * a.size())) << c.what;
            EXPECT_EQ(fragments[k].end, i + int64_t((k + 1) * a.size())) << c.what;
        }
    }
}

TEST(MP4BoxesFragmentDuration, SumsTheStatedSampleDurations) {
    const Bytes perSample = timedSegment(0, 4, 3000, true);
    EXPECT_EQ(MP4Boxes::fragmentDuration(timedSegment(0, 60, 3000, false)), 180000u);
    EXPECT_EQ(MP4Boxes::fragmentDuration(perSample), 3000u + 3001 + 3002 + 3003);
    EXPECT_EQ(MP4Boxes::fragmentDuration(mediaSegment(0, 40)), std::nullopt) << "no trun states any";
    // A trun claiming more samples than it holds is not read past its end.
    Bytes overstated = perSample;
    const auto trun = std::search(overstated.begin(), overstated.end(), std::begin("trun"), std::end("trun") - 1);
    ASSERT_NE(trun, overstated.end());
    *(trun + 4 + 4 + 2) = 0x10;  // sample_count 4 becomes 4100
    EXPECT_EQ(MP4Boxes::fragmentDuration(overstated), std::nullopt);
}

}  // namespace
}  // namespace brindlow
