// Upload path costs against brindlow-devserver over loopback:
//  1. throughput of a 1 GiB stream in ~5 MiB ranges, and curl -T putting the same
//     files to signed URLs of the same store, in one process with keep-alive;
//  2. peak RSS after a 100 MiB stream and after a 1 GiB one (memory must stay flat);
//  3. spooling cost: bytes per second through append with uploads held back, next
//     to plain sequential writes of the same sizes.
//
//   UploadBench [MiB]    default 1024

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>

#include "MP4Boxes.h"
#include "RangeUploader.h"
#include "RecorderCore/MP4Fixture.h"
#include "Support/DevServerProcess.h"
#include "Support/Subprocess.h"

using namespace brindlow;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kSegmentBytes = 512 * 1024;

double peakRSSMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

RangeUploader::Limits rangesOfFiveMiB() {
    RangeUploader::Limits limits;
    limits.minRangeSeconds = 0;  // cut on size alone
    return limits;
}

// Feeds `mib` of synthetic fragments (512 KiB each, 2 s apart) to the uploader.
void feed(RangeUploader& uploader, size_t mib) {
    uploader.append({StreamSegment::Kind::initialization, fixture::initSegment(90'000)});
    const size_t count = mib * 1024 * 1024 / kSegmentBytes;
    StreamSegment segment{StreamSegment::Kind::media, fixture::mediaSegment(0, kSegmentBytes - 120)};
    for (size_t i = 0; i < count; ++i) {
        // Rewrite the tfdt (the last 8 bytes before the mdat header) in place: no allocation per segment.
        const auto moof = MP4Boxes::find({"moof"}, segment.data);
        const uint64_t t = uint64_t(i) * 180'000;
        const size_t at = size_t(moof->offset + moof->size) - 8;
        for (int b = 0; b < 8; ++b) segment.data[at + size_t(b)] = uint8_t(t >> (56 - 8 * b));
        uploader.append(segment);
    }
}

// Holds every put until released, so appends only spool.
class HeldPutter : public ObjectPutter {
public:
    void put(const std::string&, const std::filesystem::path&, const std::string&, std::stop_token stop) override { hold(stop); }
    void put(const std::string&, std::string_view, const std::string&, std::stop_token stop) override { hold(stop); }
    void hold(std::stop_token stop) {
        std::unique_lock lock(mutex);
        cv.wait(lock, stop, [] { return false; });
        throw CancellationError();
    }
    std::mutex mutex;
    std::condition_variable_any cv;
};

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? size_t(std::atoi(argv[1])) : 1024;
    testing::DevServerProcess server;
    BrindlowAPI api = server.api("alice");
    auto putter = std::make_shared<HTTPObjectPutter>(server.transport());
    const auto spool = server.dataDir() / "spool";

    // 2 (first half): a small stream sets the baseline of peak memory.
    {
        api.registerRecording("small", {{StreamKey::screen, "video/mp4", 2, 2}}, std::nullopt);
        auto uploader = RangeUploader::make("small", StreamKey::screen, api, putter, spool, rangesOfFiveMiB());
        feed(*uploader, 100);
        uploader->finish();
    }
    const double rssSmall = peakRSSMiB();

    // 1. Throughput.
    api.registerRecording("big", {{StreamKey::screen, "video/mp4", 2, 2}}, std::nullopt);
    auto t0 = Clock::now();
    int64_t bytes = 0;
    {
        auto uploader = RangeUploader::make("big", StreamKey::screen, api, putter, spool, rangesOfFiveMiB());
        feed(*uploader, mib);
        bytes = uploader->finish().value_or(0);
    }
    const double ours = double(bytes) / 1048576.0 / std::chrono::duration<double>(Clock::now() - t0).count();
    const double rssBig = peakRSSMiB();

    // The same bytes as files, PUT by curl to freshly signed URLs of the same store.
    api.registerRecording("curl", {{StreamKey::screen, "video/mp4", 2, 2}}, std::nullopt);
    const auto files = server.dataDir() / "curl-files";
    std::filesystem::create_directories(files);
    const int64_t rangeBytes = 5 * 1024 * 1024;  // ten segments: the cut falls right at 5 MiB
    const int64_t ranges = (bytes + rangeBytes - 1) / rangeBytes;
    std::vector<std::string> urls;
    for (int64_t from = 0; from < ranges; from += 25) {
        const auto batch = api.signRangeURLs("curl", StreamKey::screen, from, std::min<int64_t>(25, ranges - from));
        urls.insert(urls.end(), batch.urls.begin(), batch.urls.end());
    }
    const std::string chunk(size_t(rangeBytes), '\x5a');
    std::ofstream config(files / "curl.conf");
    for (int64_t n = 0; n < ranges; ++n) {
        const auto file = files / (std::to_string(n) + ".mp4");
        std::ofstream(file, std::ios::binary).write(chunk.data(), std::streamsize(std::min<int64_t>(rangeBytes, bytes - n * rangeBytes)));
        config << "upload-file = \"" << file.string() << "\"\nurl = \"" << urls[size_t(n)]
               << "\"\nheader = \"Content-Type: video/mp4\"\noutput = \"/dev/null\"\n" << (n + 1 < ranges ? "next\n" : "");
    }
    config.close();
    t0 = Clock::now();
    const auto result = testing::runCommand({"curl", "-s", "-f", "-K", (files / "curl.conf").string()});
    const double tool = double(bytes) / 1048576.0 / std::chrono::duration<double>(Clock::now() - t0).count();
    if (result.exitCode != 0) std::fprintf(stderr, "curl failed (%d)\n", result.exitCode);
    std::filesystem::remove_all(files);

    // 3. Spooling cost with uploads held back, and plain writes of the same sizes.
    double spooling = 0;
    {
        auto held = std::make_shared<HeldPutter>();
        auto uploader = RangeUploader::make("spool", StreamKey::screen, api, held, spool, rangesOfFiveMiB());
        t0 = Clock::now();
        feed(*uploader, mib);
        spooling = double(mib) / std::chrono::duration<double>(Clock::now() - t0).count();
        uploader->abort();
    }
    double plain = 0;
    {
        const auto file = server.dataDir() / "plain.bin";
        std::vector<char> segment(kSegmentBytes, 'x');
        t0 = Clock::now();
        std::FILE* out = std::fopen(file.c_str(), "wb");
        for (size_t i = 0; i < mib * 1024 * 1024 / kSegmentBytes; ++i) std::fwrite(segment.data(), 1, segment.size(), out);
        std::fclose(out);
        plain = double(mib) / std::chrono::duration<double>(Clock::now() - t0).count();
        std::filesystem::remove(file);
    }

    std::printf("upload of %zu MiB in %lld ranges of about 5 MiB over loopback\n", mib, (long long)ranges);
    std::printf("  RangeUploader: %8.1f MB/s\n  curl -T:       %8.1f MB/s\n  ratio:         %8.2f\n", ours, tool, ours / tool);
    std::printf("peak RSS: %.1f MiB after 100 MiB, %.1f MiB after %zu MiB (difference %.1f MiB)\n", rssSmall, rssBig, mib,
                rssBig - rssSmall);
    std::printf("spooling through append: %.0f MiB/s; plain writes of the same sizes: %.0f MiB/s (ratio %.2f)\n",
                spooling, plain, spooling / plain);
    return 0;
}
