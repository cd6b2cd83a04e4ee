#include "Secrets/FileTokenStore.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "Secrets/SecretServiceTokenStore.h"
#include "Support/AtomicFile.h"
#include "Support/Paths.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

class FileTokenStoreTest : public ::testing::Test {
protected:
    void TearDown() override { std::filesystem::remove_all(root); }
    std::filesystem::path root = std::filesystem::temp_directory_path() / ("brindlow-tokens-" + randomUUID());
    std::filesystem::path dir = root / "BrindlowRecorder";
};

TEST_F(FileTokenStoreTest, KeepsTheSessionPrivately) {
    FileTokenStore store(dir, "dev");
    EXPECT_EQ(store.load(), std::nullopt);
    store.save({"u1", "r1"});
    store.save({"u1", "r2"});
    EXPECT_EQ(store.load(), (StoredSession{"u1", "r2"}));
    struct stat st {};
    ASSERT_EQ(stat(store.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Only the file itself: no temporary file left behind by the atomic replace.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    // Environments stay apart.
    EXPECT_EQ(FileTokenStore(dir, "prod").load(), std::nullopt);
    store.clear();
    EXPECT_EQ(store.load(), std::nullopt);
    store.clear();  // clearing nothing is fine
}

TEST_F(FileTokenStoreTest, CorruptFileMeansSignedOut) {
    FileTokenStore store(dir, "dev");
    std::filesystem::create_directories(dir);
    writeFileAtomically(store.path(), "{\"uid\":", 0600);
    EXPECT_EQ(store.load(), std::nullopt);
}

TEST_F(FileTokenStoreTest, UnwritableDirectoryDoesNotThrow) {
    FileTokenStore store("/proc/brindlow-cannot-exist", "dev");
    EXPECT_NO_THROW(store.save({"u", "r"}));
    EXPECT_EQ(store.load(), std::nullopt);
}

TEST_F(FileTokenStoreTest, ChosenWhenNoSecretServiceAnswers) {
    // A bus address that refuses connections: the probe fails fast and the file serves.
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "no-bus").string()).c_str(), 1);
    auto store = makeTokenStore("dev", dir.string());
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    auto* file = dynamic_cast<FileTokenStore*>(store.get());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->path(), dir / "session-dev.json");
}

// A folder another user owns, or a link, could hand the token to someone else.
TEST_F(FileTokenStoreTest, WritesNothingIntoAFolderThatIsNotPrivate) {
    const auto elsewhere = root / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    ::chmod(elsewhere.c_str(), 0700);
    struct Case {
        const char* name;
        std::function<void()> prepare;
    } cases[] = {
        {"owned by another user", [&] {
             std::filesystem::create_directories(dir);
             ASSERT_EQ(::chown(dir.c_str(), 54321, 54321), 0) << "giving a folder away needs root: " << std::strerror(errno);
         }},
        {"a link to a private folder", [&] { std::filesystem::create_directory_symlink(elsewhere, dir); }},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir);
        c.prepare();
        FileTokenStore store(dir, "dev");
        store.save({"u", "r"});
        EXPECT_FALSE(std::filesystem::exists(store.path())) << c.name;
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << c.name;
    }
    // A folder of this user that is merely too open is closed and used.
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ::chmod(dir.c_str(), 0755);
    FileTokenStore store(dir, "dev");
    store.save({"u", "r"});
    EXPECT_EQ(store.load(), (StoredSession{"u", "r"}));
}

// The warning is for a session kept in a file, also one only read from it.
TEST_F(FileTokenStoreTest, WarnsWhenASessionIsLoadedFromTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, so its one warning is still due
    std::filesystem::create_directories(dir);
    writeFileAtomically(dir / "session-dev.json", StoredSession{"u", "r"}.encoded(), 0600);
    EXPECT_EXIT(
        {
            const bool loaded = FileTokenStore(dir, "dev").load().has_value();
            std::exit(loaded ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "the sign-in is kept in .*session-dev.json");
}

TEST(UserPaths, WithoutHomeTheHomeFolderComesFromThePasswordDatabase) {
    const char* saved = std::getenv("HOME");
    const std::string home = saved ? saved : "";
    unsetenv("HOME");
    unsetenv("XDG_CONFIG_HOME");
    const auto config = userConfigDirectory();
    if (saved) setenv("HOME", home.c_str(), 1);
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(config, std::filesystem::path(entry->pw_dir) / ".config" / "BrindlowRecorder");
}

// A bus that never answers stands for a keyring whose unlock prompt nobody answers:
// the keyring stays the store, reading as signed out, and nothing goes to a file.
TEST_F(FileTokenStoreTest, KeyringThatDoesNotAnswerInTimeStaysTheStore) {
    std::filesystem::create_directories(root);
    const auto socketPath = root / "silent-bus";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);  // connections complete but are never answered
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socketPath.string()).c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    auto store = makeTokenStore("dev", dir.string());
    EXPECT_NE(dynamic_cast<SecretServiceTokenStore*>(store.get()), nullptr);
    EXPECT_EQ(store->load(), std::nullopt);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::close(listener);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
    EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
}  // namespace brindlow
