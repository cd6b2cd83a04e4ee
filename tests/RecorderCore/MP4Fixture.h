#pragma once

// Builds ISO-BMFF bytes field by field for scanner tests and benchmarks.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace brindlow::fixture {

using Bytes = std::vector<uint8_t>;

inline void putU32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}
inline void putU64(Bytes& out, uint64_t v) {
    putU32(out, uint32_t(v >> 32));
    putU32(out, uint32_t(v));
}
inline void putType(Bytes& out, std::string_view type) {
    for (size_t i = 0; i < 4; ++i) out.push_back(i < type.size() ? uint8_t(type[i]) : uint8_t(' '));
}
inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// size(4) type(4) payload
inline Bytes box(std::string_view type, const Bytes& payload = {}) {
    Bytes out;
    putU32(out, uint32_t(8 + payload.size()));
    putType(out, type);
    return concat({out, payload});
}
// size(4)=1 type(4) largesize(8) payload
inline Bytes largeBox(std::string_view type, const Bytes& payload = {}) {
    Bytes out{0, 0, 0, 1};
    putType(out, type);
    putU64(out, 16 + payload.size());
    return concat({out, payload});
}
inline Bytes container(std::string_view type, std::initializer_list<Bytes> children) {
    return box(type, concat(children));
}
// version(1) flags(3) body
inline Bytes fullBox(std::string_view type, uint8_t version, const Bytes& body) {
    return box(type, concat({{version, 0, 0, 0}, body}));
}

// Creation and modification times, the timescale, the duration, language + pre_defined.
inline Bytes mdhd(uint8_t version, uint32_t timescale) {
    Bytes body(version == 1 ? 16 : 8, 0);
    putU32(body, timescale);
    body.resize(body.size() + (version == 1 ? 8 : 4) + 4, 0);
    return fullBox("mdhd", version, body);
}

inline Bytes tfdt(uint8_t version, uint64_t decodeTime) {
    Bytes body;
    if (version == 1) putU64(body, decodeTime);
    else putU32(body, uint32_t(decodeTime));
    return fullBox("tfdt", version, body);
}

// ftyp + moov with one video track of the given timescale.
inline Bytes initSegment(uint32_t timescale) {
    return concat({box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0}),
                   container("moov", {fullBox("mvhd", 0, Bytes(96, 0)),
                                      container("trak", {container("mdia", {mdhd(0, timescale)})})})});
}

// moof(mfhd, traf(tfhd, tfdt)) + mdat of `mdatBytes` payload bytes.
inline Bytes mediaSegment(uint64_t decodeTime, size_t mdatBytes, uint8_t tfdtVersion = 1) {
    return concat({container("moof", {fullBox("mfhd", 0, Bytes(4, 0)),
                                      container("traf", {fullBox("tfhd", 0, Bytes(4, 0)),
                                                         tfdt(tfdtVersion, decodeTime)})}),
                   box("mdat", Bytes(mdatBytes, 0xAB))});
}

// A fragment whose sample durations are stated in its tfhd (one default) or its trun (one each).
inline Bytes timedSegment(uint64_t decodeTime, uint32_t samples, uint32_t sampleDuration, bool perSample) {
    Bytes tfhd{0, 0x02, 0, uint8_t(perSample ? 0 : 0x08)};  // default-base-is-moof (+ default duration)
    putU32(tfhd, 1);                                          // track_ID
    if (!perSample) putU32(tfhd, sampleDuration);
    Bytes trun{0, 0, uint8_t(perSample ? 0x03 : 0x02), 0x01};  // data offset, sizes (+ durations)
    putU32(trun, samples);
    putU32(trun, 0);  // data offset
    for (uint32_t i = 0; i < samples; ++i) {
        if (perSample) putU32(trun, sampleDuration + i);
        putU32(trun, 10);
    }
    return concat({container("moof", {fullBox("mfhd", 0, Bytes(4, 0)),
                                      container("traf", {box("tfhd", tfhd), tfdt(1, decodeTime), box("trun", trun)})}),
                   box("mdat", Bytes(size_t(samples) * 10, 0xCD))});
}

}  // namespace brindlow::fixture
