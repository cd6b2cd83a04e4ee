// The global shortcuts through the desktop's GlobalShortcuts portal, on a private session
// bus (the test `GlobalShortcutsPortal`); the X11 grabs are tried end to end on Xvfb.

#include "GlobalShortcuts.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

#include <cstdio>
#include <string>

namespace brindlow {
namespace {

// The portal stand-in, fed commands through its standard input.
class Portal {
public:
    Portal() {
        const std::string command =
            std::string("/usr/bin/python3 ") + BRINDLOW_SHORTCUTS_PORTAL + " > " + output_;
        input_ = popen(command.c_str(), "w");
    }
    ~Portal() {
        if (input_) pclose(input_);  // end of input ends it
        std::remove(output_.c_str());
    }
    bool ready() const {
        return QTest::qWaitFor([&] { return said().find("\"ready\": true") != std::string::npos; },
                               10000);
    }
    void activate(const char* id) {
        std::fprintf(input_, "activate %s\n", id);
        std::fflush(input_);
    }
    std::string said() const {
        std::string text;
        if (FILE* file = std::fopen(output_.c_str(), "r")) {
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
            std::fclose(file);
        }
        return text;
    }

private:
    std::string output_ = "/tmp/brindlow-portal-" + std::to_string(::getpid()) + ".txt";
    FILE* input_ = nullptr;
};

TEST(GlobalShortcutsPortal, BindsBothShortcutsWithTheDesktopsKeysAndHearsThem) {
    if (!qEnvironmentVariableIsSet("BRINDLOW_IN_TEST_SESSION"))
        GTEST_SKIP() << "needs a private session bus";
    Portal portal;
    ASSERT_TRUE(portal.ready()) << portal.said();
    GlobalShortcuts shortcuts;
    QSignalSpy changed(&shortcuts, &GlobalShortcuts::changed);
    QSignalSpy activated(&shortcuts, &GlobalShortcuts::activated);
    shortcuts.install();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !shortcuts.shortcuts().empty() && shortcuts.shortcuts()[0].note.isEmpty(); },
        10000))
        << portal.said();
    EXPECT_TRUE(shortcuts.note().isEmpty());
    ASSERT_EQ(shortcuts.shortcuts().size(), 2u);
    EXPECT_EQ(shortcuts.shortcuts()[0].keys.toStdString(), "Super+R");
    EXPECT_EQ(shortcuts.shortcuts()[1].keys.toStdString(), "Super+P");
    EXPECT_GE(changed.count(), 1);

    portal.activate("pause-or-resume");
    portal.activate("record-or-stop");
    portal.activate("something-else");
    ASSERT_TRUE(QTest::qWaitFor([&] { return activated.count() >= 2; }, 5000)) << portal.said();
    QTest::qWait(100);
    ASSERT_EQ(activated.count(), 2);
    EXPECT_EQ(activated[0][0].value<GlobalShortcuts::Action>(),
              GlobalShortcuts::Action::pauseOrResume);
    EXPECT_EQ(activated[1][0].value<GlobalShortcuts::Action>(),
              GlobalShortcuts::Action::recordOrStop);
}

TEST(GlobalShortcutsPortal, WithoutAPortalThereAreNoneAndTheReasonIsGiven) {
    if (!qEnvironmentVariableIsSet("BRINDLOW_IN_TEST_SESSION"))
        GTEST_SKIP() << "needs a private session bus";
    GlobalShortcuts shortcuts;
    shortcuts.install();
    EXPECT_TRUE(shortcuts.shortcuts().empty());
    EXPECT_NE(shortcuts.note().toStdString().find("README"), std::string::npos)
        << shortcuts.note().toStdString();
}

}  // namespace
}  // namespace brindlow
