#include "Capture/CameraSource.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <unistd.h>
#include <thread>

#include "RecorderError.h"
#include "Support/AtomicFile.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr v4l2_fract at30{1, 30}, at25{1, 25}, at60{1, 60}, at2997{1001, 30000};

// One size of one pixel format, with its frame intervals.
struct FakeMode {
    uint32_t fourcc;
    uint32_t width, height;
    std::vector<v4l2_fract> discrete;           // discrete intervals, or
    std::optional<v4l2_frmival_stepwise> span;  // one stepwise range
};

// A camera behind the system-call seam: formats, sizes and intervals as a test
// lists them, buffers that fill with a fixed picture at a steady pace.
class FakeCamera final : public V4L2Device {
public:
    std::mutex mutex;
    std::vector<FakeMode> modes;
    int openError = 0;
    std::string picture;  // what each captured buffer holds
    v4l2_format applied{};
    v4l2_fract appliedInterval{};
    std::vector<timeval> stamps;
    bool streaming = false;
    int openCount = 0, closeCount = 0;
    // A continuous range of sizes per format, each size running at 30 per second.
    std::map<uint32_t, v4l2_frmsize_stepwise> sizeRanges;
    // The interval the driver settles on, when not the one asked for.
    std::optional<v4l2_fract> acceptedInterval;

    ~FakeCamera() { releaseBuffers(); }

    int open(const char* path, int) override {
        std::lock_guard lock(mutex);
        if (openError) {
            errno = openError;
            return -1;
        }
        ++openCount;
        return std::string(path).ends_with("video1") ? 11 : 10;
    }
    int close(int) override {
        std::lock_guard lock(mutex);
        ++closeCount;
        return 0;
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex);
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* cap = static_cast<v4l2_capability*>(argument);
                std::strcpy(reinterpret_cast<char*>(cap->card), fd == 11 ? "Fake Metadata" : "Fake Cam");
                std::strcpy(reinterpret_cast<char*>(cap->bus_info), "usb-0000:00:14.0-1");
                cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE;
                cap->device_caps = fd == 11 ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                auto* f = static_cast<v4l2_fmtdesc*>(argument);
                std::vector<uint32_t> fourccs;
                for (const auto& m : modes)
                    if (std::find(fourccs.begin(), fourccs.end(), m.fourcc) == fourccs.end()) fourccs.push_back(m.fourcc);
                for (const auto& range : sizeRanges) fourccs.push_back(range.first);
                if (f->index >= fourccs.size()) return fail(EINVAL);
                f->pixelformat = fourccs[f->index];
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto* s = static_cast<v4l2_frmsizeenum*>(argument);
                if (const auto range = sizeRanges.find(s->pixel_format); range != sizeRanges.end()) {
                    if (s->index != 0) return fail(EINVAL);
                    s->type = V4L2_FRMSIZE_TYPE_STEPWISE;
                    s->stepwise = range->second;
                    return 0;
                }
                uint32_t n = 0;
                for (const auto& m : modes) {
                    if (m.fourcc != s->pixel_format || n++ != s->index) continue;
                    s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                    s->discrete = {m.width, m.height};
                    return 0;
                }
                return fail(EINVAL);
            }
            case VIDIOC_ENUM_FRAMEINTERVALS: {
                auto* i = static_cast<v4l2_frmivalenum*>(argument);
                if (const auto range = sizeRanges.find(i->pixel_format); range != sizeRanges.end()) {
                    const auto& r = range->second;
                    const bool inside = i->width >= r.min_width && i->width <= r.max_width &&
                                        i->height >= r.min_height && i->height <= r.max_height;
                    if (!inside || i->index != 0) return fail(EINVAL);
                    i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                    i->discrete = at30;
                    return 0;
                }
                const FakeMode* m = find(i->pixel_format, i->width, i->height);
                if (!m) return fail(EINVAL);
                if (m->span && i->index == 0) {
                    i->type = V4L2_FRMIVAL_TYPE_STEPWISE;
                    i->stepwise = *m->span;
                    return 0;
                }
                if (i->index >= m->discrete.size()) return fail(EINVAL);
                i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                i->discrete = m->discrete[i->index];
                return 0;
            }
            case VIDIOC_S_FMT: applied = *static_cast<v4l2_format*>(argument); return 0;
            case VIDIOC_S_PARM: {
                auto& interval = static_cast<v4l2_streamparm*>(argument)->parm.capture.timeperframe;
                appliedInterval = interval;
                if (acceptedInterval) interval = *acceptedInterval;
                return 0;
            }
            case VIDIOC_REQBUFS: {
                auto* r = static_cast<v4l2_requestbuffers*>(argument);
                releaseBuffers();
                for (uint32_t i = 0; i < r->count; ++i) buffers.push_back(guardedBuffer(std::max<size_t>(picture.size(), 1)));
                return 0;
            }
            case VIDIOC_QUERYBUF: {
                auto* b = static_cast<v4l2_buffer*>(argument);
                b->length = uint32_t(buffers.at(b->index).size);
                b->m.offset = b->index * 4096;
                return 0;
            }
            case VIDIOC_QBUF: queued.push_back(static_cast<v4l2_buffer*>(argument)->index); return 0;
            case VIDIOC_DQBUF: {
                if (!streaming || queued.empty()) return fail(EAGAIN);
                auto* b = static_cast<v4l2_buffer*>(argument);
                b->index = queued.front();
                queued.pop_front();
                std::memcpy(buffers[b->index].data, picture.data(), picture.size());
                b->bytesused = uint32_t(picture.size());
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                b->timestamp = {now.tv_sec, now.tv_nsec / 1000};
                b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
                stamps.push_back(b->timestamp);
                return 0;
            }
            case VIDIOC_STREAMON: streaming = true; return 0;
            case VIDIOC_STREAMOFF: streaming = false; return 0;
        }
        return fail(ENOTTY);
    }
    void* mmap(size_t, int, int, int, off_t offset) override {
        std::lock_guard lock(mutex);
        return buffers.at(size_t(offset / 4096)).data;
    }
    int munmap(void*, size_t) override { return 0; }
    int poll(pollfd* fds, nfds_t, int) override {
        std::this_thread::sleep_for(10ms);
        fds[0].revents = POLLIN;
        return 1;
    }

private:
    static int fail(int error) {
        errno = error;
        return -1;
    }
    const FakeMode* find(uint32_t fourcc, uint32_t w, uint32_t h) const {
        for (const auto& m : modes)
            if (m.fourcc == fourcc && m.width == w && m.height == h) return &m;
        return nullptr;
    }
    // A driver's buffer ends where its mapping ends: the next page is unreadable, so a
    // reader that runs past the bytes it was given faults here as it could on a camera.
    struct Buffer {
        uint8_t* data;
        size_t size;
        void* base;
        size_t mapped;
    };
    static Buffer guardedBuffer(size_t size) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t body = (size + page - 1) / page * page;
        void* base = ::mmap(nullptr, body + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        ::mprotect(static_cast<uint8_t*>(base) + body, page, PROT_NONE);
        return {static_cast<uint8_t*>(base) + body - size, size, base, body + page};
    }
    void releaseBuffers() {
        for (const auto& b : buffers) ::munmap(b.base, b.mapped);
        buffers.clear();
    }
    std::vector<Buffer> buffers;
    std::deque<uint32_t> queued;
};

std::string yuyv(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
    std::string bytes;
    for (int i = 0; i < width * height / 2; ++i) bytes += {char(y), char(u), char(y), char(v)};
    return bytes;
}

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

class CameraCapture : public ::testing::Test {
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

TEST_F(CameraCapture, YUYVArrivesAsNV12WithTheDriversStamps) {
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

TEST_F(CameraCapture, JPEGPicturesAreDecodedAndCorruptOnesSkipped) {
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

TEST_F(CameraCapture, FramesLastTheIntervalTheDriverSettledOn) {
    camera->modes = {{V4L2_PIX_FMT_YUYV, 64, 32, {at30}, {}}};
    camera->acceptedInterval = at2997;
    camera->picture = yuyv(64, 32, 81, 90, 240);
    CameraSource source(fakeDevice(), camera);
    const auto frames = capture(source, 2);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].duration(), MediaTime(1001, 30000));
}

TEST_F(CameraCapture, OpenErrorsAreTyped) {
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
