#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CaptureSource.h"

namespace brindlow {

// A screen share granted by the desktop's ScreenCast portal: the user picks a monitor
// in the desktop's own dialog, and the share arrives as a PipeWire node behind a
// remote fd. The share lasts as long as this object (its own bus connection).
class ScreenCastPortal {
public:
    struct Options {
        // A token from an earlier share, so the desktop need not ask again.
        std::optional<std::string> restoreToken;
        // How long the user may take over the dialog.
        std::chrono::milliseconds answerTimeout = std::chrono::minutes(5);
    };

    enum class CursorMode : uint32_t { hidden = 1, embedded = 2, metadata = 4 };

    // Runs CreateSession, SelectSources, Start and OpenPipeWireRemote. Throws
    // RecorderError::permissionDenied("Screen Recording") when the user refuses or
    // cancels, and ScreenConnectionError when there is no portal or it fails.
    static std::unique_ptr<ScreenCastPortal> open(const Options& options);
    ~ScreenCastPortal();
    ScreenCastPortal(const ScreenCastPortal&) = delete;
    ScreenCastPortal& operator=(const ScreenCastPortal&) = delete;

    uint32_t node() const { return node_; }
    CaptureSize size() const { return size_; }
    int remoteFd() const { return fd_; }
    CursorMode cursorMode() const { return cursorMode_; }
    // The token for the next share, when the portal gave one.
    const std::optional<std::string>& restoreToken() const { return restoreToken_; }
    // Called once, from the portal's thread, when the desktop ends the share. Once
    // this returns, an earlier callback is no longer running.
    void setOnClosed(std::function<void()> onClosed);

    struct Impl;  // the bus connection and its thread; opaque

private:
    ScreenCastPortal() = default;
    std::unique_ptr<Impl> impl_;
    uint32_t node_ = 0;
    CaptureSize size_;
    int fd_ = -1;
    CursorMode cursorMode_ = CursorMode::embedded;
    std::optional<std::string> restoreToken_;
};

}  // namespace brindlow
