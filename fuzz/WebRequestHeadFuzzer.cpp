// Feeds arbitrary bytes to the devserver web port's request-head rewriting and Range
// parsing, as a hostile local client could send them. A head the gate passes on holds
// only CRLF line ends, and no Range header of the client's survives unrenamed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ByteRange.h"
#include "WebGate.h"

using brindlow::devserver::ByteRange;
using brindlow::devserver::WebGate;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string head = WebGate::rewriteHead(input);
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) __builtin_trap();
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) __builtin_trap();
    }
    for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
        const std::string_view line = std::string_view(head).substr(at + 2, 6);
        if (line.size() == 6 && (line[0] | 0x20) == 'r' && (line[1] | 0x20) == 'a' &&
            (line[2] | 0x20) == 'n' && (line[3] | 0x20) == 'g' && (line[4] | 0x20) == 'e' &&
            line[5] == ':')
            __builtin_trap();
    }
    // The same bytes as a Range header against a few body sizes.
    for (const int64_t bodySize : {int64_t(0), int64_t(1), int64_t(1000), int64_t(1) << 40}) {
        const ByteRange range = ByteRange::parse(input, bodySize);
        if (range.kind == ByteRange::Kind::part &&
            (range.first < 0 || range.first > range.last || range.last >= bodySize))
            __builtin_trap();
    }
    return 0;
}
