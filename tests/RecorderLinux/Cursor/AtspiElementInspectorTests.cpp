#include "Cursor/AtspiElementInspector.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "Support/Subprocess.h"
#include "Support/XvfbProcess.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;

TEST(AtspiRoles, ShortLowerCaseNames) {
    const std::pair<const char*, const char*> cases[] = {{"push button", "button"}, {"label", "statictext"}, {"check box", "checkbox"},
                                                         {"page tab", "tab"}, {"Tear Off Menu Item", "tearoffmenuitem"}};
    for (const auto& [role, name] : cases) EXPECT_EQ(AtspiElementInspector::shortRole(role), name);
}

// Run by tests/Support/with-session-bus.sh --a11y: a private session bus with the
// accessibility bus on it.
class AccessibilityOnXvfb : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* why = std::getenv("BRINDLOW_SESSION_SKIP")) GTEST_SKIP() << "no accessibility bus: " << why;
        if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
        xvfb.use();
    }
    // Starts the test window; returns the button's rectangle as it printed it.
    std::optional<Rect> startApp() {
        setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        app.emplace(std::vector<std::string>{BRINDLOW_LABELLED_BUTTON_APP},
                    testing::ChildProcess::Options().readingOutput().withErrors(testing::ChildProcess::Errors::discarded));
        Rect r;
        if (!(std::istringstream(app->nextLine(std::chrono::seconds(15)).value_or("")) >> r.x >> r.y >> r.width >> r.height))
            return std::nullopt;
        return r;
    }

    testing::XvfbProcess xvfb{"1280x720x24"};
    std::optional<testing::ChildProcess> app;
};

TEST_F(AccessibilityOnXvfb, HittingAButtonGivesItsRoleLabelAndExtents) {
    EXPECT_TRUE(AtspiElementInspector::requestTrust());
    ASSERT_TRUE(AtspiElementInspector::isTrusted());
    const auto button = startApp();
    ASSERT_TRUE(button) << "the test window did not start";
    AtspiElementInspector inspector;
    const Point centre{button->x + button->width / 2, button->y + button->height / 2};
    std::optional<InspectedElement> found;
    // The application publishes its tree shortly after it shows the window.
    for (int attempt = 0; attempt < 50 && (!found || found->role != "button"); ++attempt) {
        found = inspector.element(centre);
        if (!found || found->role != "button") std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(found->role, "button");
    EXPECT_EQ(found->label, "Save");
    EXPECT_EQ(found->frame, *button);
    // Off every window: nothing.
    EXPECT_FALSE(inspector.element({1200, 700}));
    // An inspection out of time reports nothing rather than holding on.
    EXPECT_FALSE(AtspiElementInspector(0ms).element(centre));
    EXPECT_TRUE(inspector.element(centre)) << "the budget of one inspection does not carry over to the next";
}

TEST(Accessibility, NoSessionBusIsNotTrusted) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address) GTEST_SKIP() << "runs only without a session bus";
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
    EXPECT_FALSE(AtspiElementInspector::isTrusted());
    EXPECT_FALSE(AtspiElementInspector::requestTrust());
}

}  // namespace
}  // namespace brindlow
