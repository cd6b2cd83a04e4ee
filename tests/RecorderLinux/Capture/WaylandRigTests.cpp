// The Wayland desktop the portal screen source is tested on, which comes up only once its
// ScreenCast portal offers monitors: a portal that keeps shares between sessions.

#include <gtest/gtest.h>

#include "Support/OnWaylandDesktop.h"

namespace brindlow {
namespace {

using WaylandRig = testing::OnWaylandDesktop;

TEST_F(WaylandRig, ThePortalIsAtVersion4) {
    EXPECT_EQ(testing::runCommand({"gdbus", "call", "--session", "--dest", "org.freedesktop.portal.Desktop",
                                   "--object-path", "/org/freedesktop/portal/desktop", "--method",
                                   "org.freedesktop.DBus.Properties.Get", "org.freedesktop.portal.ScreenCast", "version"})
                  .output,
              "(<uint32 4>,)\n");
}

}  // namespace
}  // namespace brindlow
