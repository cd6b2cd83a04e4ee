#pragma once

#include <gtest/gtest.h>

#include "Support/WaylandPortalRig.h"

namespace brindlow::testing {

// A test on the binary's private desktop; fails (or, away from CI without the rebuilt
// backend, skips) with the reason when the desktop cannot come up.
class OnWaylandDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!rig.ready() && rig.maySkip()) GTEST_SKIP() << rig.problem();
        ASSERT_TRUE(rig.ready()) << rig.problem();
        rig.use();
    }

    WaylandPortalRig& rig = WaylandPortalRig::shared();
};

}  // namespace brindlow::testing
