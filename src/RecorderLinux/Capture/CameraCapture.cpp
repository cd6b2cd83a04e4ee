#include "Capture/CameraCapture.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

extern "C" {
#include <libavcodec/avcodec.h>
}
#include <libyuv/scale.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <system_error>

#include "Capture/FrameConverter.h"
#include "RecorderError.h"
#include "Support/SignalStack.h"

namespace brindlow {

// Turns camera pictures (YUYV, or JPEG decoded by libavcodec) into NV12.
class CameraCapture::Decoder {
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

namespace {

// The picture scaled down to fit `fit` (aspect kept, even sides); itself when it fits.
SampleBuffer fitted(const SampleBuffer& sample, CaptureSize fit) {
    const VideoFrame* picture = sample.videoFrame();
    if (!picture || (picture->width <= fit.width && picture->height <= fit.height)) return sample;
    const double scale = std::min(double(fit.width) / picture->width, double(fit.height) / picture->height);
    const int width = std::max(2, int(picture->width * scale) & ~1), height = std::max(2, int(picture->height * scale) & ~1);
    VideoFrame small = VideoFrame::make(width, height);
    libyuv::NV12Scale(picture->lumaPlane().data(), picture->strideY, picture->chromaPlane().data(), picture->strideUV,
                      picture->width, picture->height, small.lumaPlane().data(), small.strideY,
                      small.chromaPlane().data(), small.strideUV, width, height, libyuv::kFilterBilinear);
    return SampleBuffer::video(std::move(small), sample.timing().front());
}

}  // namespace

std::shared_ptr<CameraCapture> CameraCapture::of(const CameraDevice& device, const std::shared_ptr<V4L2Device>& system) {
    static std::mutex registryLock;
    static std::map<std::pair<const V4L2Device*, std::string>, std::weak_ptr<CameraCapture>> registry;
    std::lock_guard lock(registryLock);
    std::erase_if(registry, [](const auto& entry) { return entry.second.expired(); });
    auto& slot = registry[{system.get(), device.path}];
    if (auto existing = slot.lock()) return existing;
    auto made = std::shared_ptr<CameraCapture>(new CameraCapture(device, system));
    slot = made;
    return made;
}

CameraCapture::CameraCapture(CameraDevice device, std::shared_ptr<V4L2Device> system)
    : device_(std::move(device)), system_(std::move(system)) {
    format_ = CameraSource::bestFormat(CameraSource::formats(*system_, device_.path));
    if (format_) videoSize_ = CaptureSize{format_->width, format_->height}.fittedToEncoder();
}

CameraCapture::~CameraCapture() {
    std::lock_guard lock(streamLock_);
    close();
}

CameraWatch::~CameraWatch() { capture_->unwatch(id_); }

std::unique_ptr<CameraWatch> CameraCapture::watch(OnPicture onPicture, std::optional<CaptureSize> fit) {
    std::lock_guard stream(streamLock_);
    bool first;
    {
        std::lock_guard lock(watchersLock_);
        first = watchers_.empty();
    }
    if (first) open();
    std::lock_guard lock(watchersLock_);
    const uint64_t id = nextId_++;
    watchers_.push_back({id, std::move(onPicture), fit});
    return std::unique_ptr<CameraWatch>(new CameraWatch(shared_from_this(), id));
}

void CameraCapture::unwatch(uint64_t id) {
    std::lock_guard stream(streamLock_);
    bool last;
    {
        std::lock_guard lock(watchersLock_);
        std::erase_if(watchers_, [id](const Watcher& w) { return w.id == id; });
        last = watchers_.empty();
    }
    if (last) close();
}

void CameraCapture::open() {
    if (!format_) throw RecorderError::unsupportedCameraFormat();
    const auto frameDuration = CameraFrameRate::duration(format_->ranges, CameraSource::fps);
    if (!frameDuration) throw RecorderError::unsupportedCameraFormat();
    frameDuration_ = *frameDuration;

    fd_ = system_->open(device_.path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd_ < 0) {
        if (errno == EACCES || errno == EPERM) throw RecorderError::permissionDenied("Camera");
        throw std::system_error(errno, std::generic_category(), "cannot open " + device_.path);
    }
    auto fail = [this](const char* what) {
        const int error = errno;
        close();
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
        close();
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
    capturer_ = std::jthread([this](std::stop_token stop) {
        ensureSignalStack();
        captureLoop(stop);
    });
}

void CameraCapture::close() {
    if (capturer_.joinable()) {
        capturer_.request_stop();
        capturer_.join();
    }
    capturer_ = {};
    if (fd_ < 0) return;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    system_->ioctl(fd_, VIDIOC_STREAMOFF, &type);
    for (const auto& mapping : mappings_) system_->munmap(mapping.address, mapping.length);
    mappings_.clear();
    // The buffers go back to the driver, so the next handle may have them.
    v4l2_requestbuffers none{};
    none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    none.memory = V4L2_MEMORY_MMAP;
    system_->ioctl(fd_, VIDIOC_REQBUFS, &none);
    system_->close(fd_);
    fd_ = -1;
    decoder_.reset();
}

void CameraCapture::captureLoop(std::stop_token stop) {
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
        const auto sample = SampleBuffer::video(std::move(*frame), {frameDuration_, at, MediaTime::invalid()});
        std::lock_guard lock(watchersLock_);
        for (const auto& watcher : watchers_) watcher.onPicture(watcher.fit ? fitted(sample, *watcher.fit) : sample);
    }
}

}  // namespace brindlow
