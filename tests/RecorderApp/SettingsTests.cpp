#include "Settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Support/AtomicFile.h"
#include "Support/ExpectError.h"
#include "Support/Text.h"

namespace brindlow {
namespace {
namespace fs = std::filesystem;

class SettingsTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(root); }

    fs::path root = fs::temp_directory_path() / ("brindlow-settings-" + randomUUID());
    fs::path file = root / "BrindlowRecorder/settings.json";
};

TEST_F(SettingsTest, KeepsStringsAndEveryOtherKey) {
    Settings settings(file);
    EXPECT_EQ(settings.string("declined"), std::nullopt);
    settings.setString("declined", "/home/ada/Downloads/Brindlow.AppImage");
    // Another process (or a newer version) adds keys of its own.
    auto object = nlohmann::json::parse(*readFile(file));
    object["window"] = {{"x", 10}, {"y", 20}};
    object["count"] = 3;
    writeFileAtomically(file, object.dump());

    settings.setString("path", "/media/ada/caf\xe9/B.AppImage");  // not UTF-8
    const Settings other(file);
    EXPECT_EQ(other.string("declined"), "/home/ada/Downloads/Brindlow.AppImage");
    EXPECT_EQ(other.string("path"), "/media/ada/caf\xef\xbf\xbd/B.AppImage");
    EXPECT_EQ(other.string("count"), std::nullopt) << "not a string";
    EXPECT_EQ(nlohmann::json::parse(*readFile(file))["window"]["y"], 20);
}

TEST_F(SettingsTest, UnreadableFileReadsAsEmptyAndIsKeptAsideOnWrite) {
    for (const std::string bytes : {"", "{", "[1, 2]", "\"text\"", "null", "{\"a\": 1}}", "\xff\xfe{}"}) {
        fs::remove_all(root);
        fs::create_directories(file.parent_path());
        writeFileAtomically(file, bytes);
        Settings settings(file);
        EXPECT_EQ(settings.string("theme"), std::nullopt) << bytes;
        settings.setString("theme", "dark");
        EXPECT_EQ(settings.string("theme"), "dark") << bytes;
        EXPECT_EQ(readFile(fs::path(file.string() + ".corrupt")), bytes);
    }
}

TEST_F(SettingsTest, UnwritablePlaceThrowsAReadableError) {
    fs::create_directories(root);
    writeFileAtomically(root / "BrindlowRecorder", "a file where the folder should be");
    Settings settings(file);
    EXPECT_EQ(settings.string("theme"), std::nullopt);
    const auto error = testing::errorFrom<std::system_error>([&] { settings.setString("theme", "dark"); });
    EXPECT_NE(std::string(error ? error->what() : "").find(file.parent_path().string()), std::string::npos);
}

}  // namespace
}  // namespace brindlow
