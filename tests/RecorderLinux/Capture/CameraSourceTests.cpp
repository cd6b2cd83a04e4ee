#include "Capture/CameraSource.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <unistd.h>
#include <thread>

#include "Capture/CameraCapture.h"
#include "RecorderError.h"
#include "Support/AtomicFile.h"
#include "Support/FakeCamera.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakeCamera;
using testing::FakeMode;
using testing::at25;
using testing::at2997;
using testing::at30;
using testing::at60;
using testing::yuyv;

CameraDevice fakeDevice() { return {"usb-Fake_Cam-video-index0", "Fake Cam", "/dev/video0"}; }

TEST(CameraFormatChoice, LargestAt30UpTo4KFirstOfEqualAreas) {
    FakeCamera camera;
    camera.modes = {{V4L2_PIX_FMT_YUYV, 640, 480, {at30, at60}, {}},
                    {V4L2_PIX_FMT_YUYV, 1280, 720, {at2997}, {}},
                    {V4L2_PIX_FMT_MJPEG, 1280, 720, {at30}, {}},
                    {V4L2_PIX_FMT_MJPEG, 4096, 2160, {at30}, {}},
                    {V4L2_PIX_FMT_MJPEG, 1920, 1080, {at25, at60}, {}},
                    {v4l2_fourcc('H', '2', '6', '4'), 3840, 2160, {at30}, {}}};
    const auto best = CameraSource::bestFormat(CameraSource::formats(camera, "/dev/video0"));
    ASSERT_TRUE(best);
    EXPECT_EQ(best->fourcc, uint32_t(V4L2_PIX_FMT_YUYV));  // before the MJPEG of the same area
    EXPECT_EQ(best->width, 1280);
    EXPECT_EQ(camera.openCount, camera.closeCount);

    // A continuous span of intervals that covers 1/30 s qualifies; 4K exactly is allowed.
    camera.modes = {{V4L2_PIX_FMT_MJPEG, 3840, 2160, {}, v4l2_frmival_stepwise{{1, 60}, {1, 5}, {1, 60}}}};
    const auto uhd = CameraSource::bestFormat(CameraSource::formats(camera, "/dev/video0"));
    ASSERT_TRUE(uhd);
    EXPECT_EQ(uhd->width, 3840);
}

TEST(CameraFormatChoice, ARangeOfSizesBeyond4KStillOffersTheCommonSizesInIt) {
    FakeCamera camera;
    struct Case {
        v4l2_frmsize_stepwise range;
        std::optional<std::pair<int, int>> best;
    };
    const Case cases[] = {
        {{160, 5120, 8, 120, 2880, 8}, std::pair{3840, 2160}},  // beyond 4K: the largest common size in it
        {{160, 1600, 1, 120, 1200, 1}, std::pair{1600, 1200}},  // its own largest fits
        {{160, 5120, 7, 120, 2880, 7}, std::nullopt},           // no common size on its grid, the largest too big
    };
    for (const auto& c : cases) {
        camera.sizeRanges = {{V4L2_PIX_FMT_YUYV, c.range}};
        const auto best = CameraSource::bestFormat(CameraSource::formats(camera, "/dev/video0"));
        ASSERT_EQ(best.has_value(), c.best.has_value()) << c.range.max_width;
        if (best) {
            EXPECT_EQ(std::pair(best->width, best->height), *c.best);
        }
    }
}

TEST(CameraFormatChoice, OnlyTwentyFiveOrSixtyMeansNoFormatAndNoStart) {
    auto camera = std::make_shared<FakeCamera>();
    camera->modes = {{V4L2_PIX_FMT_YUYV, 1280, 720, {at25}, {}}, {V4L2_PIX_FMT_MJPEG, 1920, 1080, {at60}, {}}};
    CameraSource source(fakeDevice(), camera);
    EXPECT_FALSE(source.videoSize());
    try {
        source.start([](const SampleBuffer&) {});
        FAIL() << "started";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error, RecorderError::unsupportedCameraFormat());
    }
    source.stop();
}

class CameraRecording : public ::testing::Test {
protected:
    std::vector<SampleBuffer> capture(CameraSource& source, size_t count) {
        std::mutex mutex;
        std::condition_variable arrived;
        std::vector<SampleBuffer> frames;
        source.start([&](const SampleBuffer& b) {
            std::lock_guard lock(mutex);
            frames.push_back(b);
            arrived.notify_all();
        });
        {
            std::unique_lock lock(mutex);
            arrived.wait_for(lock, 10s, [&] { return frames.size() >= count; });
        }
        source.stop();
        std::lock_guard lock(mutex);
        return frames;
    }
    static std::array<int, 3> yuv(const SampleBuffer& b) {
        const VideoFrame& f = *b.videoFrame();
        return {f.lumaPlane()[0], f.chromaPlane()[0], f.chromaPlane()[1]};
    }
    std::shared_ptr<FakeCamera> camera = std::make_shared<FakeCamera>();
};

TEST_F(CameraRecording, YUYVArrivesAsNV12WithTheDriversStamps) {
    camera->modes = {{V4L2_PIX_FMT_YUYV, 64, 32, {at30}, {}}};
    camera->picture = yuyv(64, 32, 81, 90, 240);
    CameraSource source(fakeDevice(), camera);
    ASSERT_EQ(source.videoSize(), (CaptureSize{64, 32}));
    const auto frames = capture(source, 5);
    ASSERT_GE(frames.size(), 5u);
    std::lock_guard lock(camera->mutex);
    EXPECT_EQ(camera->applied.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(camera->appliedInterval.numerator, 1u);
    EXPECT_EQ(camera->appliedInterval.denominator, 30u);
    EXPECT_FALSE(camera->streaming);
    EXPECT_EQ(camera->openCount, camera->closeCount);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(yuv(frames[i]), (std::array<int, 3>{81, 90, 240}));
        EXPECT_EQ(frames[i].duration(), MediaTime(1, 30));
        const auto& t = camera->stamps[i];
        EXPECT_EQ(frames[i].presentationTime(),
                  MediaTime::fromNanoseconds(int64_t(t.tv_sec) * 1'000'000'000 + int64_t(t.tv_usec) * 1000));
    }
}

TEST_F(CameraRecording, JPEGPicturesAreDecodedAndCorruptOnesSkipped) {
    const auto dir = fs::temp_directory_path() / ("brindlow-camera-" + randomUUID());
    fs::create_directories(dir);
    const auto jpeg = dir / "red.jpg";
    ASSERT_EQ(testing::runCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=red:s=64x32", "-frames:v",
                                   "1", "-pix_fmt", "yuvj422p", "-y", jpeg.string()})
                  .exitCode,
              0);
    camera->modes = {{V4L2_PIX_FMT_MJPEG, 64, 32, {at30}, {}}};
    camera->picture = *readFile(jpeg);
    fs::remove_all(dir);
    CameraSource source(fakeDevice(), camera);
    const auto frames = capture(source, 3);
    ASSERT_GE(frames.size(), 3u);
    // JPEG's full-range red (76, 85, 255) mapped to video range.
    const auto red = yuv(frames[0]);
    EXPECT_NEAR(red[0], 81, 2);
    EXPECT_NEAR(red[1], 90, 2);
    EXPECT_NEAR(red[2], 240, 2);

    camera->picture = "\xff\xd8 not a picture";
    CameraSource broken(fakeDevice(), camera);
    std::atomic<int> delivered{0};
    broken.start([&](const SampleBuffer&) { ++delivered; });
    std::this_thread::sleep_for(100ms);
    broken.stop();
    EXPECT_EQ(delivered.load(), 0);
}

TEST_F(CameraRecording, FramesLastTheIntervalTheDriverSettledOn) {
    camera->modes = {{V4L2_PIX_FMT_YUYV, 64, 32, {at30}, {}}};
    camera->acceptedInterval = at2997;
    camera->picture = yuyv(64, 32, 81, 90, 240);
    CameraSource source(fakeDevice(), camera);
    const auto frames = capture(source, 2);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].duration(), MediaTime(1001, 30000));
}

TEST_F(CameraRecording, OpenErrorsAreTyped) {
    camera->modes = {{V4L2_PIX_FMT_YUYV, 64, 32, {at30}, {}}};
    CameraSource source(fakeDevice(), camera);
    camera->openError = EACCES;
    try {
        source.start([](const SampleBuffer&) {});
        FAIL() << "started";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error, RecorderError::permissionDenied("Camera"));
    }
    camera->openError = ENODEV;
    EXPECT_THROW(source.start([](const SampleBuffer&) {}), std::system_error);
    source.stop();
}

// One handle at a time may stream from a camera. The preview and the take watch one
// capture: the take's start and end change nothing at the device, and the preview's
// pictures keep coming, scaled down.
TEST_F(CameraRecording, APreviewAndATakeShareOneCaptureOfTheCamera) {
    camera->modes = {{V4L2_PIX_FMT_YUYV, 64, 32, {at30}, {}}};
    camera->picture = yuyv(64, 32, 81, 90, 240);
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<SampleBuffer> previewed;
    auto preview = brindlow::CameraCapture::of(fakeDevice(), camera)->watch(
        [&](const SampleBuffer& b) {
            std::lock_guard lock(mutex);
            previewed.push_back(b);
            arrived.notify_all();
        },
        CaptureSize{16, 16});
    auto previewedMore = [&](size_t than) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, 5s, [&] { return previewed.size() > than + 3; });
    };
    ASSERT_TRUE(previewedMore(0));
    CameraSource source(fakeDevice(), camera);
    const auto recorded = capture(source, 5);
    EXPECT_GE(recorded.size(), 5u);
    EXPECT_EQ(recorded.front().videoFrame()->width, 64);
    size_t seen;
    {
        std::lock_guard lock(mutex);
        seen = previewed.size();
        EXPECT_EQ(previewed.back().videoFrame()->width, 16);
        EXPECT_EQ(previewed.back().videoFrame()->height, 8);
    }
    EXPECT_TRUE(previewedMore(seen)) << "the preview froze when the take ended";
    {
        std::lock_guard lock(camera->mutex);
        EXPECT_EQ(camera->streamsStarted, 1);
        EXPECT_EQ(camera->busyRefusals, 0);
    }
    // Another handle of its own would be refused while the preview streams.
    const int other = camera->open("/dev/video0", O_RDWR);
    v4l2_requestbuffers request{};
    request.count = 2;
    EXPECT_EQ(camera->ioctl(other, VIDIOC_REQBUFS, &request), -1);
    EXPECT_EQ(errno, EBUSY);
    camera->close(other);
    preview.reset();
    std::lock_guard lock(camera->mutex);
    EXPECT_FALSE(camera->streaming);
    EXPECT_EQ(camera->openCount, camera->closeCount);
}

TEST(CameraDevices, ListsCaptureNodesWithStableIds) {
    const auto dir = fs::temp_directory_path() / ("brindlow-dev-" + randomUUID());
    fs::create_directories(dir / "v4l" / "by-id");
    for (const char* node : {"video0", "video1", "video10", "videox", "null"}) std::ofstream(dir / node) << "";
    fs::create_symlink("../../video0", dir / "v4l" / "by-id" / "usb-Fake_Cam-video-index0");
    FakeCamera camera;
    const auto cameras = CameraSource::available(camera, dir.string());
    ASSERT_EQ(cameras.size(), 2u);  // video1 only carries metadata
    EXPECT_EQ(cameras[0], (CameraDevice{"usb-Fake_Cam-video-index0", "Fake Cam", (dir / "video0").string()}));
    EXPECT_EQ(cameras[1].id, "usb-0000:00:14.0-1");  // no stable name: the bus
    EXPECT_EQ(cameras[1].path, (dir / "video10").string());
    fs::remove_all(dir);
    // This machine has no camera: an empty list, not an error.
    EXPECT_NO_THROW(CameraSource::available());
}

}  // namespace
}  // namespace brindlow
