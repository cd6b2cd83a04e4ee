#include "MP4Boxes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "RecorderCore/MP4Fixture.h"

namespace brindlow {
namespace {

using namespace fixture;
using MP4Boxes::Box;

// A box header written as is, however wrong: size, type, an optional 64-bit size, then `fill` zero bytes.
Bytes header(uint32_t size, std::string_view type, std::optional<uint64_t> largeSize = {}, size_t fill = 0) {
    Bytes out;
    putU32(out, size);
    putType(out, type);
    if (largeSize) putU64(out, *largeSize);
    out.resize(out.size() + fill, 0);
    return out;
}

TEST(MP4BoxesScan, ListsTopLevelBoxesOfEverySizeForm) {
    const Bytes plain = concat({box("ftyp", Bytes(8, 0)), box("free"), largeBox("mdat", Bytes(10, 0)), box("skip")});
    EXPECT_EQ(MP4Boxes::boxes(plain), (std::vector<Box>{{"ftyp", 0, 16, 8}, {"free", 16, 8, 8}, {"mdat", 24, 26, 16}, {"skip", 50, 8, 8}}));
    // Size 0 runs to the end of the scanned region.
    const Bytes toTheEnd = concat({box("free"), header(0, "mdat", {}, 20)});
    EXPECT_EQ(MP4Boxes::boxes(toTheEnd).at(1), (Box{"mdat", 8, 28, 8}));
    EXPECT_EQ(MP4Boxes::boxes(toTheEnd, 8, 20), (std::vector<Box>{{"mdat", 8, 12, 8}}));
    // A region past the buffer is capped; one starting outside it finds nothing.
    EXPECT_EQ(MP4Boxes::boxes(plain, 0, 1'000'000).size(), 4u);
    EXPECT_TRUE(MP4Boxes::boxes(plain, -8).empty());
    EXPECT_TRUE(MP4Boxes::boxes(plain, 100).empty());
    EXPECT_EQ(MP4Boxes::boxes(header(8, std::string_view("m\xFFof", 4))).at(0).type, "m\xEF\xBF\xBDof");
}

// A corrupt header ends the scan cleanly, keeping the boxes before it.
TEST(MP4BoxesScan, MalformedHeadersStopTheScanKeepingEarlierBoxes) {
    const std::pair<const char*, Bytes> cases[] = {
        {"short 64-bit header", header(1, "mdat", {}, 4)},
        {"size 7", header(7, "free")},
        {"64-bit size 2^63", header(1, "mdat", 0x8000000000000000ull)},
        {"claims more than remains", header(100, "mdat", {}, 32)},
    };
    for (const auto& [name, tail] : cases) {
        const auto found = MP4Boxes::boxes(concat({box("ftyp"), tail, box("free")}));
        ASSERT_EQ(found.size(), 1u) << name;
        EXPECT_EQ(found[0].type, "ftyp") << name;
    }
}

TEST(MP4BoxesHeaders, TimescaleIsFoundDepthFirstAndShortBoxesFallBack) {
    // The first trak lacks mdia; the second one's mdhd must be found.
    const Bytes twoTracks = container("moov", {container("trak", {box("tkhd", Bytes(4, 0))}),
                                               container("trak", {container("mdia", {mdhd(0, 90000)})})});
    EXPECT_EQ(MP4Boxes::find({"moov", "trak", "mdia", "mdhd"}, twoTracks)->type, "mdhd");
    EXPECT_EQ(MP4Boxes::find({"moov", "mvex"}, twoTracks), std::nullopt);
    const auto inTrack = [](const Bytes& mdhdBox) { return container("moov", {container("trak", {container("mdia", {mdhdBox})})}); };
    const std::tuple<const char*, Bytes, uint32_t> cases[] = {
        {"two tracks", twoTracks, 90000},
        {"version 1", inTrack(mdhd(1, 48000)), 48000},
        {"zero: the default", initSegment(0), 30000},
        {"nothing", {}, 30000},
        {"cut before the timescale", inTrack(fullBox("mdhd", 0, Bytes(6, 0))), 30000},
    };
    for (const auto& [name, bytes, timescale] : cases) EXPECT_EQ(MP4Boxes::timescale(bytes), timescale) << name;
}

TEST(MP4BoxesHeaders, DecodeTimeComesFromTheFirstTrackFragmentAndShortOnesGiveNothing) {
    const auto inTraf = [](const Bytes& tfdtBox) { return container("moof", {container("traf", {tfdtBox})}); };
    const std::tuple<const char*, Bytes, std::optional<uint64_t>> cases[] = {
        {"version 1", mediaSegment(0x1'0000'0002ull, 16, 1), 0x1'0000'0002ull},
        {"version 0", mediaSegment(180000, 16, 0), 180000},
        {"after a segment type box", concat({box("styp", Bytes(8, 0)), mediaSegment(3000, 10)}), 3000},
        {"a moof without tfdt", box("moof", box("mfhd", Bytes(8, 0))), 0},
        {"no moof", box("mdat", Bytes(8, 0)), std::nullopt},
        // Short tfdt boxes at the very end of the buffer: nothing is read past them.
        {"short version 1", inTraf(fullBox("tfdt", 1, Bytes(4, 0))), std::nullopt},
    };
    for (const auto& [name, bytes, decodeTime] : cases) EXPECT_EQ(MP4Boxes::decodeTime(bytes), decodeTime) << name;
}

TEST(MP4BoxesFragments, OnlyWholeMoofAndMdatPairsCount) {
    const Bytes init = initSegment(90000);
    const Bytes a = mediaSegment(0, 40), b = mediaSegment(3000, 40), c = mediaSegment(6000, 40);
    const Bytes whole = concat({init, a, b, c});
    const int64_t i = int64_t(init.size()), ab = i + int64_t(a.size() + b.size());
    // An mdat sized "to the end", as a torn writer could leave it.
    const Bytes endless = concat({init, a, b, header(0, "mdat", {}, 3)});
    const std::tuple<const char*, Bytes, size_t> cases[] = {
        {"whole", whole, 3},
        {"cut inside the third moof", Bytes(whole.begin(), whole.begin() + ab + 12), 2},
        {"cut inside the third mdat", Bytes(whole.begin(), whole.end() - 5), 2},
        {"a moof without its mdat", concat({init, a, Bytes(b.begin(), b.end() - 48)}), 1},
        {"the init segment alone", init, 0},
        {"an mdat sized to the end", endless, 2},
    };
    for (const auto& [what, bytes, count] : cases) {
        const auto fragments = MP4Boxes::completeFragments(bytes, i);
        ASSERT_EQ(fragments.size(), count) << what;
        for (size_t k = 0; k < fragments.size(); ++k) {
            EXPECT_EQ(fragments[k].offset, i + int64_t(k * a.size())) << what;
            EXPECT_EQ(fragments[k].end, i + int64_t((k + 1) * a.size())) << what;
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
