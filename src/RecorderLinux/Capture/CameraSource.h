#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CameraFrameRate.h"
#include "CaptureSource.h"
#include "Support/Concurrency.h"

namespace brindlow {

// The system calls the camera source makes on a device node, so that a test can
// stand in for a camera.
class V4L2Device {
public:
    virtual ~V4L2Device() = default;
    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, size_t length) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
};
// The real system calls; one seam for the whole process.
std::shared_ptr<V4L2Device> systemV4L2();

struct CameraDevice {
    std::string id;    // stable across reboots: the /dev/v4l/by-id name, else the bus
    std::string name;  // the driver's card name
    std::string path;  // /dev/videoN
    bool operator==(const CameraDevice&) const = default;
};

// One picture format the camera offers at one size, with its frame durations.
struct CameraFormat {
    uint32_t fourcc = 0;  // V4L2 pixel format: YUYV or MJPG
    int width = 0, height = 0;
    std::vector<CameraFrameRate::Range> ranges;
};

class CameraCapture;
class CameraWatch;

// A V4L2 camera recorded at 30 pictures per second in the largest format up to
// 3840x2160 that runs at that rate, converted to NV12 and delivered on the
// "com.brindlow.recorder.camera" queue with the driver's monotonic timestamps. It
// records through the process's one CameraCapture of the camera, which a preview may
// already be watching.
class CameraSource final : public CaptureSource {
public:
    static constexpr int fps = 30;
    static constexpr int64_t maxArea = 3840 * 2160;

    // The video capture devices under `devices` (normally /dev), in name order.
    static std::vector<CameraDevice> available(V4L2Device& system, const std::string& devices = "/dev");
    static std::vector<CameraDevice> available() { return available(*systemV4L2()); }
    // Every size of every format the source can convert, in the device's order.
    static std::vector<CameraFormat> formats(V4L2Device& system, const std::string& path);
    // The largest format of at most maxArea with a 30-per-second duration; the
    // earlier of two equal areas.
    static std::optional<CameraFormat> bestFormat(const std::vector<CameraFormat>& formats);

    explicit CameraSource(CameraDevice device, std::shared_ptr<V4L2Device> system = systemV4L2());
    ~CameraSource() override;

    std::optional<CaptureSize> videoSize() const override { return videoSize_; }
    // Throws RecorderError (unsupportedCameraFormat, permissionDenied("Camera")) or
    // std::system_error with the system's message.
    void start(Deliver deliver) override;
    void stop() override;

    const std::optional<CameraFormat>& format() const { return format_; }

private:
    const CameraDevice device_;
    const std::shared_ptr<CameraCapture> capture_;
    std::optional<CameraFormat> format_;
    std::optional<CaptureSize> videoSize_;
    SerialQueue queue_{"com.brindlow.recorder.camera"};
    std::mutex lock_;
    Deliver deliver_;  // guarded by lock_
    std::unique_ptr<CameraWatch> watch_;  // while started
};

}  // namespace brindlow
