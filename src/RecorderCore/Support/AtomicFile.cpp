#include "Support/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

namespace brindlow {
namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode) {
    const auto directory = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string temp = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(temp.data());
    if (fd < 0) throwErrno("cannot create a temporary file beside " + path.string());
    auto fail = [&](const std::string& what) {
        const int saved = errno;
        close(fd);
        unlink(temp.c_str());
        errno = saved;
        throwErrno(what);
    };
    size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = write(fd, contents.data() + written, contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write " + temp);
        }
        written += static_cast<size_t>(n);
    }
    if (fchmod(fd, mode) != 0) fail("cannot set the mode of " + temp);
    if (fsync(fd) != 0) fail("cannot sync " + temp);
    if (close(fd) != 0) {
        unlink(temp.c_str());
        throwErrno("cannot close " + temp);
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        unlink(temp.c_str());
        errno = saved;
        throwErrno("cannot replace " + path.string());
    }
    // Make the rename itself durable.
    const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(buffer).str();
}

}  // namespace brindlow
