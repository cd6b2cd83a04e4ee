#pragma once

#include <gtest/gtest.h>

#include "Support/WaylandPortalRig.h"

namespace brindlow::testing {

// A test on a fresh private desktop; fails (or, away from CI without the rebuilt
// backend, skips) with the reason when the desktop cannot come up.
class OnWaylandDesktop : public ::testing::Test {
  protected:
    explicit OnWaylandDesktop(int width = 1920, int height = 1080, const std::string& background = "#ff0000")
        : rig(width, height, background) {}
    void SetUp() override {
        if (!rig.ready()) {
            if (rig.maySkip()) GTEST_SKIP() << rig.problem();
            FAIL() << rig.problem();
        }
        rig.use();
    }

    WaylandPortalRig rig;
};

}  // namespace brindlow::testing
