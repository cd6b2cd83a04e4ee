// Feeds arbitrary bytes to the reader of a spooled cursor log, as a crash, a full disk
// or a hand edit could leave one. What it reads must be a log the recorder could have
// made: limits kept and every time in order.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "CursorLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using brindlow::CursorLog;
    const auto log =
        brindlow::CursorLogSpool::read(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!log) return 0;
    if (log->moves.size() > CursorLog::maxMoves || log->clicks.size() > CursorLog::maxClicks ||
        log->shapes.size() > CursorLog::maxShapes || log->elements.size() > CursorLog::maxElements)
        __builtin_trap();
    for (size_t i = 1; i < log->moves.size(); ++i)
        if (log->moves[i].t < log->moves[i - 1].t) __builtin_trap();
    for (size_t i = 1; i < log->clicks.size(); ++i)
        if (log->clicks[i].t < log->clicks[i - 1].t) __builtin_trap();
    (void)log->encoded();
    return 0;
}
