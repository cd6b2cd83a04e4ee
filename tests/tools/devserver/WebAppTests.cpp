// The web app's routes over HTTP: a take's streams served with Range, refusals,
// and the recordings' statuses.

#include <gtest/gtest.h>

#include "RecordedTakes.h"

namespace brindlow {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::eventually;

class WebAppTest : public ::testing::Test {
protected:
    testing::RecordedTakes takes;
};

TEST_F(WebAppTest, TheStreamRouteServesTheStoredRangesAsOneFileWithRanges) {
    auto recorder = takes.session(takes.screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(2500ms);
    const auto saved = recorder->stop();
    recorder->releaseSources();
    const std::string stored = takes.storedStream(aid, "screen");
    const auto firstRange = std::filesystem::file_size(takes.server.dataDir() / "objects" / aid / "screen" / "0.mp4");
    ASSERT_LT(firstRange, stored.size()) << "the take should span several ranges";
    const int64_t size = int64_t(stored.size());
    const int64_t boundary = int64_t(firstRange);

    struct Case {
        const char* name;
        std::string range;
        int status;
        int64_t first = 0, last = 0;  // the bytes expected, for 200 and 206
    };
    const std::vector<Case> cases{
        {"whole", "", 200, 0, size - 1},
        {"across the first range's end", "bytes=" + std::to_string(boundary - 10) + "-" + std::to_string(boundary + 9), 206,
         boundary - 10, boundary + 9},
        {"open-ended", "bytes=" + std::to_string(size - 100) + "-", 206, size - 100, size - 1},
        {"suffix", "bytes=-64", 206, size - 64, size - 1},
        {"suffix longer than the stream", "bytes=-" + std::to_string(size + 5), 206, 0, size - 1},
        {"last byte past the end", "bytes=5-" + std::to_string(size + 1000), 206, 5, size - 1},
        {"first byte at the end", "bytes=" + std::to_string(size) + "-", 416},
        {"empty suffix", "bytes=-0", 416},
        {"letters", "bytes=abc", 400},
        {"reversed", "bytes=9-3", 400},
        {"another unit", "items=0-1", 400},
        {"two ranges", "bytes=0-1,4-5", 400},
        {"no dash", "bytes=12", 400},
        {"overflowing", "bytes=99999999999999999999-", 400},
    };
    for (const auto& id : {aid, *saved.folderId}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " via " + id);
            auto client = takes.web();
            httplib::Headers headers;
            if (!c.range.empty()) headers.emplace("Range", c.range);
            const auto res = client.Get(("/screen-recorder/media/" + id + "/screen").c_str(), headers);
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, c.status);
            EXPECT_EQ(res->get_header_value("Accept-Ranges"), "bytes");
            if (c.status == 200 || c.status == 206) {
                EXPECT_EQ(res->body.size(), size_t(c.last - c.first + 1));
                EXPECT_TRUE(res->body == stored.substr(size_t(c.first), size_t(c.last - c.first + 1)));
            }
            const std::string expectedRange =
                c.status == 206   ? "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/" + std::to_string(size)
                : c.status == 416 ? "bytes */" + std::to_string(size)
                                  : "";
            EXPECT_EQ(res->get_header_value("Content-Range"), expectedRange);
        }
    }
    // The description's ranges lie end to end over the same bytes.
    auto client = takes.web();
    const auto described = client.Get(("/screen-recorder/api/takes/" + aid).c_str());
    ASSERT_TRUE(described);
    const json take = json::parse(described->body);
    EXPECT_EQ(take.at("status"), "saved");
    EXPECT_NEAR(take.at("durationSeconds").get<double>(), saved.durationSeconds, 1e-6);
    const json& screen = take.at("streams").at(0);
    EXPECT_EQ(screen.at("bytes"), size);
    int64_t offset = 0;
    for (const auto& r : screen.at("ranges")) {
        EXPECT_EQ(r.at("offset"), offset);
        offset += r.at("size").get<int64_t>();
    }
    EXPECT_EQ(offset, size);
    EXPECT_EQ(screen.at("index").at("totalBytes"), size);
    EXPECT_EQ(screen.at("codecs").get<std::string>().rfind("avc1.", 0), 0u) << screen.at("codecs");
}

TEST_F(WebAppTest, UnknownIdsAndStreamsAreRefused) {
    auto recorder = takes.session(takes.screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(800ms);
    recorder->stop();
    recorder->releaseSources();
    struct Case {
        std::string path;
        int status;
    };
    for (const Case& c : std::vector<Case>{
             {"/screen-recorder/view/no-such-take", 404},
             {"/screen-recorder/view/" + aid, 200},
             {"/screen-recorder/view/%2e%2e%2fsecret", 404},
             {"/screen-recorder/api/takes/no-such-take", 404},
             {"/screen-recorder/api/takes/" + aid + "/cursor", 404},
             {"/screen-recorder/media/" + aid + "/camera", 404},
             {"/screen-recorder/media/" + aid + "/..%2f..%2fsecret", 404},
             {"/screen-recorder/media/no-such-take/screen", 404},
             {"/_web/view.js", 200},
             {"/_web/..%2fDevServer.cpp", 404},
         }) {
        auto client = takes.web();
        const auto res = client.Get(c.path.c_str());
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.path;
    }
}

TEST(WebAppLibrary, EachTakeShowsItsStatusNewestFirst) {
    testing::RecordedTakes takes({"--stale-seconds", "1"});
    const auto aids = testing::recordSavedDiscardedAndFailed(takes);  // oldest first
    json listed;
    const bool settled = eventually([&] {
        auto client = takes.web();
        const auto res = client.Get("/screen-recorder/api/takes");
        if (!res || res->status != 200) return false;
        listed = json::parse(res->body).at("takes");
        return listed.size() == 3 && listed.at(0).at("status") == "uploadFailed";
    });
    ASSERT_TRUE(settled) << listed.dump();
    EXPECT_EQ(listed.at(0).at("aid"), aids[2]);
    EXPECT_EQ(listed.at(1).at("aid"), aids[1]);
    EXPECT_EQ(listed.at(1).at("status"), "discarded");
    EXPECT_EQ(listed.at(2).at("aid"), aids[0]);
    EXPECT_EQ(listed.at(2).at("status"), "saved");
    EXPECT_EQ(listed.at(2).at("url").get<std::string>().rfind("/screen-recorder/view/f-", 0), 0u);
    EXPECT_EQ(listed.at(0).at("url"), "/screen-recorder/view/" + aids[2]);
}

}  // namespace
}  // namespace brindlow
