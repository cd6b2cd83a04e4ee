#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace brindlow::devserver {

// One stream's stored bytes: the range objects 0..n-1 of a directory, read as the
// one file they make when concatenated (range 0 begins with the init segment).
struct StoredStream {
    std::filesystem::path directory;  // <n>.mp4 live here
    std::vector<int64_t> sizes;       // of ranges 0, 1, …, in bytes

    int64_t bytes() const;
    // Up to `count` bytes from stream position `offset`; shorter at the end or where
    // a range file is shorter than its size says.
    std::string read(int64_t offset, size_t count) const;
};

}  // namespace brindlow::devserver
