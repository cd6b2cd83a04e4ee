#include "MoveToApplications.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "DetachedProcess.h"
#include "MoveOffer.h"
#include "Support/AtomicFile.h"
#include "Support/ExpectError.h"
#include "Support/Text.h"

namespace brindlow {
namespace {
namespace fs = std::filesystem;

TEST(MoveToApplicationsRules, OffersOnlyAnAppImageOutsideApplicationsNotDeclinedThere) {
    const struct {
        const char* appPath;
        std::optional<std::string> declined;
        bool offered;
    } cases[] = {
        {"/home/ada/Downloads/Brindlow.AppImage", std::nullopt, true},
        {"/home/ada/Applications/Brindlow.AppImage", std::nullopt, false},
        {"/home/ada/Downloads/../Applications/Brindlow.AppImage", std::nullopt, false},
        {"/home/ada/ApplicationsOld/Brindlow.AppImage", std::nullopt, true},
        // A development build.
        {"/home/ada/src/brindlow/build/brindlow-recorder-app", std::nullopt, false},
        // Declining holds for that place only, however it was spelt.
        {"/home/ada/Downloads//Brindlow.AppImage", "~/Downloads/./Brindlow.AppImage/", false},
        {"/media/ada/USB/Brindlow.AppImage", "/home/ada/Downloads/Brindlow.AppImage", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MoveToApplications::shouldOffer(c.appPath, c.declined, "/home/ada"), c.offered)
            << c.appPath << " declined " << c.declined.value_or("(none)");
    }
}

TEST(MoveToApplicationsRules, FindsTheRemovableVolumeHoldingTheApp) {
    const std::pair<const char*, std::optional<fs::path>> cases[] = {
        {"/media/ada/USB/Brindlow.AppImage", fs::path("/media/ada/USB")},
        {"/run/media/ada/My Stick/Brindlow.AppImage", fs::path("/run/media/ada/My Stick")},
        {"/media/ada//USB/./Brindlow.AppImage", fs::path("/media/ada/USB")},
        {"/media/ada/USB/../../../home/ada/Brindlow.AppImage", std::nullopt},
        {"media/ada/USB/Brindlow.AppImage", std::nullopt},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(MoveToApplications::removableVolume(path), expected) << path;
}

// A private folder with a downloaded image, the Applications folder and a trash. The image's
// name needs escaping in the trash's records.
class InstallTest : public ::testing::Test {
protected:
    void SetUp() override { writeFile(image, "new build", 0755); }
    void TearDown() override { fs::remove_all(root); }

    static void writeFile(const fs::path& path, const std::string& contents, mode_t mode = 0644) {
        fs::create_directories(path.parent_path());
        writeFileAtomically(path, contents, mode);
    }
    static std::string contents(const fs::path& path) { return readFile(path).value_or("(unreadable)"); }
    fs::path staging() const { return applications / ".Brindlow 100%-installing.AppImage"; }

    fs::path root = fs::temp_directory_path() / ("brindlow-move-" + randomUUID());
    fs::path image = root / "Downloads/Brindlow 100%.AppImage";
    fs::path applications = root / "Applications";
    fs::path installed = applications / image.filename();
    Trash trash{root / "Trash"};
};

// Each install replaces the one before it, which goes to the trash under a name of its own.
TEST_F(InstallTest, InstallsARunnableCopyAndTrashesTheOnesItReplaces) {
    writeFile(staging() / "junk", "half a copy left by an interrupted install");
    writeFile(root / "Trash/files" / image.filename(), "orphan");  // no info file of its own
    const std::pair<mode_t, mode_t> modes[] = {{0755, 0755}, {0644, 0744}};
    for (int i = 0; i < 2; ++i) {
        const auto [source, expected] = modes[i];
        writeFile(image, "build " + std::to_string(i), source);
        EXPECT_EQ(MoveToApplications::install(image, applications, trash), installed);
        struct stat st {};
        EXPECT_EQ(stat(installed.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, expected) << std::oct << source;
        EXPECT_EQ(contents(installed), "build " + std::to_string(i));
        EXPECT_EQ(contents(image), "build " + std::to_string(i)) << "the original stays";
    }
    EXPECT_EQ(contents(root / "Trash/files/Brindlow 100%.AppImage"), "orphan");
    EXPECT_FALSE(fs::exists(root / "Trash/info/Brindlow 100%.AppImage.trashinfo"));
    EXPECT_EQ(contents(root / "Trash/files/Brindlow 100%.2.AppImage"), "build 0");
    const std::string info = contents(root / "Trash/info/Brindlow 100%.2.AppImage.trashinfo");
    const std::regex shape("\\[Trash Info\\]\nPath=(.*)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(info, match, shape)) << info;
    EXPECT_NE(match[1].str().find("/Brindlow%20100%25.AppImage"), std::string::npos) << info;
    EXPECT_EQ(percentDecode(match[1].str()), installed.string());

    EXPECT_THROW(trash.moveIn(root / "gone"), std::system_error);
    EXPECT_FALSE(fs::exists(root / "Trash/info/gone.trashinfo")) << "an info file for nothing";
}

TEST_F(InstallTest, FailuresSayWhatFailedAndLeaveNoStaging) {
    writeFile(installed, "old build", 0755);
    const fs::path missing = root / "Downloads/Missing.AppImage";
    const struct {
        std::function<void()> arrange;
        fs::path from;
        std::string message;
    } cases[] = {
        {[] {}, missing, "Could not copy " + missing.string()},
        // The old copy cannot be trashed, so it must stay where it is.
        {[&] { writeFile(root / "Trash", "a file where the trash should be"); }, image,
         "Could not create the trash folder"},
        {[&] {
             fs::remove_all(applications);
             writeFile(applications, "a file where the folder should be");
         },
         image, "Could not create " + applications.string()},
    };
    for (const auto& c : cases) {
        c.arrange();
        const auto error =
            testing::errorFrom<std::system_error>([&] { MoveToApplications::install(c.from, applications, trash); });
        EXPECT_EQ(std::string(error ? error->what() : "").rfind(c.message, 0), 0u);
        EXPECT_FALSE(fs::exists(staging()));
        EXPECT_EQ(fs::is_directory(applications) ? contents(installed) : "old build", "old build");
    }
}

// Alerts as the app shows them: the progress turns the caller's loop until the step is done.
struct FakeAlerts : MoveOfferAlerts {
    size_t ask(const std::string&, const std::string&, const std::vector<std::string>&) override {
        ++asked;
        return answer;
    }
    void inform(const std::string&, const std::string& text) override { informed.push_back(text); }
    void showProgress(const std::string&, const Progress& progress) override {
        progressThread = std::this_thread::get_id();
        for (bool done = false; !done; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            done = progress.done;  // first, so that the last fraction is seen
            if (fractions.empty() || fractions.back() != progress.fraction) fractions.push_back(progress.fraction);
            shownHalf = shownHalf || fractions.back() == 0.5;
        }
    }
    size_t answer = 0;
    int asked = 0;
    std::vector<std::string> informed;
    std::thread::id progressThread;
    std::vector<double> fractions;
    std::atomic<bool> shownHalf{false};
};

class MoveOfferTest : public InstallTest {
protected:
    // The real install, behind a slow stick that delivers half the image and the rest
    // only once the app has shown that half.
    bool offer(std::optional<fs::path> appImage, bool realInstall = true) {
        MoveOffer offer(
            alerts, settings,
            [&](const fs::path& from, const fs::path& folder, const std::function<void(double)>& progress) {
                copyThread = std::this_thread::get_id();
                if (!realInstall) return folder / from.filename();
                progress(0.5);
                for (int i = 0; i < 2000 && !alerts.shownHalf; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return MoveToApplications::install(from, folder, trash, [&](double f) { progress(0.5 + f / 2); });
            },
            [&](const fs::path& copy) { return relaunched.push_back(copy), relaunchSucceeds; },
            [&](const std::vector<std::string>& argv) { return detached.push_back(argv), true; });
        return offer.offerMoveToApplications({std::move(appImage), root});
    }
    std::optional<std::string> declined() const { return settings.string(MoveToApplications::declinedKey); }

    FakeAlerts alerts;
    Settings settings{root / "settings.json"};
    bool relaunchSucceeds = true;
    std::thread::id copyThread;
    std::vector<fs::path> relaunched;
    std::vector<std::vector<std::string>> detached;
};

TEST_F(MoveOfferTest, AcceptedCopiesBesideTheAppWhichShowsHowFarItGotThenRelaunches) {
    writeFile(image, std::string(3 << 20, 'x'), 0755);  // three pieces of a megabyte
    EXPECT_TRUE(offer(image));
    EXPECT_EQ(relaunched, std::vector<fs::path>{installed});
    EXPECT_TRUE(detached.empty()) << "nothing to unmount for a home folder";
    // The app's loop (and its hang watchdog) keeps turning while another thread copies.
    EXPECT_EQ(alerts.progressThread, std::this_thread::get_id());
    EXPECT_NE(copyThread, std::this_thread::get_id()) << "the copy held up the app";
    EXPECT_TRUE(alerts.shownHalf) << "the app never showed how far the copy got";
    EXPECT_EQ(alerts.fractions.back(), 1.0);
}

TEST_F(MoveOfferTest, NotNowOrClosingRemembersThisPlace) {
    alerts.answer = 2;
    EXPECT_FALSE(offer(root / "Downloads/." / image.filename()));
    EXPECT_EQ(declined(), image.string());
    EXPECT_FALSE(fs::exists(applications));
    // The next launch from the same place asks nothing; neither does one from outside an image.
    EXPECT_FALSE(offer(image));
    EXPECT_FALSE(offer(std::nullopt));
    EXPECT_EQ(alerts.asked, 1);
    // Settings that cannot be written still answer "no move".
    Settings unwritable(image / "settings.json");
    EXPECT_FALSE(MoveOffer(alerts, unwritable, {}, {}, {}).offerMoveToApplications({image, root}));
    EXPECT_EQ(alerts.asked, 2);
}

TEST_F(MoveOfferTest, AFailedInstallOrRelaunchShowsTheWindowInPlace) {
    writeFile(applications, "a file where the folder should be");
    EXPECT_FALSE(offer(image));
    ASSERT_EQ(alerts.informed.size(), 1u);
    EXPECT_NE(alerts.informed[0].find("(Could not create " + applications.string()), std::string::npos)
        << alerts.informed[0];
    EXPECT_FALSE(declined()) << "a failed move is not a refusal";

    // From a stick, the volume is unmounted only once the installed copy runs.
    const fs::path stick = "/media/ada/It's \"$(reboot)\"/Brindlow.AppImage";
    relaunchSucceeds = false;
    EXPECT_FALSE(offer(stick, false));
    EXPECT_TRUE(detached.empty());
    relaunchSucceeds = true;
    EXPECT_TRUE(offer(stick, false));
    EXPECT_EQ(relaunched.back(), applications / "Brindlow.AppImage");
    // The volume reaches the script as its $0, never as script text.
    ASSERT_EQ(detached.size(), 1u);
    ASSERT_EQ(detached[0].size(), 4u);
    EXPECT_EQ(detached[0][2].find("reboot"), std::string::npos);
    EXPECT_EQ(detached[0][3], "/media/ada/It's \"$(reboot)\"");
}

TEST(DetachedProcess, EnvironmentLosesOnlyWhatPointsIntoTheRunningImage) {
    const std::vector<std::string> environment = {
        "APPIMAGE=/home/ada/Downloads/Brindlow.AppImage",
        "APPDIR=/tmp/.mount_BrindlX1/",
        "PATH=/tmp/.mount_BrindlX1/usr/bin:/usr/bin:/bin",
        "QT_PLUGIN_PATH=/tmp/.mount_BrindlX1/usr/plugins:/tmp/.mount_BrindlX1",
        "XDG_DATA_DIRS=/tmp/.mount_BrindlX10/share:/usr/share",
        "HOME=/home/ada",
        "EMPTY=",
    };
    EXPECT_EQ(environmentWithoutAppImage(environment),
              (std::vector<std::string>{"PATH=/usr/bin:/bin", "XDG_DATA_DIRS=/tmp/.mount_BrindlX10/share:/usr/share",
                                        "HOME=/home/ada", "EMPTY="}));
}

TEST(DetachedProcess, RunsInItsOwnSessionWithTheGivenArgumentsAndEnvironment) {
    // The program reports through a pipe it inherits; end of file means it is done.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const std::string script = "printf '%s|%s|%s|%s' \"$1\" \"$GREETING\" \"$PPID\" \"$(cut -d' ' -f6 /proc/$$/stat)\" >&" +
                               std::to_string(pipeFds[1]);
    const std::string odd = "two words; $(and) \"quotes\"";
    ASSERT_TRUE(startDetached({"/bin/sh", "-c", script, "sh", odd}, {"GREETING=hello there", "PATH=/usr/bin:/bin"}));
    close(pipeFds[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, size_t(n));
    close(pipeFds[0]);
    const auto fields = splitDroppingEmpty(report, '|');
    ASSERT_EQ(fields.size(), 4u) << report;
    EXPECT_EQ(fields[0], odd);
    EXPECT_EQ(fields[1], "hello there");
    EXPECT_NE(fields[2], std::to_string(getpid())) << "not our child";
    EXPECT_NE(fields[3], std::to_string(getsid(0))) << "not our session";

    EXPECT_FALSE(startDetached({"/nonexistent/brindlow-recorder-app"}, {}));
    EXPECT_FALSE(startDetached({}, {}));
}

}  // namespace
}  // namespace brindlow
