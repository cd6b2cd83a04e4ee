#include "Support/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace brindlow {

void makePrivateDirectory(const std::filesystem::path& directory) {
    if (directory.has_parent_path()) {
        std::error_code ignored;  // a missing parent shows in mkdir's own error
        std::filesystem::create_directories(directory.parent_path(), ignored);
    }
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(),
                                "cannot create " + directory.string());
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw std::runtime_error(directory.string() + " is not a folder of this user");
    if ((st.st_mode & 07777) != 0700 && ::chmod(directory.c_str(), 0700) != 0)
        throw std::system_error(errno, std::generic_category(),
                                "cannot make " + directory.string() + " private");
}

int openPrivateFile(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0600);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    // A file that was already there keeps its mode through open.
    if (::fchmod(fd, 0600) != 0) {
        const int saved = errno;
        ::close(fd);
        throw std::system_error(saved, std::generic_category(),
                                "cannot make " + path.string() + " private");
    }
    return fd;
}

}  // namespace brindlow
