#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brindlow {

// A stateless scanner for the few facts the uploader needs from fragmented MP4:
// top-level boxes, a box by path, the init segment's timescale and a fragment's
// decode time. Every read is checked against the buffer; malformed input ends a
// scan quietly with what was found before it.
namespace MP4Boxes {

struct Box {
    std::string type;  // four bytes as UTF-8, invalid bytes replaced by U+FFFD
    int64_t offset = 0;  // from the start of the scanned buffer
    int64_t size = 0;    // whole box, header included
    int64_t header = 0;  // 8, or 16 with a 64-bit size
    bool operator==(const Box&) const = default;
};

using Bytes = std::span<const uint8_t>;

// The consecutive boxes lying wholly in [from, to); `to` defaults to (and is capped at) the buffer end.
std::vector<Box> boxes(Bytes buffer, int64_t from = 0, std::optional<int64_t> to = std::nullopt);
// Depth-first search by a path of types; an empty path finds nothing.
std::optional<Box> find(std::span<const std::string_view> path, Bytes buffer, int64_t from = 0,
                        std::optional<int64_t> to = std::nullopt);
std::optional<Box> find(std::initializer_list<std::string_view> path, Bytes buffer, int64_t from = 0,
                        std::optional<int64_t> to = std::nullopt);
// The first track's media timescale; 30000 when it cannot be read.
uint32_t timescale(Bytes initSegment);
// The first track fragment's base media decode time: nothing without a moof (or when
// the tfdt is too short to hold its value), 0 for a moof without traf/tfdt.
std::optional<uint64_t> decodeTime(Bytes fragment);
// Offset of the first top-level moof, if any.
std::optional<int64_t> firstMoofOffset(Bytes segment);

// A complete media fragment: a top-level moof and the mdat after it, [offset, end).
struct Fragment {
    int64_t offset = 0;
    int64_t end = 0;
    bool operator==(const Fragment&) const = default;
};
// The complete fragments among the top-level boxes from `from`, in order. The scan ends
// at the first box cut short (or sized "to the end", which a torn file cannot vouch for).
std::vector<Fragment> completeFragments(Bytes buffer, int64_t from = 0);
// The summed sample durations of a fragment's first track, in its timescale's ticks;
// nothing when its tfhd/trun do not state them.
std::optional<uint64_t> fragmentDuration(Bytes fragment);

}  // namespace MP4Boxes

}  // namespace brindlow
