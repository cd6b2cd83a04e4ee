#include "Capture/CameraSource.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "Capture/CameraCapture.h"
#include "RecorderError.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace fs = std::filesystem;
namespace {

class SystemV4L2 final : public V4L2Device {
public:
    int open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        int result;
        do result = ::ioctl(fd, request, argument);
        while (result < 0 && errno == EINTR);
        return result;
    }
    void* mmap(size_t length, int protection, int flags, int fd, off_t offset) override {
        return ::mmap(nullptr, length, protection, flags, fd, offset);
    }
    int munmap(void* address, size_t length) override { return ::munmap(address, length); }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override { return ::poll(fds, count, timeoutMs); }
};

bool convertible(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_YUYV || fourcc == V4L2_PIX_FMT_MJPEG; }

MediaTime duration(const v4l2_fract& f) { return MediaTime(f.numerator, int32_t(f.denominator)); }

std::vector<CameraFrameRate::Range> frameRanges(V4L2Device& system, int fd, uint32_t fourcc, int width, int height) {
    std::vector<CameraFrameRate::Range> ranges;
    for (uint32_t index = 0;; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = fourcc;
        interval.width = uint32_t(width);
        interval.height = uint32_t(height);
        if (system.ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) < 0) break;
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            ranges.push_back({duration(interval.discrete), duration(interval.discrete)});
        } else {
            ranges.push_back({duration(interval.stepwise.min), duration(interval.stepwise.max)});
            break;  // a stepwise answer is the only one
        }
    }
    return ranges;
}

std::vector<std::pair<int, int>> sizesWithin(const v4l2_frmsize_stepwise& range) {
    auto fits = [&](uint32_t value, uint32_t low, uint32_t high, uint32_t step) {
        return value >= low && value <= high && (step <= 1 || (value - low) % step == 0);
    };
    std::vector<std::pair<int, int>> sizes{{int(range.max_width), int(range.max_height)}};
    for (const auto& [w, h] : {std::pair{3840u, 2160u}, {2560u, 1440u}, {1920u, 1080u}, {1280u, 720u}, {640u, 480u}}) {
        if (w == range.max_width && h == range.max_height) continue;
        if (fits(w, range.min_width, range.max_width, range.step_width) &&
            fits(h, range.min_height, range.max_height, range.step_height))
            sizes.emplace_back(int(w), int(h));
    }
    return sizes;
}

std::string text(const uint8_t* bytes, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), size));
}

}  // namespace

std::shared_ptr<V4L2Device> systemV4L2() {
    // One for the process: a camera's one capture is found by its device and this seam.
    static const auto system = std::make_shared<SystemV4L2>();
    return system;
}

std::vector<CameraDevice> CameraSource::available(V4L2Device& system, const std::string& devices) {
    // The stable names first: /dev/v4l/by-id links point at the nodes.
    std::map<std::string, std::string> stableNames;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(devices) / "v4l" / "by-id", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code resolved;
        const auto target = fs::canonical(it->path(), resolved);
        if (!resolved) stableNames.emplace(target.string(), it->path().filename().string());
    }
    std::vector<std::string> nodes;
    for (fs::directory_iterator it(devices, ec), end; !ec && it != end; it.increment(ec)) {
        const auto name = it->path().filename().string();
        if (name.rfind("video", 0) == 0 && name.size() > 5 &&
            std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            nodes.push_back(it->path().string());
    }
    std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    std::vector<CameraDevice> cameras;
    for (const auto& node : nodes) {
        const int fd = system.open(node.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) continue;
        v4l2_capability capability{};
        const bool queried = system.ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0;
        system.close(fd);
        if (!queried) continue;
        const uint32_t caps =
            (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
        if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) continue;
        std::error_code resolved;
        const auto canonical = fs::canonical(node, resolved).string();
        const auto stable = stableNames.find(resolved ? node : canonical);
        cameras.push_back({stable != stableNames.end() ? stable->second
                                                       : text(capability.bus_info, sizeof capability.bus_info),
                           text(capability.card, sizeof capability.card), node});
    }
    return cameras;
}

std::vector<CameraFormat> CameraSource::formats(V4L2Device& system, const std::string& path) {
    std::vector<CameraFormat> found;
    const int fd = system.open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) return found;
    for (uint32_t index = 0;; ++index) {
        v4l2_fmtdesc format{};
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (system.ioctl(fd, VIDIOC_ENUM_FMT, &format) < 0) break;
        if (!convertible(format.pixelformat)) continue;
        for (uint32_t sizeIndex = 0;; ++sizeIndex) {
            v4l2_frmsizeenum size{};
            size.index = sizeIndex;
            size.pixel_format = format.pixelformat;
            if (system.ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) break;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                const int w = int(size.discrete.width), h = int(size.discrete.height);
                found.push_back({format.pixelformat, w, h, frameRanges(system, fd, format.pixelformat, w, h)});
            } else {
                // A range of sizes: its largest, and the common sizes it also allows, so a
                // camera that goes beyond 4K still offers the 4K and smaller sizes it can do.
                for (const auto& [w, h] : sizesWithin(size.stepwise))
                    found.push_back({format.pixelformat, w, h, frameRanges(system, fd, format.pixelformat, w, h)});
                break;
            }
        }
    }
    system.close(fd);
    return found;
}

std::optional<CameraFormat> CameraSource::bestFormat(const std::vector<CameraFormat>& formats) {
    std::optional<CameraFormat> best;
    for (const auto& format : formats) {
        const int64_t area = int64_t(format.width) * format.height;
        if (area <= 0 || area > maxArea) continue;
        if (!CameraFrameRate::duration(format.ranges, fps)) continue;
        if (!best || area > int64_t(best->width) * best->height) best = format;
    }
    return best;
}

CameraSource::CameraSource(CameraDevice device, std::shared_ptr<V4L2Device> system)
    : device_(std::move(device)), capture_(CameraCapture::of(device_, system)) {
    format_ = capture_->format();
    videoSize_ = capture_->videoSize();
}

CameraSource::~CameraSource() { stop(); }

void CameraSource::start(Deliver deliver) {
    if (!format_) throw RecorderError::unsupportedCameraFormat();
    if (watch_) return;
    {
        std::lock_guard lock(lock_);
        deliver_ = std::move(deliver);
    }
    watch_ = capture_->watch([this](const SampleBuffer& sample) {
        queue_.async([this, sample] {
            Deliver deliver;
            {
                std::lock_guard lock(lock_);
                deliver = deliver_;
            }
            if (deliver) deliver(sample);
        });
    });
}

void CameraSource::stop() {
    watch_.reset();
    queue_.sync([] {});
    std::lock_guard lock(lock_);
    deliver_ = nullptr;
}

}  // namespace brindlow
