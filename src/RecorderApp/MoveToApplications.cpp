#include "MoveToApplications.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <system_error>
#include <vector>

namespace brindlow::MoveToApplications {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view appSuffix = ".AppImage";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::system_error failure(std::error_code ec, const std::string& what) { return std::system_error(ec, what); }

std::error_code lastError() {
    return std::error_code(errno, std::generic_category());
}

// Copies a regular file in pieces, telling how far it got after each.
void copyFile(const fs::path& from, const fs::path& to, const std::function<void(double)>& progress,
              std::error_code& ec) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        ec = lastError();
        return;
    }
    struct stat st {};
    const int out = ::fstat(in, &st) == 0
                        ? ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                        : -1;
    if (out < 0) {
        ec = lastError();
        ::close(in);
        return;
    }
    const double total = double(st.st_size);
    std::vector<char> buffer(1 << 20);
    double copied = 0;
    while (!ec) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ec = lastError();
        if (n <= 0) break;
        for (ssize_t written = 0; written < n && !ec;) {
            const ssize_t w = ::write(out, buffer.data() + written, size_t(n - written));
            if (w < 0 && errno != EINTR) ec = lastError();
            if (w > 0) written += w;
        }
        copied += double(n);
        if (progress && total > 0) progress(std::min(1.0, copied / total));
    }
    if (::close(out) != 0 && !ec) ec = lastError();
    ::close(in);
}

}  // namespace

fs::path destinationFolder(const fs::path& home) { return home / "Applications"; }

std::string standardizedPath(std::string_view path, std::string_view home) {
    std::string expanded(path);
    if (!home.empty() && (path == "~" || startsWith(path, "~/"))) {
        expanded = std::string(home) + std::string(path.substr(1));
    }
    std::string normal = fs::path(expanded).lexically_normal().string();
    // "/a/b/" normalises to "/a/b/"; the folder and the file are the same place here.
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

bool shouldOffer(std::string_view appPath, const std::optional<std::string>& declinedPath, std::string_view home) {
    const std::string app = standardizedPath(appPath, home);
    if (!endsWith(app, appSuffix)) return false;
    const std::string standardHome = standardizedPath(home, home);
    if (!standardHome.empty() && startsWith(app, destinationFolder(standardHome).string() + "/")) return false;
    if (!declinedPath) return true;
    return standardizedPath(*declinedPath, home) != app;
}

fs::path originalPath(const fs::path& app) { return app; }

std::optional<fs::path> removableVolume(const fs::path& app) {
    const fs::path standard(standardizedPath(app.string(), {}));
    std::vector<std::string> parts;
    for (const auto& part : standard) parts.push_back(part.string());
    // The root, the mount base, the user, the volume and at least one entry on it.
    if (parts.size() >= 5 && parts[0] == "/" && parts[1] == "media") return fs::path("/media") / parts[2] / parts[3];
    if (parts.size() >= 6 && parts[0] == "/" && parts[1] == "run" && parts[2] == "media") {
        return fs::path("/run/media") / parts[3] / parts[4];
    }
    return std::nullopt;
}

fs::path install(const fs::path& from, const fs::path& into, const Trash& trash,
                 const std::function<void(double)>& progress) {
    const fs::path destination = into / from.filename();
    const fs::path staging = into / ("." + from.stem().string() + "-installing" + std::string(appSuffix));
    std::error_code ec;
    fs::remove_all(staging, ec);

    fs::create_directories(into, ec);
    if (ec) throw failure(ec, "Could not create " + into.string());
    if (fs::is_regular_file(from, ec))
        copyFile(from, staging, progress, ec);
    else if (!ec)
        fs::copy(from, staging, fs::copy_options::recursive, ec);
    if (!ec) {
        // The copy must stay runnable whatever the umask made of it.
        const auto mode = fs::status(from, ec).permissions();
        if (!ec) fs::permissions(staging, mode | fs::perms::owner_exec | fs::perms::owner_read, ec);
    }
    if (ec) {
        const std::error_code copyError = ec;
        fs::remove_all(staging, ec);
        throw failure(copyError, "Could not copy " + from.string() + " to " + into.string());
    }

    try {
        if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found) trash.moveIn(destination);
        fs::rename(staging, destination, ec);
        if (ec) throw failure(ec, "Could not move the new copy to " + destination.string());
    } catch (const std::system_error&) {
        fs::remove_all(staging, ec);
        throw;
    }
    if (progress) progress(1.0);
    return destination;
}

}  // namespace brindlow::MoveToApplications
