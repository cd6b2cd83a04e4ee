#pragma once

// A private X server for a test: Xvfb on a display number it picks itself, stopped
// by PID when the object goes away.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace brindlow::testing {

class XvfbProcess {
public:
    // `screen` as Xvfb takes it, e.g. "1920x1080x24".
    explicit XvfbProcess(const std::string& screen = "1920x1080x24") {
        int fds[2];
        if (pipe(fds) != 0) return;
        const std::string fd = std::to_string(fds[1]);
        std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp",
                                         "-noreset", "+extension", "DAMAGE", "+extension", "MIT-SHM"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        // Not the test's own output: a daemon outliving a crashed test would hold it open.
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // Xvfb writes its display number once it accepts clients.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (pid_ > 0 && number.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
            char buffer[16];
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            number.append(buffer, size_t(n));
        }
        close(fds[0]);
        if (number.find('\n') != std::string::npos) display_ = ":" + number.substr(0, number.find('\n'));
    }
    ~XvfbProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    XvfbProcess(const XvfbProcess&) = delete;
    XvfbProcess& operator=(const XvfbProcess&) = delete;

    bool ready() const { return !display_.empty(); }
    const std::string& display() const { return display_; }
    // Makes this server the process's $DISPLAY.
    void use() const { setenv("DISPLAY", display_.c_str(), 1); }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace brindlow::testing
