#pragma once

// A private X server for a test: Xvfb on a display number it picks itself, stopped
// by PID when the object goes away.

#include <cstdlib>
#include <string>

#include "Support/Subprocess.h"

namespace brindlow::testing {

class XvfbProcess {
public:
    // `screen` as Xvfb takes it, e.g. "1920x1080x24".
    explicit XvfbProcess(const std::string& screen = "1920x1080x24")
        : xvfb_({"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset", "+extension", "DAMAGE",
                 "+extension", "MIT-SHM"},
                ChildProcess::Options().readingOutput().withErrors(ChildProcess::Errors::discarded)) {
        // Xvfb prints its display number once it accepts clients.
        if (const auto number = xvfb_.nextLine(std::chrono::seconds(10)); number && !number->empty())
            display_ = ":" + *number;
    }

    bool ready() const { return !display_.empty(); }
    const std::string& display() const { return display_; }
    // Makes this server the process's $DISPLAY.
    void use() const { setenv("DISPLAY", display_.c_str(), 1); }

private:
    ChildProcess xvfb_;
    std::string display_;
};

}  // namespace brindlow::testing
