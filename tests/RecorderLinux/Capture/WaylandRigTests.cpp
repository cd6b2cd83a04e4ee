// The Wayland desktop the portal screen source is tested on: that it comes up with the
// ScreenCast portal answering.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>

#include "Support/Subprocess.h"
#include "Support/OnWaylandDesktop.h"

namespace brindlow {
namespace {

using testing::runCommand;

class WaylandRig : public testing::OnWaylandDesktop {
  protected:

    // A property of the ScreenCast portal as gdbus prints it, e.g. "(<uint32 1>,)".
    static std::string screenCastProperty(const std::string& name) {
        return runCommand({"gdbus", "call", "--session", "--dest", "org.freedesktop.portal.Desktop",
                           "--object-path", "/org/freedesktop/portal/desktop", "--method",
                           "org.freedesktop.DBus.Properties.Get",
                           "org.freedesktop.portal.ScreenCast", name},
                          false)
            .output;
    }

};

TEST_F(WaylandRig, ThePortalOffersMonitorsAtVersion4) {
    // Monitors only: the backend has no window sharing.
    EXPECT_EQ(screenCastProperty("AvailableSourceTypes"), "(<uint32 1>,)\n");
    EXPECT_EQ(screenCastProperty("version"), "(<uint32 4>,)\n");
    EXPECT_TRUE(rig.setBackground("#00ff00"));
}

}  // namespace
}  // namespace brindlow
