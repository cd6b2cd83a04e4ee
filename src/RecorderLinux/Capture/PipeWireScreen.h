#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Capture/ScreenSource.h"

struct spa_pod;
struct spa_pod_builder;
struct spa_meta_cursor;

namespace brindlow {

// The pixel layouts a screen stream may come in; all four bytes per pixel.
enum class ScreenPixelOrder { bgrx, bgra, rgbx, rgba };

struct ScreenStreamFormat {
    ScreenPixelOrder order = ScreenPixelOrder::bgrx;
    int width = 0;
    int height = 0;
    bool operator==(const ScreenStreamFormat&) const = default;
};

// The formats offered to the producer: raw video in the four orders, any size up to
// 16384 square (the expected one first), any frame rate (a compositor sends frames
// only when the screen changes). Built into `builder`; the pod lives in its buffer.
const spa_pod* screenFormatOffer(spa_pod_builder& builder, int expectedWidth, int expectedHeight);
// The producer's choice; nothing for anything but raw video in one of the four orders
// with a usable size.
std::optional<ScreenStreamFormat> parseScreenFormat(const spa_pod* format);

// The pointer as a stream's cursor meta states it, in stream pixels.
struct StreamCursor {
    int x = 0;
    int y = 0;
    bool visible = false;
    bool operator==(const StreamCursor&) const = default;
};
// Reads a cursor meta of `size` bytes; nothing when it is too small to hold one.
// An id of 0 means the producer knows no pointer (it is off the stream).
std::optional<StreamCursor> parseCursorMeta(const spa_meta_cursor* meta, size_t size);

// A screen stream from PipeWire, as the screen source's connection: new pictures are
// the changes, copied out of the producer's buffers as B, G, R, unused. The stream
// ending (the share stopped, the producer gone) is the connection breaking.
class PipeWireScreen final : public ScreenConnection {
public:
    // Connects through the portal's PipeWire remote (the fd is duplicated) to `node`.
    // Throws ScreenConnectionError when PipeWire refuses.
    PipeWireScreen(int remoteFd, uint32_t node, int expectedWidth, int expectedHeight);
    ~PipeWireScreen() override;

    void watch(const DisplayRect& area) override;
    bool waitForChange(std::chrono::milliseconds timeout) override;
    const uint8_t* grab(int& stride) override;

    // Waits up to `timeout` for the first picture; false when none came.
    bool waitForFirstPicture(std::chrono::milliseconds timeout);
    // The stream's latest cursor meta, when the producer sends one.
    std::optional<StreamCursor> cursor() const;
    // Ends the stream as if the producer had (the portal said the share was closed).
    void end(const std::string& why);

    struct Impl;  // holds the PipeWire objects; opaque

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace brindlow
