#include "MP4Boxes.h"

#include <limits>

#include "Support/Text.h"

namespace brindlow::MP4Boxes {
namespace {

constexpr uint32_t kDefaultTimescale = 30000;

uint32_t readUInt32(Bytes b, int64_t at) {
    const auto i = static_cast<size_t>(at);
    return uint32_t(b[i]) << 24 | uint32_t(b[i + 1]) << 16 | uint32_t(b[i + 2]) << 8 | uint32_t(b[i + 3]);
}

uint64_t readUInt64(Bytes b, int64_t at) { return uint64_t(readUInt32(b, at)) << 32 | readUInt32(b, at + 4); }

std::string fourCC(Bytes b, int64_t at) {
    const char* p = reinterpret_cast<const char*>(b.data()) + at;
    bool ascii = true;
    for (int k = 0; k < 4; ++k) ascii = ascii && static_cast<unsigned char>(p[k]) < 0x80;
    return ascii ? std::string(p, 4) : sanitizeUTF8(std::string_view(p, 4));
}

int64_t length(Bytes b) { return static_cast<int64_t>(b.size()); }

// Calls `visit` for each complete box in [from, to) until it returns false.
template <typename Visit>
void scan(Bytes buffer, int64_t from, std::optional<int64_t> to, Visit visit) {
    int64_t end = to.value_or(length(buffer));
    if (end > length(buffer)) end = length(buffer);
    if (from < 0) return;
    int64_t cursor = from;
    while (cursor <= end - 8) {
        const uint32_t size32 = readUInt32(buffer, cursor);
        int64_t size;
        int64_t header = 8;
        if (size32 == 0) {
            size = end - cursor;
        } else if (size32 == 1) {
            if (cursor > end - 16) return;
            const uint64_t size64 = readUInt64(buffer, cursor + 8);
            if (size64 > uint64_t(std::numeric_limits<int64_t>::max())) return;
            size = static_cast<int64_t>(size64);
            header = 16;
            if (size < 16) return;
        } else {
            size = size32;
            if (size < 8) return;
        }
        if (size > end - cursor) return;
        if (!visit(Box{fourCC(buffer, cursor + 4), cursor, size, header})) return;
        cursor += size;
    }
}

std::optional<Box> findIn(std::span<const std::string_view> path, Bytes buffer, int64_t from,
                          std::optional<int64_t> to) {
    if (path.empty()) return std::nullopt;
    std::optional<Box> found;
    scan(buffer, from, to, [&](const Box& box) {
        if (box.type != path.front()) return true;
        if (path.size() == 1) {
            found = box;
            return false;
        }
        found = findIn(path.subspan(1), buffer, box.offset + box.header, box.offset + box.size);
        return !found;
    });
    return found;
}

}  // namespace

std::vector<Box> boxes(Bytes buffer, int64_t from, std::optional<int64_t> to) {
    std::vector<Box> result;
    scan(buffer, from, to, [&](const Box& box) {
        result.push_back(box);
        return true;
    });
    return result;
}

std::optional<Box> find(std::span<const std::string_view> path, Bytes buffer, int64_t from,
                        std::optional<int64_t> to) {
    return findIn(path, buffer, from, to);
}

std::optional<Box> find(std::initializer_list<std::string_view> path, Bytes buffer, int64_t from,
                        std::optional<int64_t> to) {
    return findIn(std::span(path.begin(), path.size()), buffer, from, to);
}

uint32_t timescale(Bytes init) {
    const auto mdhd = find({"moov", "trak", "mdia", "mdhd"}, init);
    if (!mdhd) return kDefaultTimescale;
    const int64_t payload = mdhd->offset + mdhd->header;
    if (payload >= length(init)) return kDefaultTimescale;
    const int64_t field = payload + (init[size_t(payload)] == 1 ? 20 : 12);
    if (field > length(init) - 4) return kDefaultTimescale;
    const uint32_t value = readUInt32(init, field);
    return value == 0 ? kDefaultTimescale : value;
}

std::optional<uint64_t> decodeTime(Bytes fragment) {
    const auto moof = find({"moof"}, fragment);
    if (!moof) return std::nullopt;
    const auto tfdt = find({"traf", "tfdt"}, fragment, moof->offset + moof->header, moof->offset + moof->size);
    if (!tfdt) return 0;
    // A short tfdt holds no value; read nothing outside the box.
    const int64_t payload = tfdt->offset + tfdt->header;
    const int64_t boxEnd = tfdt->offset + tfdt->size;
    if (payload >= boxEnd) return std::nullopt;
    if (fragment[size_t(payload)] == 1) {
        if (boxEnd - payload < 12) return std::nullopt;
        return readUInt64(fragment, payload + 4);
    }
    if (boxEnd - payload < 8) return std::nullopt;
    return readUInt32(fragment, payload + 4);
}

std::optional<int64_t> firstMoofOffset(Bytes segment) {
    const auto moof = find({"moof"}, segment);
    if (!moof) return std::nullopt;
    return moof->offset;
}

std::vector<Fragment> completeFragments(Bytes buffer, int64_t from) {
    std::vector<Fragment> fragments;
    int64_t moof = -1;  // the moof waiting for its mdat
    scan(buffer, from, std::nullopt, [&](const Box& box) {
        if (readUInt32(buffer, box.offset) == 0) return false;
        if (box.type == "moof") {
            moof = box.offset;
        } else if (box.type == "mdat" && moof >= 0) {
            fragments.push_back(Fragment{moof, box.offset + box.size});
            moof = -1;
        }
        return true;
    });
    return fragments;
}

std::optional<uint64_t> fragmentDuration(Bytes fragment) {
    const auto moof = find({"moof"}, fragment);
    if (!moof) return std::nullopt;
    const auto traf = find({"traf"}, fragment, moof->offset + moof->header, moof->offset + moof->size);
    if (!traf) return std::nullopt;
    const int64_t trafBody = traf->offset + traf->header, trafEnd = traf->offset + traf->size;
    // Every field read below is checked against its own box's end.
    std::optional<uint32_t> defaultDuration;
    if (const auto tfhd = find({"tfhd"}, fragment, trafBody, trafEnd)) {
        const int64_t body = tfhd->offset + tfhd->header, end = tfhd->offset + tfhd->size;
        if (end - body >= 8) {
            const uint32_t flags = readUInt32(fragment, body) & 0xffffff;
            int64_t at = body + 8;  // after version, flags and track_ID
            if (flags & 0x01) at += 8;
            if (flags & 0x02) at += 4;
            if ((flags & 0x08) && at + 4 <= end) defaultDuration = readUInt32(fragment, at);
        }
    }
    uint64_t total = 0;
    bool any = false;
    for (const Box& box : boxes(fragment, trafBody, trafEnd)) {
        if (box.type != "trun") continue;
        const int64_t body = box.offset + box.header, end = box.offset + box.size;
        if (end - body < 8) return std::nullopt;
        const uint32_t flags = readUInt32(fragment, body) & 0xffffff;
        const uint32_t count = readUInt32(fragment, body + 4);
        int64_t at = body + 8;
        if (flags & 0x01) at += 4;
        if (flags & 0x04) at += 4;
        const int64_t perSample = 4 * (((flags >> 8) & 1) + ((flags >> 9) & 1) + ((flags >> 10) & 1) + ((flags >> 11) & 1));
        if (!(flags & 0x100)) {
            if (!defaultDuration) return std::nullopt;
            total += uint64_t(*defaultDuration) * count;
        } else {
            if (at + perSample * int64_t(count) > end) return std::nullopt;
            for (uint32_t i = 0; i < count; ++i) total += readUInt32(fragment, at + perSample * int64_t(i));
        }
        any = true;
    }
    if (!any) return std::nullopt;
    return total;
}

}  // namespace brindlow::MP4Boxes
