#pragma once

// A private X server for a test: Xvfb on a display number it picks itself, stopped
// by PID when the object goes away.

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "Support/Subprocess.h"

namespace brindlow::testing {

class XvfbProcess {
public:
    // `screen` as Xvfb takes it, e.g. "1920x1080x24".
    explicit XvfbProcess(const std::string& screen = "1920x1080x24") {
        // Xvfb prints its display number once it accepts clients.
        const auto started = startReadingFirstLine({"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten",
                                                    "tcp", "-noreset", "+extension", "DAMAGE", "+extension", "MIT-SHM"},
                                                   10000);
        pid_ = started.pid;
        if (!started.firstLine.empty()) display_ = ":" + started.firstLine;
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
