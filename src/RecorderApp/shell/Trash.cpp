#include "Trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <system_error>

#include "Support/Paths.h"
#include "Support/Text.h"

namespace brindlow {
namespace fs = std::filesystem;
namespace {

constexpr int maxNameAttempts = 10000;

std::string deletionDate() {
    // The trash format wants local time without a zone.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

// "Brindlow.AppImage", then "Brindlow.2.AppImage", "Brindlow.3.AppImage", ...
std::string candidateName(const fs::path& name, int attempt) {
    if (attempt == 1) return name.string();
    return name.stem().string() + "." + std::to_string(attempt) + name.extension().string();
}

bool writeAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

std::system_error failure(std::error_code ec, const std::string& what) { return std::system_error(ec, what); }

void ensureFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec)) {
        if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
        throw failure(ec, "Could not create the trash folder " + folder.string());
    }
    chmod(folder.c_str(), 0700);
}

// A move to another file system: copy first, remove the original only once the
// copy is complete, so the item exists at every moment.
std::error_code copyThenRemove(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove_all(to, ignored);
        return ec;
    }
    fs::remove_all(from, ec);
    return ec;
}

}  // namespace

Trash::Trash(fs::path root) : root_(std::move(root)) {}

Trash Trash::home() { return Trash(userDataDirectory().parent_path() / "Trash"); }

fs::path Trash::moveIn(const fs::path& item) const {
    std::error_code ec;
    const fs::path original = fs::absolute(item, ec).lexically_normal();
    if (ec) throw failure(ec, "Could not find " + item.string());
    if (fs::symlink_status(original, ec).type() == fs::file_type::not_found) {
        throw failure(std::make_error_code(std::errc::no_such_file_or_directory),
                      "Could not move " + original.string() + " to the trash");
    }
    const fs::path files = root_ / "files";
    const fs::path info = root_ / "info";
    ensureFolder(files);
    ensureFolder(info);

    const std::string record = "[Trash Info]\nPath=" + percentEncodePath(original.string()) +
                               "\nDeletionDate=" + deletionDate() + "\n";
    for (int attempt = 1; attempt <= maxNameAttempts; ++attempt) {
        const std::string name = candidateName(original.filename(), attempt);
        const fs::path infoFile = info / (name + ".trashinfo");
        const fs::path trashed = files / name;
        // Creating the info file exclusively claims the name, even against another
        // program trashing at the same moment.
        const int fd = open(infoFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            throw failure({errno, std::generic_category()}, "Could not write " + infoFile.string());
        }
        const bool written = writeAll(fd, record);
        const int writeError = errno;
        close(fd);
        auto releaseName = [&] {
            std::error_code ignored;
            fs::remove(infoFile, ignored);
        };
        if (!written) {
            releaseName();
            throw failure({writeError, std::generic_category()}, "Could not write " + infoFile.string());
        }
        if (fs::symlink_status(trashed, ec).type() != fs::file_type::not_found) {
            // A file left without its info by someone else: never overwrite it.
            releaseName();
            continue;
        }
        fs::rename(original, trashed, ec);
        if (ec == std::errc::cross_device_link) ec = copyThenRemove(original, trashed);
        if (ec) {
            releaseName();
            throw failure(ec, "Could not move " + original.string() + " to the trash");
        }
        return trashed;
    }
    throw failure(std::make_error_code(std::errc::file_exists),
                  "Could not find a free name in the trash for " + original.string());
}

}  // namespace brindlow
