#include "StoredStream.h"

#include <fstream>

namespace brindlow::devserver {

int64_t StoredStream::bytes() const {
    int64_t sum = 0;
    for (int64_t s : sizes) sum += s;
    return sum;
}

std::string StoredStream::read(int64_t offset, size_t count) const {
    std::string out;
    int64_t base = 0;
    for (size_t n = 0; n < sizes.size() && out.size() < count; ++n) {
        const int64_t end = base + sizes[n];
        const int64_t at = offset + int64_t(out.size());
        if (at >= base && at < end) {
            std::ifstream in(directory / (std::to_string(n) + ".mp4"), std::ios::binary);
            in.seekg(at - base);
            std::string chunk(size_t(std::min<int64_t>(int64_t(count - out.size()), end - at)), '\0');
            in.read(chunk.data(), std::streamsize(chunk.size()));
            const auto got = size_t(std::max<std::streamsize>(in.gcount(), 0));
            chunk.resize(got);
            out += chunk;
            if (got < size_t(std::min<int64_t>(int64_t(count), end - at))) break;
        }
        base = end;
    }
    return out;
}

}  // namespace brindlow::devserver
