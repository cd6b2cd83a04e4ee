#include "FragmentIndex.h"

#include "MP4Boxes.h"

namespace brindlow {

FragmentIndex::Entry FragmentIndex::entryFor(std::span<const uint8_t> segment, int64_t streamOffset,
                                             uint64_t latestDecodeTime) {
    const int64_t moof = MP4Boxes::firstMoofOffset(segment).value_or(0);
    return Entry{streamOffset + moof, static_cast<int64_t>(segment.size()) - moof,
                 MP4Boxes::decodeTime(segment).value_or(latestDecodeTime)};
}

nlohmann::ordered_json FragmentIndex::toJSON() const {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Entry& e : entries) {
        nlohmann::ordered_json entry;
        entry["offset"] = e.offset;
        entry["length"] = e.length;
        entry["decodeTime"] = e.decodeTime;
        list.push_back(std::move(entry));
    }
    nlohmann::ordered_json j;
    j["initLength"] = initLength;
    j["timescale"] = timescale;
    j["entries"] = std::move(list);
    j["totalBytes"] = totalBytes;
    return j;
}

FragmentIndex FragmentIndex::fromJSON(const nlohmann::json& j) {
    FragmentIndex index;
    index.initLength = integerMember<int64_t>(j, "initLength");
    index.timescale = integerMember<uint32_t>(j, "timescale");
    const nlohmann::json& list = j.at("entries");
    if (!list.is_array()) throw nlohmann::json::type_error::create(302, "\"entries\" must be an array", &list);
    for (const auto& e : list) {
        index.entries.push_back({integerMember<int64_t>(e, "offset"), integerMember<int64_t>(e, "length"),
                                 integerMember<uint64_t>(e, "decodeTime")});
    }
    index.totalBytes = integerMember<int64_t>(j, "totalBytes");
    return index;
}

}  // namespace brindlow
