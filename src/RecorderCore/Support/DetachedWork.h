#pragma once

#include <chrono>
#include <functional>

namespace brindlow {

// Work that must not be cut short when its owner goes away (a telemetry flush, a take's
// backend notices) runs on a thread of its own that nobody joins. Each is counted, so
// the process can give them a bounded time to end before it exits, rather than let
// them run on while static objects are destroyed.
namespace DetachedWork {

// Runs `work` on a new thread; throws std::system_error when no thread can be had.
void start(std::function<void()> work);
// Waits until no such work runs, at most `limit`; answers whether none runs.
bool waitForAll(std::chrono::milliseconds limit);

}  // namespace DetachedWork

}  // namespace brindlow
