#pragma once

#include <cstdint>
#include <limits>
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

// A JSON member that must be an integer within T's range: a fraction, an exponent or a
// value out of range is refused (json::type_error or out_of_range), never converted.
template <typename T>
T integerMember(const nlohmann::json& object, const char* key) {
    const nlohmann::json& value = object.at(key);
    if (!value.is_number_integer())
        throw nlohmann::json::type_error::create(302, std::string("\"") + key + "\" must be an integer", &value);
    if constexpr (std::is_unsigned_v<T>) {
        if (value.is_number_unsigned()) {
            const auto v = value.get<uint64_t>();
            if (v > std::numeric_limits<T>::max())
                throw nlohmann::json::out_of_range::create(406, std::string("\"") + key + "\" is out of range", &value);
            return static_cast<T>(v);
        }
        if (value.get<int64_t>() < 0)
            throw nlohmann::json::out_of_range::create(406, std::string("\"") + key + "\" is negative", &value);
        return static_cast<T>(value.get<int64_t>());
    } else {
        if (value.is_number_unsigned() && value.get<uint64_t>() > uint64_t(std::numeric_limits<T>::max()))
            throw nlohmann::json::out_of_range::create(406, std::string("\"") + key + "\" is out of range", &value);
        return value.get<T>();
    }
}

}  // namespace brindlow
