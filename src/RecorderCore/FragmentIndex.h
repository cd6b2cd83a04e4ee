#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace brindlow {

// A stream's table of media fragments. Offsets are absolute stream positions:
// position 0 is the first byte of the initialization segment.
struct FragmentIndex {
    struct Entry {
        int64_t offset = 0;       // the segment's first top-level moof
        int64_t length = 0;       // from that moof to the segment's end
        uint64_t decodeTime = 0;  // in timescale ticks
        bool operator==(const Entry&) const = default;
    };

    int64_t initLength = 0;
    uint32_t timescale = 0;
    std::vector<Entry> entries;
    int64_t totalBytes = 0;

    bool operator==(const FragmentIndex&) const = default;

    // The entry for a media segment that starts at stream position `streamOffset`;
    // a segment without a readable decode time takes `latestDecodeTime`.
    static Entry entryFor(std::span<const uint8_t> segment, int64_t streamOffset, uint64_t latestDecodeTime);

    // Keys in the fixed order, every value an integer.
    nlohmann::ordered_json toJSON() const;
    std::string encoded() const { return toJSON().dump(); }
    // Requires all seven keys with integer values in range; throws nlohmann::json::exception.
    static FragmentIndex fromJSON(const nlohmann::json& j);
};

}  // namespace brindlow
