// The web app's routes over HTTP: a take's streams served with Range, refusals,
// and the recordings' statuses.

#include <gtest/gtest.h>
#include <httplib.h>

#include "Support/AtomicFile.h"
#include "Support/FakeSources.h"
#include "Support/TakeRig.h"

namespace brindlow {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

httplib::Result webGet(const testing::DevServerProcess& server, const std::string& path, const std::string& range = {}) {
    httplib::Client client("127.0.0.1", server.port("web"));
    client.set_read_timeout(10, 0);
    httplib::Headers headers;
    if (!range.empty()) headers.emplace("Range", range);
    return client.Get(path.c_str(), headers);
}

std::shared_ptr<CaptureSource> movingScreen() { return std::make_shared<testing::FakeVideoSource>(CaptureSize{320, 240}, 30); }

TEST(WebApp, ServesATakesStreamWithRangesAndRefusesWhatItDoesNotHold) {
    testing::TakeRig rig;
    rig.options.limits.minRangeBytes = 512;
    rig.options.limits.minRangeSeconds = 0.5;
    const std::string aid = testing::TakeRig::recordFor(*rig.session(movingScreen()), 2500ms);
    const std::string stored = readFile(rig.stored(aid, "screen")).value_or("");
    const auto firstRange = std::filesystem::file_size(rig.server.dataDir() / "objects" / aid / "screen" / "0.mp4");
    ASSERT_LT(firstRange, stored.size()) << "the take should span several ranges";
    const int64_t size = int64_t(stored.size()), boundary = int64_t(firstRange);
    const auto described = webGet(rig.server, "/screen-recorder/api/takes/" + aid);
    ASSERT_TRUE(described && described->status == 200);
    const json take = json::parse(described->body);

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
        {"letters", "bytes=a-9", 400},
        {"reversed", "bytes=9-3", 400},
        {"another unit", "items=0-1", 400},
        {"two ranges", "bytes=0-1,4-5", 400},
        {"no dash", "bytes=12", 400},
        {"overflowing", "bytes=99999999999999999999-", 400},
    };
    for (const std::string& id : {aid, take.at("folderId").get<std::string>()}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " via " + id);
            const auto res = webGet(rig.server, "/screen-recorder/media/" + id + "/screen", c.range);
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, c.status);
            EXPECT_EQ(res->get_header_value("Accept-Ranges"), "bytes");
            if (c.status == 200 || c.status == 206) {
                EXPECT_TRUE(res->body == stored.substr(size_t(c.first), size_t(c.last - c.first + 1)));
            }
            const std::string expectedRange =
                c.status == 206   ? "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/" + std::to_string(size)
                : c.status == 416 ? "bytes */" + std::to_string(size)
                                  : "";
            EXPECT_EQ(res->get_header_value("Content-Range"), expectedRange);
        }
    }
    for (const auto& [path, status] : std::vector<std::pair<std::string, int>>{
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
        const auto res = webGet(rig.server, path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, status) << path;
    }
    // The description's ranges lie end to end over the same bytes.
    EXPECT_EQ(take.at("status"), "saved");
    const json& stream = take.at("streams").at(0);
    int64_t offset = 0;
    for (const auto& r : stream.at("ranges")) {
        EXPECT_EQ(r.at("offset"), offset);
        offset += r.at("size").get<int64_t>();
    }
    EXPECT_EQ(offset, size);
    EXPECT_EQ(stream.at("bytes"), size);
    EXPECT_EQ(stream.at("index").at("totalBytes"), size);
    EXPECT_EQ(stream.at("codecs").get<std::string>().rfind("avc1.", 0), 0u) << stream.at("codecs");
}

TEST(WebAppLibrary, EachTakeShowsItsStatusNewestFirst) {
    testing::TakeRig rig;
    // The rig's takes go to a server that calls an unclosed take failed after a quiet second.
    const testing::DevServerProcess server({"--stale-seconds", "1"});
    rig.api = server.api();
    rig.options.limits.maxAttempts = 1;
    std::vector<std::string> aids;  // oldest first
    aids.push_back(testing::TakeRig::recordFor(*rig.session(movingScreen()), 800ms));
    auto discarded = rig.session(movingScreen());
    discarded->prepare();
    aids.push_back(discarded->begin());
    std::this_thread::sleep_for(600ms);
    discarded->restart();
    discarded->cancel();
    auto failed = rig.session(movingScreen());
    failed->prepare();
    server.setFault({{"route", "put"}, {"status", 500}});
    aids.push_back(failed->begin());
    std::this_thread::sleep_for(800ms);
    EXPECT_THROW(failed->stop(), std::exception);

    // The failed take shows as failed once it has been quiet for a second.
    json listed;
    for (int tries = 0; tries < 200 && (listed.size() < 3 || listed.at(0).at("status") != "uploadFailed"); ++tries) {
        std::this_thread::sleep_for(50ms);
        if (const auto res = webGet(server, "/screen-recorder/api/takes"); res && res->status == 200)
            listed = json::parse(res->body).at("takes");
    }
    ASSERT_EQ(listed.size(), 3u) << listed.dump();
    std::vector<std::pair<std::string, std::string>> statuses;
    for (const auto& take : listed) statuses.emplace_back(take.at("aid"), take.at("status"));
    EXPECT_EQ(statuses, (decltype(statuses){{aids[2], "uploadFailed"}, {aids[1], "discarded"}, {aids[0], "saved"}}));
    EXPECT_EQ(listed.at(2).at("url"), "/screen-recorder/view/" + listed.at(2).at("folderId").get<std::string>());
    EXPECT_EQ(listed.at(0).at("url"), "/screen-recorder/view/" + aids[2]);
}

}  // namespace
}  // namespace brindlow
