#pragma once

#include <cstdint>
#include <string_view>

namespace brindlow::devserver {

// What a Range request header asks of a body of `size` bytes. One range of bytes
// is served; a header naming several is refused as malformed rather than
// answered in parts, which no page of ours asks for.
struct ByteRange {
    enum class Kind { whole, part, unsatisfiable, malformed };
    Kind kind = Kind::whole;
    int64_t first = 0;  // the first byte served, for `part`
    int64_t last = 0;   // the last byte served (inclusive), for `part`

    bool operator==(const ByteRange&) const = default;

    // An empty header asks for the whole body.
    static ByteRange parse(std::string_view header, int64_t size);
};

}  // namespace brindlow::devserver
