// The global shortcuts through the desktop's GlobalShortcuts portal, on a private session
// bus (the test `GlobalShortcutsPortal`); the X11 grabs are tried end to end on Xvfb.

#include "GlobalShortcuts.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <string>

#include "Support/Subprocess.h"

namespace brindlow {
namespace {

TEST(GlobalShortcutsPortal, BindsTheDesktopsKeysAndHearsThemOrSaysWhyThereAreNone) {
    if (!qEnvironmentVariableIsSet("BRINDLOW_IN_TEST_SESSION")) GTEST_SKIP() << "needs a private session bus";
    {
        // The portal stand-in, told what to send on its standard input.
        testing::ChildProcess portal({"/usr/bin/python3", BRINDLOW_SHORTCUTS_PORTAL},
                                     testing::ChildProcess::Options().readingOutput().typingInput().withErrors(
                                         testing::ChildProcess::Errors::inherited));
        ASSERT_EQ(portal.nextLine(std::chrono::seconds(10)).value_or(""), R"({"ready": true})");
        GlobalShortcuts shortcuts;
        QSignalSpy changed(&shortcuts, &GlobalShortcuts::changed);
        QSignalSpy activated(&shortcuts, &GlobalShortcuts::activated);
        shortcuts.install();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !shortcuts.shortcuts().empty() && shortcuts.shortcuts()[0].note.isEmpty(); }, 10000));
        EXPECT_TRUE(shortcuts.note().isEmpty());
        ASSERT_EQ(shortcuts.shortcuts().size(), 2u);
        const auto& bound = shortcuts.shortcuts();
        EXPECT_EQ((bound[0].keys + " " + bound[1].keys).toStdString(), "Super+R Super+P");
        EXPECT_GE(changed.count(), 1);

        // An unknown one first: had it been taken for one of ours, the first two would not match.
        portal.type("activate something-else\nactivate pause-or-resume\nactivate record-or-stop\n");
        ASSERT_TRUE(QTest::qWaitFor([&] { return activated.count() >= 2; }, 5000));
        EXPECT_EQ(activated[0][0].value<GlobalShortcuts::Action>(), GlobalShortcuts::Action::pauseOrResume);
        EXPECT_EQ(activated[1][0].value<GlobalShortcuts::Action>(), GlobalShortcuts::Action::recordOrStop);
    }
    // Without it no portal on the bus offers GlobalShortcuts (Debian 12's has none).
    {
        GlobalShortcuts none;
        none.install();
        EXPECT_TRUE(none.shortcuts().empty());
        EXPECT_NE(none.note().indexOf("README"), -1) << none.note().toStdString();
    }
}

}  // namespace
}  // namespace brindlow
