#include "DetachedProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

extern char** environ;

namespace brindlow {
namespace {

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (const auto& s : strings) result.push_back(const_cast<char*>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

bool isInside(std::string_view path, std::string_view folder) {
    return path == folder || (path.size() > folder.size() && path.substr(0, folder.size()) == folder &&
                              path[folder.size()] == '/');
}

// Runs in the forked child of a possibly multi-threaded process: only calls that
// are safe between fork and exec.
[[noreturn]] void becomeDetachedChild(char* const* argv, char* const* envp, int reportFd) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        if (devNull != STDIN_FILENO) close(devNull);
    }
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaultAction, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv, envp);
    const int error = errno;
    (void)!write(reportFd, &error, sizeof error);
    _exit(127);
}

}  // namespace

bool startDetached(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    if (argv.empty()) return false;
    auto args = pointers(argv);
    auto envp = pointers(environment);
    // The exec failure of the grandchild comes back through this pipe; a successful
    // exec closes it (close-on-exec) without a word.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0) {
        close(report[0]);
        becomeDetachedChild(args.data(), envp.data(), report[1]);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int execError = 0;
    ssize_t n;
    while ((n = read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    // The intermediate child exits 1 only when it could not fork the grandchild.
    const bool forked = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return forked && n == 0;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) result.emplace_back(*entry);
    return result;
}

std::vector<std::string> environmentWithoutAppImage(const std::vector<std::string>& environment) {
    std::string appDir;
    for (const auto& entry : environment) {
        if (entry.rfind("APPDIR=", 0) == 0) appDir = entry.substr(7);
    }
    while (appDir.size() > 1 && appDir.back() == '/') appDir.pop_back();
    std::vector<std::string> result;
    for (const auto& entry : environment) {
        const auto equals = entry.find('=');
        const std::string_view name = std::string_view(entry).substr(0, equals);
        if (name == "APPIMAGE" || name == "APPDIR" || name == "ARGV0" || name == "OWD") continue;
        if (appDir.empty() || appDir == "/" || equals == std::string::npos) {
            result.push_back(entry);
            continue;
        }
        std::string kept;
        bool removed = false;
        bool first = true;
        const std::string_view value = std::string_view(entry).substr(equals + 1);
        size_t start = 0;
        while (start <= value.size()) {
            size_t end = value.find(':', start);
            if (end == std::string_view::npos) end = value.size();
            const std::string_view piece = value.substr(start, end - start);
            if (isInside(piece, appDir)) {
                removed = true;
            } else {
                if (!first) kept += ':';
                kept += piece;
                first = false;
            }
            start = end + 1;
        }
        if (!removed) {
            result.push_back(entry);
        } else if (!first) {
            result.push_back(std::string(name) + "=" + kept);
        }
    }
    return result;
}

}  // namespace brindlow
