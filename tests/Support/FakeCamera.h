#pragma once

// A V4L2 camera behind the system-call seam, failing the way real drivers fail.

#include <linux/videodev2.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Capture/CameraSource.h"

namespace brindlow::testing {

using namespace std::chrono_literals;

inline constexpr v4l2_fract at30{1, 30}, at25{1, 25}, at60{1, 60}, at2997{1001, 30000};

// One size of one pixel format, with its frame intervals.
struct FakeMode {
    uint32_t fourcc, width, height;
    std::vector<v4l2_fract> discrete;           // discrete intervals, or
    std::optional<v4l2_frmival_stepwise> span;  // one stepwise range
};

// A camera behind the system-call seam: formats, sizes and intervals as a test
// lists them, buffers that fill with a fixed picture at a steady pace. Like a driver
// built on videobuf2, it lets any number of handles open it, but its buffers belong to
// the handle that asked for them: until that handle gives them back (REQBUFS with no
// buffers, or close), another handle's S_FMT, REQBUFS or STREAMON fails with EBUSY.
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
    int openCount = 0, closeCount = 0, streamsStarted = 0;
    int busyRefusals = 0;  // requests another handle's buffers refused
    // A continuous range of sizes per format, each size running at 30 per second.
    std::map<uint32_t, v4l2_frmsize_stepwise> sizeRanges;
    // The interval the driver settles on, when not the one asked for.
    std::optional<v4l2_fract> acceptedInterval;

    ~FakeCamera() { giveBack(); }

    int open(const char* path, int) override {
        std::lock_guard lock(mutex);
        if (openError) return fail(openError);
        ++openCount;
        metadataNodes[nextFd] = std::string(path).ends_with("video1");
        return nextFd++;
    }
    int close(int fd) override {
        std::lock_guard lock(mutex);
        ++closeCount;
        metadataNodes.erase(fd);
        if (owner == fd) giveBack();
        return 0;
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex);
        const bool othersBuffers = owner && *owner != fd;
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* cap = static_cast<v4l2_capability*>(argument);
                const bool metadata = metadataNodes[fd];
                std::strcpy(reinterpret_cast<char*>(cap->card), metadata ? "Fake Metadata" : "Fake Cam");
                std::strcpy(reinterpret_cast<char*>(cap->bus_info), "usb-0000:00:14.0-1");
                cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE;
                cap->device_caps = metadata ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                std::vector<uint32_t> fourccs;
                for (const auto& m : modes)
                    if (std::find(fourccs.begin(), fourccs.end(), m.fourcc) == fourccs.end()) fourccs.push_back(m.fourcc);
                for (const auto& range : sizeRanges) fourccs.push_back(range.first);
                auto* f = static_cast<v4l2_fmtdesc*>(argument);
                return f->index < fourccs.size() ? (f->pixelformat = fourccs[f->index], 0) : fail(EINVAL);
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto* s = static_cast<v4l2_frmsizeenum*>(argument);
                if (const auto range = sizeRanges.find(s->pixel_format); range != sizeRanges.end())
                    return s->index ? fail(EINVAL) : (s->type = V4L2_FRMSIZE_TYPE_STEPWISE, s->stepwise = range->second, 0);
                uint32_t n = 0;
                for (const auto& m : modes)
                    if (m.fourcc == s->pixel_format && n++ == s->index) {
                        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                        s->discrete = {m.width, m.height};
                        return 0;
                    }
                return fail(EINVAL);
            }
            case VIDIOC_ENUM_FRAMEINTERVALS: {
                auto* i = static_cast<v4l2_frmivalenum*>(argument);
                FakeMode m{};  // the mode asked about; none has no intervals
                if (const auto range = sizeRanges.find(i->pixel_format); range != sizeRanges.end()) {
                    const auto& r = range->second;
                    if (i->width >= r.min_width && i->width <= r.max_width && i->height >= r.min_height &&
                        i->height <= r.max_height)
                        m.discrete = {at30};
                }
                for (const auto& mode : modes)
                    if (mode.fourcc == i->pixel_format && mode.width == i->width && mode.height == i->height) m = mode;
                if (m.span && i->index == 0) return i->type = V4L2_FRMIVAL_TYPE_STEPWISE, i->stepwise = *m.span, 0;
                if (i->index >= m.discrete.size()) return fail(EINVAL);
                i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                i->discrete = m.discrete[i->index];
                return 0;
            }
            case VIDIOC_S_FMT: return othersBuffers ? busy() : (applied = *static_cast<v4l2_format*>(argument), 0);
            case VIDIOC_S_PARM: {
                auto& interval = static_cast<v4l2_streamparm*>(argument)->parm.capture.timeperframe;
                appliedInterval = interval;
                interval = acceptedInterval.value_or(interval);
                return 0;
            }
            case VIDIOC_REQBUFS: {
                if (othersBuffers) return busy();
                giveBack();
                const uint32_t count = static_cast<v4l2_requestbuffers*>(argument)->count;
                if (count) owner = fd;
                for (uint32_t i = 0; i < count; ++i) buffers.push_back(guardedBuffer(std::max<size_t>(picture.size(), 1)));
                return 0;
            }
            case VIDIOC_QUERYBUF: {
                auto* b = static_cast<v4l2_buffer*>(argument);
                return b->length = uint32_t(buffers.at(b->index).size), b->m.offset = b->index * 4096, 0;
            }
            case VIDIOC_QBUF: queued.push_back(static_cast<v4l2_buffer*>(argument)->index); return 0;
            case VIDIOC_DQBUF: {
                if (othersBuffers) return fail(EINVAL);
                if (!streaming || queued.empty()) return fail(EAGAIN);
                auto* b = static_cast<v4l2_buffer*>(argument);
                b->index = queued.front();
                queued.erase(queued.begin());
                std::memcpy(buffers[b->index].data, picture.data(), picture.size());
                b->bytesused = uint32_t(picture.size());
                const auto now = std::chrono::steady_clock::now().time_since_epoch();
                b->timestamp = {time_t(now / 1s), suseconds_t(now % 1s / 1us)};
                b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
                stamps.push_back(b->timestamp);
                return 0;
            }
            case VIDIOC_STREAMOFF: return othersBuffers ? busy() : (streaming = false, 0);
            case VIDIOC_STREAMON:
                if (othersBuffers) return busy();
                return owner ? (streaming = true, ++streamsStarted, 0) : fail(EINVAL);
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
    static int fail(int error) { return errno = error, -1; }
    int busy() { return ++busyRefusals, fail(EBUSY); }
    // A driver's buffer ends where its mapping ends: the next page is unreadable, so a
    // reader that runs past the bytes it was given faults here as it could on a camera.
    struct Buffer { uint8_t* data; size_t size, mapped; void* base; };
    static Buffer guardedBuffer(size_t size) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE)), body = (size + page - 1) / page * page;
        void* base = ::mmap(nullptr, body + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        ::mprotect(static_cast<uint8_t*>(base) + body, page, PROT_NONE);
        return {static_cast<uint8_t*>(base) + body - size, size, body + page, base};
    }
    void giveBack() {
        for (const auto& b : buffers) ::munmap(b.base, b.mapped);
        buffers.clear();
        queued.clear();
        streaming = false;
        owner.reset();
    }
    std::vector<Buffer> buffers;
    std::vector<uint32_t> queued;
    std::optional<int> owner;           // the handle the buffers belong to
    std::map<int, bool> metadataNodes;  // open handles: whether on the metadata-only node
    int nextFd = 10;
};

// Packed YUYV of one colour.
inline std::string yuyv(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
    std::string bytes;
    for (int i = 0; i < width * height / 2; ++i) bytes += {char(y), char(u), char(y), char(v)};
    return bytes;
}

}  // namespace brindlow::testing
