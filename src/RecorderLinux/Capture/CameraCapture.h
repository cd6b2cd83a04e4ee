#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Capture/CameraSource.h"
#include "Support/SampleBuffer.h"

namespace brindlow {

class CameraCapture;

// A watch of a CameraCapture; ends when destroyed, and no picture reaches its callback
// after that.
class CameraWatch {
public:
    ~CameraWatch();
    CameraWatch(const CameraWatch&) = delete;
    CameraWatch& operator=(const CameraWatch&) = delete;

private:
    friend class CameraCapture;
    CameraWatch(std::shared_ptr<CameraCapture> capture, uint64_t id) : capture_(std::move(capture)), id_(id) {}
    std::shared_ptr<CameraCapture> capture_;
    uint64_t id_;
};

// One camera's stream, shared by everything in the process that shows or records it.
// A V4L2 camera's buffers belong to the one handle that asked for them: a second handle
// that sets a format, asks for buffers or starts streaming gets EBUSY. So the panel's
// preview and a take never open the camera each; they watch one capture. It opens the
// device in the recording format when the first watcher comes and closes it when the
// last one goes, so a take that starts or ends while the preview shows changes nothing
// at the device and the preview never stops.
//
// Pictures are delivered on the capture's own thread, in order, to each watcher; a
// watcher's callback must return quickly and must not start or end a watch.
class CameraCapture : public std::enable_shared_from_this<CameraCapture> {
public:
    using OnPicture = std::function<void(const SampleBuffer&)>;

    // This process's capture of `device`, made on first use (one per device and system seam).
    static std::shared_ptr<CameraCapture> of(const CameraDevice& device, const std::shared_ptr<V4L2Device>& system);
    ~CameraCapture();
    CameraCapture(const CameraCapture&) = delete;
    CameraCapture& operator=(const CameraCapture&) = delete;

    const std::optional<CameraFormat>& format() const { return format_; }
    // The size of delivered pictures: the format's, fitted to the encoder.
    std::optional<CaptureSize> videoSize() const { return videoSize_; }

    // Starts delivering to `onPicture`, opening the camera if nobody watched yet. With
    // `fit`, pictures larger than it come scaled down to fit (a preview's cheap copy).
    // Throws what opening the camera throws: RecorderError (unsupportedCameraFormat,
    // permissionDenied("Camera")) or std::system_error ("the camera is in use").
    std::unique_ptr<CameraWatch> watch(OnPicture onPicture, std::optional<CaptureSize> fit = std::nullopt);

private:
    friend class CameraWatch;
    struct Mapping {
        void* address = nullptr;
        size_t length = 0;
    };
    struct Watcher {
        uint64_t id;
        OnPicture onPicture;
        std::optional<CaptureSize> fit;
    };
    class Decoder;

    CameraCapture(CameraDevice device, std::shared_ptr<V4L2Device> system);
    void open();  // with streamLock_ held
    void close();  // with streamLock_ held
    void unwatch(uint64_t id);
    void captureLoop(std::stop_token stop);

    const CameraDevice device_;
    const std::shared_ptr<V4L2Device> system_;
    std::optional<CameraFormat> format_;
    std::optional<CaptureSize> videoSize_;

    std::mutex streamLock_;  // guards the device state below; never taken by the capture thread
    MediaTime frameDuration_;
    int fd_ = -1;
    std::vector<Mapping> mappings_;
    std::unique_ptr<Decoder> decoder_;
    std::jthread capturer_;

    std::mutex watchersLock_;  // held while pictures are handed out, so an ended watch is never called
    std::list<Watcher> watchers_;  // guarded by watchersLock_
    uint64_t nextId_ = 1;          // guarded by watchersLock_
};

}  // namespace brindlow
