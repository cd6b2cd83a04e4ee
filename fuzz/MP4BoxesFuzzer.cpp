// Feeds arbitrary bytes to every box-scanner entry point. The first four bytes
// choose the scanned range so that partial scans are explored too.

#include <cstddef>
#include <cstdint>
#include <span>

#include "FragmentIndex.h"
#include "MP4Boxes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brindlow;
    if (size < 4) return 0;
    const std::span<const uint8_t> buffer(data + 4, size - 4);
    const int64_t from = int64_t(data[0]) | int64_t(data[1] & 0x7F) << 8;
    const int64_t to = int64_t(data[2]) | int64_t(data[3]) << 8;

    for (const auto& box : MP4Boxes::boxes(buffer)) {
        if (box.offset < 0 || box.size < box.header || box.offset + box.size > int64_t(buffer.size())) __builtin_trap();
    }
    (void)MP4Boxes::boxes(buffer, from, to);
    (void)MP4Boxes::boxes(buffer, from);
    (void)MP4Boxes::find({"moov", "trak", "mdia", "mdhd"}, buffer, from, to);
    (void)MP4Boxes::find({"moof", "traf", "tfdt"}, buffer);
    (void)MP4Boxes::timescale(buffer);
    (void)MP4Boxes::decodeTime(buffer);
    (void)MP4Boxes::firstMoofOffset(buffer);
    (void)FragmentIndex::entryFor(buffer, from, 0);
    (void)MP4Boxes::fragmentDuration(buffer);
    int64_t previous = from;
    for (const auto& f : MP4Boxes::completeFragments(buffer, from)) {
        if (f.offset < previous || f.end <= f.offset || f.end > int64_t(buffer.size())) __builtin_trap();
        previous = f.end;
    }
    return 0;
}
