#include "FragmentIndex.h"

#include <gtest/gtest.h>

#include "RecorderCore/MP4Fixture.h"

namespace brindlow {
namespace {

using namespace fixture;

TEST(FragmentIndexJSON, KeysAreInTheFixedOrderAndEveryOneIsARequiredInteger) {
    const FragmentIndex index{100, 600, {{100, 400, 0}, {500, 300, 600}}, 800};
    EXPECT_EQ(index.encoded(),
              R"({"initLength":100,"timescale":600,"entries":[{"offset":100,"length":400,"decodeTime":0},)"
              R"({"offset":500,"length":300,"decodeTime":600}],"totalBytes":800})");
    EXPECT_EQ(FragmentIndex::fromJSON(nlohmann::json::parse(index.encoded())), index);
    const std::string good =
        R"({"initLength":1,"timescale":2,"entries":[{"offset":3,"length":4,"decodeTime":5}],"totalBytes":6})";
    EXPECT_NO_THROW(FragmentIndex::fromJSON(nlohmann::json::parse(good)));
    for (const char* key : {"initLength", "timescale", "entries", "totalBytes", "offset", "length", "decodeTime"}) {
        auto j = nlohmann::json::parse(good);
        if (j.contains(key)) j.erase(key);
        else j["entries"][0].erase(key);
        EXPECT_THROW(FragmentIndex::fromJSON(j), nlohmann::json::exception) << key;
    }
    for (const char* bad : {R"({"initLength":1.5,"timescale":2,"entries":[],"totalBytes":6})",
                            R"({"initLength":1,"timescale":-2,"entries":[],"totalBytes":6})",
                            R"({"initLength":1,"timescale":4294967296,"entries":[],"totalBytes":6})",
                            R"({"initLength":1,"timescale":2,"entries":[7],"totalBytes":6})"}) {
        EXPECT_THROW(FragmentIndex::fromJSON(nlohmann::json::parse(bad)), nlohmann::json::exception) << bad;
    }
}

TEST(FragmentIndexEntry, StartsAtTheMoofAndFallsBackToTheLatestDecodeTime) {
    const Bytes plain = mediaSegment(1800, 100);
    const Bytes withStyp = concat({box("styp", Bytes(8, 0)), plain});
    EXPECT_EQ(FragmentIndex::entryFor(withStyp, 1000, 0),
              (FragmentIndex::Entry{1016, int64_t(plain.size()), 1800}));

    const Bytes noMoof = box("mdat", Bytes(20, 0));
    EXPECT_EQ(FragmentIndex::entryFor(noMoof, 50, 777), (FragmentIndex::Entry{50, 28, 777}));
}

}  // namespace
}  // namespace brindlow
