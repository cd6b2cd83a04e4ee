#include "MoveToApplications.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <regex>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "DetachedProcess.h"
#include "MoveOffer.h"
#include "Support/AtomicFile.h"
#include "Support/Text.h"

namespace brindlow {
namespace {
namespace fs = std::filesystem;

constexpr const char* home = "/home/ada";

struct OfferCase {
    const char* appPath;
    std::optional<std::string> declined;
    bool offered;
};

TEST(MoveToApplicationsRules, OffersOnlyAnAppImageOutsideApplicationsNotDeclinedThere) {
    const OfferCase cases[] = {
        {"/home/ada/Downloads/Brindlow.AppImage", std::nullopt, true},
        // Only the home's Applications folder is a destination on Linux.
        {"/Applications/Brindlow.AppImage", std::nullopt, true},
        {"/home/ada/Applications/Brindlow.AppImage", std::nullopt, false},
        {"/home/ada/Applications/Tools/Brindlow.AppImage", std::nullopt, false},
        {"~/Applications/Brindlow.AppImage", std::nullopt, false},
        {"/home/ada/Downloads/../Applications/Brindlow.AppImage", std::nullopt, false},
        {"/home/ada/ApplicationsOld/Brindlow.AppImage", std::nullopt, true},
        {"/home/bob/Applications/Brindlow.AppImage", std::nullopt, true},
        // Development builds and installed packages.
        {"/home/ada/src/brindlow/build/brindlow-recorder-app", std::nullopt, false},
        {"/home/ada/Downloads/Brindlow.AppImage.part", std::nullopt, false},
        // Declining holds for that place only, however it was spelt.
        {"/home/ada/Downloads/Brindlow.AppImage", "~/Downloads/./Brindlow.AppImage", false},
        {"/home/ada/Downloads/./Brindlow.AppImage", "/home/ada/Downloads//Brindlow.AppImage/", false},
        {"/media/ada/USB/Brindlow.AppImage", "/home/ada/Downloads/Brindlow.AppImage", true},
        {"/home/ada/Downloads/Brindlow.AppImage", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MoveToApplications::shouldOffer(c.appPath, c.declined, home), c.offered)
            << c.appPath << " declined " << c.declined.value_or("(none)");
    }
    // A home spelt with a trailing separator is the same home.
    EXPECT_FALSE(MoveToApplications::shouldOffer("/home/ada/Applications/B.AppImage", std::nullopt, "/home/ada/"));
}

TEST(MoveToApplicationsRules, FindsTheRemovableVolumeHoldingTheApp) {
    const std::pair<const char*, std::optional<fs::path>> cases[] = {
        {"/media/ada/USB/Brindlow.AppImage", fs::path("/media/ada/USB")},
        {"/run/media/ada/My Stick/Brindlow.AppImage", fs::path("/run/media/ada/My Stick")},
        {"/media/ada//USB/./Brindlow.AppImage", fs::path("/media/ada/USB")},
        {"/media/ada/USB", std::nullopt},
        {"/media", std::nullopt},
        {"/run/media/ada/USB", std::nullopt},
        {"/home/ada/Downloads/Brindlow.AppImage", std::nullopt},
        {"/media/ada/USB/../../../home/ada/Brindlow.AppImage", std::nullopt},
        {"media/ada/USB/Brindlow.AppImage", std::nullopt},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(MoveToApplications::removableVolume(path), expected) << path;
    }
}

// A private folder with a downloaded image, the Applications folder and a trash.
class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(downloads);
        image = writeFile(downloads / "Brindlow.AppImage", "new build", 0755);
    }
    void TearDown() override { fs::remove_all(root); }

    static fs::path writeFile(const fs::path& path, const std::string& contents, mode_t mode) {
        fs::create_directories(path.parent_path());
        writeFileAtomically(path, contents, mode);
        return path;
    }
    static std::string contents(const fs::path& path) { return readFile(path).value_or("(unreadable)"); }
    static mode_t mode(const fs::path& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    fs::path staging() const { return applications / ".Brindlow-installing.AppImage"; }

    fs::path root = fs::temp_directory_path() / ("brindlow-move-" + randomUUID());
    fs::path downloads = root / "Downloads";
    fs::path applications = root / "Applications";
    Trash trash{root / "Trash"};
    fs::path image;
};

TEST_F(InstallTest, CopiesIntoAFolderCreatedOnDemandAndKeepsItRunnable) {
    writeFile(staging() / "junk", "half a copy left by an interrupted install", 0644);
    const std::pair<mode_t, mode_t> modes[] = {{0755, 0755}, {0700, 0700}, {0644, 0744}};
    for (const auto& [source, installed] : modes) {
        chmod(image.c_str(), source);
        const fs::path result = MoveToApplications::install(image, applications, trash);
        EXPECT_EQ(result, applications / "Brindlow.AppImage");
        EXPECT_EQ(contents(result), "new build");
        EXPECT_EQ(mode(result), installed) << std::oct << source;
        EXPECT_EQ(contents(image), "new build") << "the original stays";
        EXPECT_FALSE(fs::exists(staging()));
    }
}

TEST_F(InstallTest, ExistingCopyGoesToTheTrashWithItsOriginalPath) {
    writeFile(applications / "Brindlow.AppImage", "old build", 0755);
    MoveToApplications::install(image, applications, trash);
    EXPECT_EQ(contents(applications / "Brindlow.AppImage"), "new build");
    EXPECT_EQ(contents(root / "Trash/files/Brindlow.AppImage"), "old build");
    const std::string info = contents(root / "Trash/info/Brindlow.AppImage.trashinfo");
    const std::regex shape(
        "\\[Trash Info\\]\nPath=(.*)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(info, match, shape)) << info;
    EXPECT_EQ(percentDecode(match[1].str()), (applications / "Brindlow.AppImage").string());

    // A second replacement keeps both earlier copies under distinct names.
    writeFile(downloads / "Brindlow.AppImage", "newest build", 0755);
    MoveToApplications::install(image, applications, trash);
    EXPECT_EQ(contents(applications / "Brindlow.AppImage"), "newest build");
    EXPECT_EQ(contents(root / "Trash/files/Brindlow.AppImage"), "old build");
    EXPECT_EQ(contents(root / "Trash/files/Brindlow.2.AppImage"), "new build");
    EXPECT_TRUE(fs::exists(root / "Trash/info/Brindlow.2.AppImage.trashinfo"));
}

TEST_F(InstallTest, FailuresSayWhatFailedAndLeaveNoStaging) {
    writeFile(applications / "Brindlow.AppImage", "old build", 0755);
    const struct {
        std::function<void()> arrange;
        fs::path from;
        std::string message;
    } cases[] = {
        {[] {}, downloads / "Missing.AppImage", "Could not copy " + (downloads / "Missing.AppImage").string()},
        // The old copy cannot be trashed, so it must stay where it is.
        {[&] { writeFile(root / "Trash", "a file where the trash should be", 0644); }, image,
         "Could not create the trash folder"},
        {[&] {
             fs::remove_all(applications);
             writeFile(applications, "a file where the folder should be", 0644);
         },
         image, "Could not create " + applications.string()},
    };
    for (const auto& c : cases) {
        c.arrange();
        try {
            MoveToApplications::install(c.from, applications, trash);
            ADD_FAILURE() << "installed " << c.from;
        } catch (const std::system_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind(c.message, 0), 0u) << error.what();
        }
        EXPECT_FALSE(fs::exists(staging()));
        if (fs::is_directory(applications)) {
            EXPECT_EQ(contents(applications / "Brindlow.AppImage"), "old build");
        }
    }
}

TEST_F(InstallTest, TrashKeepsOddNamesAndNeverOverwritesAnOrphan) {
    const fs::path odd = writeFile(root / "My Apps/Brindlow 100%.AppImage", "odd", 0755);
    // An item someone left in files/ without its info file.
    writeFile(root / "Trash/files/Brindlow 100%.AppImage", "orphan", 0644);
    const fs::path trashed = trash.moveIn(odd);
    EXPECT_EQ(trashed, root / "Trash/files/Brindlow 100%.2.AppImage");
    EXPECT_EQ(contents(trashed), "odd");
    EXPECT_EQ(contents(root / "Trash/files/Brindlow 100%.AppImage"), "orphan");
    const std::string info = contents(root / "Trash/info/Brindlow 100%.2.AppImage.trashinfo");
    EXPECT_NE(info.find("Path=" + percentEncodePath(odd.string()) + "\n"), std::string::npos) << info;
    EXPECT_NE(info.find("My%20Apps/Brindlow%20100%25.AppImage"), std::string::npos) << info;
    EXPECT_FALSE(fs::exists(root / "Trash/info/Brindlow 100%.AppImage.trashinfo"));

    // Nothing to trash leaves no info file behind.
    EXPECT_THROW(trash.moveIn(root / "gone"), std::system_error);
    EXPECT_FALSE(fs::exists(root / "Trash/info/gone.trashinfo"));
}

// The offer with every role faked but the file system, which is a private folder.
struct FakeAlerts : MoveOfferAlerts {
    size_t ask(const std::string& message, const std::string& text, const std::vector<std::string>& buttons) override {
        asked.push_back({message, text});
        this->buttons = buttons;
        return answer;
    }
    void inform(const std::string& message, const std::string& text) override { informed.push_back({message, text}); }
    // As the app's event loop would: turns until the step is done, noting what it saw.
    void showProgress(const std::string& message, const Progress& progress) override {
        progressShown.push_back(message);
        progressThread = std::this_thread::get_id();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!progress.done && std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(mutex);
                if (fractions.empty() || fractions.back() != progress.fraction)
                    fractions.push_back(progress.fraction);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::lock_guard lock(mutex);
        fractions.push_back(progress.fraction);
    }
    bool saw(double fraction) {
        std::lock_guard lock(mutex);
        return std::find(fractions.begin(), fractions.end(), fraction) != fractions.end();
    }
    std::mutex mutex;
    size_t answer = 0;
    std::vector<std::string> progressShown;
    std::thread::id progressThread;
    std::vector<double> fractions;
    std::vector<std::string> buttons;
    std::vector<std::pair<std::string, std::string>> asked, informed;
};

struct MemorySettings : SettingsStore {
    std::optional<std::string> string(std::string_view key) const override {
        const auto found = values.find(std::string(key));
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    void setString(std::string_view key, const std::string& value) override {
        if (failWrites) throw std::system_error(std::make_error_code(std::errc::read_only_file_system), "settings");
        values[std::string(key)] = value;
    }
    std::map<std::string, std::string> values;
    bool failWrites = false;
};

class MoveOfferTest : public InstallTest {
protected:
    bool offer(std::optional<fs::path> appImage) {
        MoveOffer::Install install = MoveOffer::installReplacingThrough(trash);
        if (fakeInstall) {
            install = [this](const fs::path& from, const fs::path& folder,
                             const std::function<void(double)>&) {
                installs.emplace_back(from, folder);
                return folder / from.filename();
            };
        }
        MoveOffer offer(
            alerts, settings, install,
            [this](const fs::path& installed) {
                relaunched.push_back(installed);
                return relaunchSucceeds;
            },
            [this](const std::vector<std::string>& argv) {
                detached.push_back(argv);
                return true;
            });
        return offer.offerMoveToApplications({std::move(appImage), root});
    }

    FakeAlerts alerts;
    MemorySettings settings;
    bool fakeInstall = false;
    bool relaunchSucceeds = true;
    std::vector<std::pair<fs::path, fs::path>> installs;
    std::vector<fs::path> relaunched;
    std::vector<std::vector<std::string>> detached;
};

TEST_F(MoveOfferTest, AcceptedInstallsAndRelaunchesFromApplications) {
    EXPECT_TRUE(offer(image));
    EXPECT_EQ(alerts.asked, (std::vector<std::pair<std::string, std::string>>{
                                {"Move Brindlow to Applications?",
                                 "Brindlow works best from your Applications folder. It will reopen from there, "
                                 "still signed in."}}));
    EXPECT_EQ(alerts.buttons, (std::vector<std::string>{"Move to Applications", "Not now"}));
    EXPECT_EQ(contents(applications / "Brindlow.AppImage"), "new build");
    EXPECT_EQ(relaunched, std::vector<fs::path>{applications / "Brindlow.AppImage"});
    EXPECT_TRUE(detached.empty()) << "nothing to unmount for a home folder";
    EXPECT_TRUE(alerts.informed.empty());
    EXPECT_TRUE(settings.values.empty());
}

TEST_F(MoveOfferTest, TheCopyRunsBesideTheAppWhichShowsHowFarItGot) {
    // A stick that delivers half the image, then the rest only once the app has shown that half.
    std::thread::id copyThread;
    installs.clear();
    MoveOffer offer(
        alerts, settings,
        [&](const fs::path& from, const fs::path& folder,
            const std::function<void(double)>& progress) {
            copyThread = std::this_thread::get_id();
            progress(0.5);
            for (int i = 0; i < 2000 && !alerts.saw(0.5); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return MoveToApplications::install(from, folder, trash,
                                               [&](double f) { progress(0.5 + f / 2); });
        },
        [](const fs::path&) { return true; }, [](const std::vector<std::string>&) { return true; });
    writeFile(image, std::string(3 << 20, 'x'), 0755);  // three pieces of a megabyte
    EXPECT_TRUE(offer.offerMoveToApplications({image, root}));
    EXPECT_EQ(alerts.progressShown,
              std::vector<std::string>{"Moving Brindlow to Applications\u2026"});
    EXPECT_EQ(alerts.progressThread, std::this_thread::get_id());
    EXPECT_NE(copyThread, std::this_thread::get_id()) << "the copy held up the app";
    ASSERT_FALSE(alerts.fractions.empty());
    EXPECT_TRUE(alerts.saw(0.5)) << "the app never showed how far the copy got";
    EXPECT_TRUE(std::is_sorted(alerts.fractions.begin(), alerts.fractions.end()));
    EXPECT_EQ(alerts.fractions.back(), 1.0);
    EXPECT_EQ(fs::file_size(applications / "Brindlow.AppImage"), 3u << 20);
}

TEST_F(MoveOfferTest, NotNowOrClosingRemembersThisPlace) {
    for (const size_t answer : {size_t{1}, size_t{2}}) {
        settings.values.clear();
        alerts.answer = answer;
        EXPECT_FALSE(offer(downloads / "./Brindlow.AppImage"));
        EXPECT_EQ(settings.values, (std::map<std::string, std::string>{
                                       {"moveToApplicationsDeclinedPath", image.string()}}));
        EXPECT_FALSE(fs::exists(applications));
        EXPECT_TRUE(relaunched.empty());
    }
    // The next launch from the same place asks nothing; neither does a build or an installed copy.
    alerts.asked.clear();
    for (const auto& place : {std::optional(image), std::optional(applications / "B.AppImage"),
                              std::optional(root / "build/brindlow-recorder-app"), std::optional<fs::path>()}) {
        EXPECT_FALSE(offer(place));
    }
    EXPECT_TRUE(alerts.asked.empty());
    // A settings store that cannot write still answers "no move".
    settings.values.clear();
    settings.failWrites = true;
    EXPECT_FALSE(offer(image));
    EXPECT_EQ(alerts.asked.size(), 1u);
}

TEST_F(MoveOfferTest, FailedInstallExplainsAndShowsTheWindow) {
    writeFile(applications, "a file where the folder should be", 0644);
    EXPECT_FALSE(offer(image));
    ASSERT_EQ(alerts.informed.size(), 1u);
    EXPECT_EQ(alerts.informed[0].first, "Couldn't move Brindlow to Applications");
    const std::string& text = alerts.informed[0].second;
    const std::string prefix = "Drag Brindlow into your Applications folder yourself. (Could not create ";
    EXPECT_EQ(text.substr(0, prefix.size()), prefix) << text;
    EXPECT_EQ(text.back(), ')') << text;
    EXPECT_TRUE(relaunched.empty());
    EXPECT_TRUE(settings.values.empty()) << "a failed move is not a refusal";
}

TEST_F(MoveOfferTest, RemovableVolumeIsUnmountedOnlyAfterASuccessfulRelaunch) {
    fakeInstall = true;
    const fs::path stick = "/media/ada/It's \"$(reboot)\"/Brindlow.AppImage";
    EXPECT_TRUE(offer(stick));
    EXPECT_EQ(installs, (std::vector<std::pair<fs::path, fs::path>>{{stick, applications}}));
    // The volume reaches the script as its $0, never as script text.
    ASSERT_EQ(detached.size(), 1u);
    ASSERT_EQ(detached[0].size(), 4u);
    EXPECT_EQ(detached[0][1], "-c");
    EXPECT_EQ(detached[0][2].find("reboot"), std::string::npos);
    EXPECT_EQ(detached[0][3], "/media/ada/It's \"$(reboot)\"");

    relaunchSucceeds = false;
    detached.clear();
    EXPECT_FALSE(offer(stick)) << "the window shows in place";
    EXPECT_TRUE(detached.empty());
}

TEST(DetachedProcess, EnvironmentLosesOnlyWhatPointsIntoTheRunningImage) {
    const std::vector<std::string> environment = {
        "APPIMAGE=/home/ada/Downloads/Brindlow.AppImage",
        "APPDIR=/tmp/.mount_BrindlX1/",
        "PATH=/tmp/.mount_BrindlX1/usr/bin:/usr/bin:/bin",
        "LD_LIBRARY_PATH=/tmp/.mount_BrindlX1/usr/lib",
        "QT_PLUGIN_PATH=/tmp/.mount_BrindlX1/usr/plugins:/tmp/.mount_BrindlX1",
        "XDG_DATA_DIRS=/tmp/.mount_BrindlX10/share:/usr/share",
        "HOME=/home/ada",
        "EMPTY=",
        "DISPLAY=:0",
    };
    EXPECT_EQ(environmentWithoutAppImage(environment), (std::vector<std::string>{
                                                           "PATH=/usr/bin:/bin",
                                                           "XDG_DATA_DIRS=/tmp/.mount_BrindlX10/share:/usr/share",
                                                           "HOME=/home/ada",
                                                           "EMPTY=",
                                                           "DISPLAY=:0",
                                                       }));
    // Outside an image nothing but the runtime's names could go, and there are none.
    const std::vector<std::string> plain = {"PATH=/usr/bin", "HOME=/home/ada"};
    EXPECT_EQ(environmentWithoutAppImage(plain), plain);
}

TEST(DetachedProcess, RunsInItsOwnSessionWithTheGivenArgumentsAndEnvironment) {
    // The program reports through a pipe it inherits; end of file means it is done.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const std::string script = "printf '%s|%s|%s|%s' \"$1\" \"$GREETING\" \"$PPID\" "
                               "\"$(cut -d' ' -f6 /proc/$$/stat)\" >&" +
                               std::to_string(pipeFds[1]);
    const std::string odd = "two words; $(and) \"quotes\"";
    ASSERT_TRUE(startDetached({"/bin/sh", "-c", script, "sh", odd}, {"GREETING=hello there", "PATH=/usr/bin:/bin"}));
    close(pipeFds[1]);
    std::string report;
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) report.append(buffer, size_t(n));
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
