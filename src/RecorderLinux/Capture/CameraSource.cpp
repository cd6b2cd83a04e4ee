#include "Capture/CameraSource.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "Capture/FrameConverter.h"
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

std::shared_ptr<V4L2Device> systemV4L2() { return std::make_shared<SystemV4L2>(); }

// Turns camera pictures (YUYV, or JPEG decoded by libavcodec) into NV12.
class CameraSource::Decoder {
public:
    Decoder(uint32_t fourcc, int width, int height, CaptureSize out)
        : fourcc_(fourcc), width_(width), height_(height), out_(out) {
        if (fourcc == V4L2_PIX_FMT_MJPEG) {
            const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
            codec_ = codec ? avcodec_alloc_context3(codec) : nullptr;
            if (!codec_ || avcodec_open2(codec_, codec, nullptr) < 0)
                throw RecorderError::encoderUnavailable("camera picture decoder");
            packet_ = av_packet_alloc();
            picture_ = av_frame_alloc();
        } else {
            converter_ = std::make_unique<FrameConverter>(FrameConverter::Input::yuyv, width, height, int(out.width),
                                                          int(out.height));
        }
    }
    ~Decoder() {
        av_frame_free(&picture_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
    }

    // Nothing for a picture that does not decode (a torn or corrupt JPEG).
    std::optional<VideoFrame> decode(const uint8_t* bytes, size_t size) {
        if (fourcc_ == V4L2_PIX_FMT_YUYV) {
            if (size < size_t(width_) * height_ * 2) return std::nullopt;
            return converter_->convert(bytes, width_ * 2);
        }
        // The decoder may read a little past the end of its input, so it gets a padded
        // copy rather than the mapped buffer itself.
        padded_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE);
        std::memcpy(padded_.data(), bytes, size);
        std::memset(padded_.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        packet_->data = padded_.data();
        packet_->size = int(size);
        if (avcodec_send_packet(codec_, packet_) < 0 || avcodec_receive_frame(codec_, picture_) < 0) return std::nullopt;
        const auto input = inputFormat(AVPixelFormat(picture_->format));
        if (!input || picture_->width != width_ || picture_->height != height_) return std::nullopt;
        if (!converter_ || input != input_) {
            converter_ = std::make_unique<FrameConverter>(*input, width_, height_, int(out_.width), int(out_.height));
            input_ = input;
        }
        return converter_->convert({picture_->data[0], picture_->data[1], picture_->data[2], nullptr},
                                   {picture_->linesize[0], picture_->linesize[1], picture_->linesize[2], 0});
    }

private:
    static std::optional<FrameConverter::Input> inputFormat(AVPixelFormat format) {
        switch (format) {
            case AV_PIX_FMT_YUVJ420P: return FrameConverter::Input::yuvj420p;
            case AV_PIX_FMT_YUVJ422P: return FrameConverter::Input::yuvj422p;
            case AV_PIX_FMT_YUV420P: return FrameConverter::Input::yuv420p;
            case AV_PIX_FMT_YUV422P: return FrameConverter::Input::yuv422p;
            default: return std::nullopt;
        }
    }

    const uint32_t fourcc_;
    const int width_, height_;
    const CaptureSize out_;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* picture_ = nullptr;
    std::vector<uint8_t> padded_;
    std::unique_ptr<FrameConverter> converter_;
    std::optional<FrameConverter::Input> input_;
};

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
    : device_(std::move(device)), system_(std::move(system)) {
    format_ = bestFormat(formats(*system_, device_.path));
    if (format_) videoSize_ = CaptureSize{format_->width, format_->height}.fittedToEncoder();
}

CameraSource::~CameraSource() { stop(); }

void CameraSource::start(Deliver deliver) {
    if (!format_) throw RecorderError::unsupportedCameraFormat();
    if (capturer_.joinable()) return;
    const auto frameDuration = CameraFrameRate::duration(format_->ranges, fps);
    if (!frameDuration) throw RecorderError::unsupportedCameraFormat();
    frameDuration_ = *frameDuration;

    fd_ = system_->open(device_.path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd_ < 0) {
        if (errno == EACCES || errno == EPERM) throw RecorderError::permissionDenied("Camera");
        throw std::system_error(errno, std::generic_category(), "cannot open " + device_.path);
    }
    auto fail = [this](const char* what) {
        const int error = errno;
        release();
        if (error == EBUSY) throw std::system_error(error, std::generic_category(), "the camera is in use");
        throw std::system_error(error, std::generic_category(), what);
    };

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = uint32_t(format_->width);
    format.fmt.pix.height = uint32_t(format_->height);
    format.fmt.pix.pixelformat = format_->fourcc;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (system_->ioctl(fd_, VIDIOC_S_FMT, &format) < 0) fail("the camera refused its format");
    if (format.fmt.pix.pixelformat != format_->fourcc || int(format.fmt.pix.width) != format_->width ||
        int(format.fmt.pix.height) != format_->height) {
        release();
        throw RecorderError::unsupportedCameraFormat();
    }
    v4l2_streamparm rate{};
    rate.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rate.parm.capture.timeperframe = {uint32_t(frameDuration_.value()), uint32_t(frameDuration_.timescale())};
    if (system_->ioctl(fd_, VIDIOC_S_PARM, &rate) < 0) fail("the camera refused its frame rate");
    // The driver answers with the interval it really runs at; the frames last that long.
    const v4l2_fract accepted = rate.parm.capture.timeperframe;
    if (accepted.numerator > 0 && accepted.denominator > 0 && accepted.denominator <= uint32_t(INT32_MAX))
        frameDuration_ = MediaTime(accepted.numerator, int32_t(accepted.denominator));

    v4l2_requestbuffers request{};
    request.count = 4;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (system_->ioctl(fd_, VIDIOC_REQBUFS, &request) < 0 || request.count == 0) fail("the camera gave no buffers");
    for (uint32_t i = 0; i < request.count; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (system_->ioctl(fd_, VIDIOC_QUERYBUF, &buffer) < 0) fail("the camera's buffers cannot be read");
        void* address = system_->mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buffer.m.offset);
        if (address == MAP_FAILED) fail("the camera's buffers cannot be mapped");
        mappings_.push_back({address, buffer.length});
        if (system_->ioctl(fd_, VIDIOC_QBUF, &buffer) < 0) fail("the camera's buffers cannot be queued");
    }
    decoder_ = std::make_unique<Decoder>(format_->fourcc, format_->width, format_->height, *videoSize_);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (system_->ioctl(fd_, VIDIOC_STREAMON, &type) < 0) fail("the camera would not start");
    {
        std::lock_guard lock(lock_);
        deliver_ = std::move(deliver);
    }
    capturer_ = std::jthread([this](std::stop_token stop) {
        ensureSignalStack();
        captureLoop(stop);
    });
}

void CameraSource::captureLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        pollfd ready{fd_, POLLIN, 0};
        const int polled = system_->poll(&ready, 1, 100);
        if (polled < 0 && errno != EINTR) break;
        if (polled <= 0) continue;
        if (ready.revents & (POLLERR | POLLHUP)) break;  // unplugged
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (system_->ioctl(fd_, VIDIOC_DQBUF, &buffer) < 0) {
            if (errno == EAGAIN) continue;
            break;
        }
        std::optional<VideoFrame> frame;
        if (buffer.index < mappings_.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR))
            frame = decoder_->decode(static_cast<const uint8_t*>(mappings_[buffer.index].address),
                                     std::min<size_t>(buffer.bytesused, mappings_[buffer.index].length));
        // The driver's own stamp when it is on the monotonic (host) clock.
        const bool monotonic = (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC &&
                               (buffer.timestamp.tv_sec != 0 || buffer.timestamp.tv_usec != 0);
        const MediaTime at = monotonic ? MediaTime::fromNanoseconds(int64_t(buffer.timestamp.tv_sec) * 1'000'000'000 +
                                                                    int64_t(buffer.timestamp.tv_usec) * 1000)
                                       : hostNow();
        system_->ioctl(fd_, VIDIOC_QBUF, &buffer);
        if (!frame) continue;
        auto sample = SampleBuffer::video(std::move(*frame), {frameDuration_, at, MediaTime::invalid()});
        queue_.async([this, sample = std::move(sample)] {
            Deliver deliver;
            {
                std::lock_guard lock(lock_);
                deliver = deliver_;
            }
            if (deliver) deliver(sample);
        });
    }
}

void CameraSource::release() {
    if (fd_ < 0) return;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    system_->ioctl(fd_, VIDIOC_STREAMOFF, &type);
    for (const auto& mapping : mappings_) system_->munmap(mapping.address, mapping.length);
    mappings_.clear();
    system_->close(fd_);
    fd_ = -1;
    decoder_.reset();
}

void CameraSource::stop() {
    if (capturer_.joinable()) {
        capturer_.request_stop();
        capturer_.join();
    }
    capturer_ = {};
    release();
    queue_.sync([] {});
    std::lock_guard lock(lock_);
    deliver_ = nullptr;
}

}  // namespace brindlow
