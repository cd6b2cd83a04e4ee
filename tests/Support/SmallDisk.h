#pragma once

// A file system of a given size of its own at a folder, for tests that fill a disk: a
// tmpfs (which needs root), unmounted when the object goes away.

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace brindlow::testing {

class SmallDisk {
public:
    SmallDisk(std::filesystem::path at, const std::string& size) : at_(std::move(at)) {
        std::filesystem::create_directories(at_);
        if (mount("tmpfs", at_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) refusal_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted()) umount2(at_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return refusal_.empty(); }
    // Why it could not be mounted.
    const std::string& refusal() const { return refusal_; }

private:
    std::filesystem::path at_;
    std::string refusal_;
};

}  // namespace brindlow::testing
