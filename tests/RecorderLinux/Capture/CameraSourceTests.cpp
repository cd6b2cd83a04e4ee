#include "Capture/CameraSource.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <fstream>
#include <thread>

#include "Capture/CameraCapture.h"
#include "RecorderError.h"
#include "Support/CapturedFrames.h"
#include "Support/ExpectError.h"
#include "Support/FakeCamera.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::at25, testing::at2997, testing::at30, testing::at60;
using testing::errorFrom, testing::FakeCamera, testing::Frames, testing::yuvAt, testing::yuyv;

CameraDevice fakeDevice() { return {"usb-Fake_Cam-video-index0", "Fake Cam", "/dev/video0"}; }

// The largest format of at most 4K that runs at 30 per second (29.97 counts, a span that
// covers it too), the first of equal areas; none, and no start, when nothing qualifies.
TEST(CameraFormatChoice, LargestAt30UpTo4KFirstOfEqualAreasOrNone) {
    struct Case {
        const char* what;
        std::vector<testing::FakeMode> modes;
        std::optional<v4l2_frmsize_stepwise> range;  // of YUYV sizes
        std::optional<std::tuple<uint32_t, int, int>> best;
    };
    const uint32_t yuyvFormat = V4L2_PIX_FMT_YUYV, mjpeg = V4L2_PIX_FMT_MJPEG;
    const Case cases[] = {
        {"discrete sizes",
         {{yuyvFormat, 640, 480, {at30, at60}, {}}, {yuyvFormat, 1280, 720, {at2997}, {}}, {mjpeg, 1280, 720, {at30}, {}},
          {mjpeg, 4096, 2160, {at30}, {}}, {mjpeg, 1920, 1080, {at25, at60}, {}},
          {v4l2_fourcc('H', '2', '6', '4'), 3840, 2160, {at30}, {}}},
         {}, std::tuple{yuyvFormat, 1280, 720}},
        {"a span of intervals at 4K exactly", {{mjpeg, 3840, 2160, {}, v4l2_frmival_stepwise{{1, 60}, {1, 5}, {1, 60}}}}, {},
         std::tuple{mjpeg, 3840, 2160}},
        {"only 25 or 60", {{yuyvFormat, 1280, 720, {at25}, {}}, {mjpeg, 1920, 1080, {at60}, {}}}, {}, std::nullopt},
        {"a range of sizes beyond 4K: its largest common size", {}, v4l2_frmsize_stepwise{160, 5120, 8, 120, 2880, 8},
         std::tuple{yuyvFormat, 3840, 2160}},
        {"a range whose largest fits", {}, v4l2_frmsize_stepwise{160, 1600, 1, 120, 1200, 1}, std::tuple{yuyvFormat, 1600, 1200}},
        {"a range with no common size on its grid, its largest too big", {}, v4l2_frmsize_stepwise{160, 5120, 7, 120, 2880, 7},
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto camera = std::make_shared<FakeCamera>();
        camera->modes = c.modes;
        if (c.range) camera->sizeRanges = {{yuyvFormat, *c.range}};
        const auto best = CameraSource::bestFormat(CameraSource::formats(*camera, "/dev/video0"));
        ASSERT_EQ(best.has_value(), c.best.has_value());
        if (best) { EXPECT_EQ(std::tuple(best->fourcc, best->width, best->height), *c.best); }
        CameraSource source(fakeDevice(), camera);
        if (!best) {
            EXPECT_FALSE(source.videoSize());
            EXPECT_EQ(errorFrom<RecorderError>([&] { source.start([](const SampleBuffer&) {}); }),
                      RecorderError::unsupportedCameraFormat());
        }
    }
}

class CameraRecording : public ::testing::Test {
protected:
    CameraRecording() {
        camera->modes = {{V4L2_PIX_FMT_YUYV, 64, 32, {at30}, {}}};
        camera->picture = yuyv(64, 32, 81, 90, 240);
    }
    static void capture(CameraSource& source, Frames& frames, size_t count) {
        source.start(frames.deliver());
        EXPECT_TRUE(frames.waitFor(count));
        source.stop();
    }
    std::shared_ptr<FakeCamera> camera = std::make_shared<FakeCamera>();
};

// YUYV arrives as NV12 at the driver's stamps, each picture lasting the interval the
// driver settled on rather than the one asked for; the device is left closed. Failures
// to open it are typed.
TEST_F(CameraRecording, YUYVArrivesAsNV12WithTheDriversStampsAndInterval) {
    camera->acceptedInterval = at2997;
    CameraSource source(fakeDevice(), camera);
    ASSERT_EQ(source.videoSize(), (CaptureSize{64, 32}));
    Frames frames;
    capture(source, frames, 5);
    camera->openError = EACCES;
    EXPECT_EQ(errorFrom<RecorderError>([&] { source.start([](const SampleBuffer&) {}); }),
              RecorderError::permissionDenied("Camera"));
    camera->openError = ENODEV;
    EXPECT_THROW(source.start([](const SampleBuffer&) {}), std::system_error);
    source.stop();
    std::lock_guard lock(camera->mutex);
    EXPECT_EQ(camera->applied.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(camera->appliedInterval.numerator, 1u);
    EXPECT_EQ(camera->appliedInterval.denominator, 30u);
    EXPECT_FALSE(camera->streaming);
    EXPECT_EQ(camera->openCount, camera->closeCount);
    for (size_t i = 0; i < frames.buffers.size(); ++i) {
        EXPECT_EQ(yuvAt(frames.buffers[i]), (std::array<int, 3>{81, 90, 240}));
        EXPECT_EQ(frames.buffers[i].duration(), MediaTime(1001, 30000));
        const auto& t = camera->stamps[i];
        EXPECT_EQ(frames.buffers[i].presentationTime(),
                  MediaTime::fromNanoseconds(int64_t(t.tv_sec) * 1'000'000'000 + int64_t(t.tv_usec) * 1000));
    }
}

TEST_F(CameraRecording, JPEGPicturesAreDecodedAndCorruptOnesSkipped) {
    camera->modes = {{V4L2_PIX_FMT_MJPEG, 64, 32, {at30}, {}}};
    camera->picture = testing::runCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=red:s=64x32",
                                           "-frames:v", "1", "-pix_fmt", "yuvj422p", "-f", "mjpeg", "-"})
                          .output;
    ASSERT_FALSE(camera->picture.empty());
    CameraSource source(fakeDevice(), camera);
    Frames frames;
    capture(source, frames, 3);
    // JPEG's full-range red (76, 85, 255) mapped to video range.
    EXPECT_LE(testing::offBy(frames.buffers.at(0), 0, 0, {81, 90, 240}), 2);

    camera->picture = "\xff\xd8 not a picture";
    Frames none;
    source.start(none.deliver());
    std::this_thread::sleep_for(100ms);
    source.stop();
    EXPECT_EQ(none.size(), 0u);
}

// One handle at a time may stream from a camera. The preview and the take watch one
// capture: the take's start and end change nothing at the device, and the preview's
// pictures keep coming, scaled down.
TEST_F(CameraRecording, APreviewAndATakeShareOneCaptureOfTheCamera) {
    Frames previewed;
    auto preview = CameraCapture::of(fakeDevice(), camera)->watch(previewed.deliver(), CaptureSize{16, 16});
    ASSERT_TRUE(previewed.waitFor(4));
    CameraSource source(fakeDevice(), camera);
    Frames recorded;
    capture(source, recorded, 5);
    EXPECT_EQ(previewed.last().videoFrame()->width, 16);
    EXPECT_EQ(previewed.last().videoFrame()->height, 8);
    EXPECT_TRUE(previewed.waitFor(previewed.size() + 4)) << "the preview froze when the take ended";
    {
        std::lock_guard lock(camera->mutex);
        EXPECT_EQ(camera->streamsStarted, 1);
        EXPECT_EQ(camera->busyRefusals, 0);
    }
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
