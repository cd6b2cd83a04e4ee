#include "Secrets/FileTokenStore.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "Secrets/SecretServiceTokenStore.h"
#include "Support/AtomicFile.h"
#include "Support/Paths.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;

class FileTokenStoreTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(root); }
    fs::path root = fs::temp_directory_path() / ("brindlow-tokens-" + randomUUID());
    fs::path dir = root / "BrindlowRecorder";
};

unsigned modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

TEST_F(FileTokenStoreTest, KeepsTheSessionPrivately) {
    FileTokenStore store(dir, "dev");
    EXPECT_EQ(store.load(), std::nullopt);
    store.save({"u1", "r1"});
    store.save({"u1", "r2"});
    EXPECT_EQ(store.load(), (StoredSession{"u1", "r2"}));
    EXPECT_EQ(modeOf(store.path()), 0600u);
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(FileTokenStore(dir, "prod").load(), std::nullopt) << "environments stay apart";
    store.clear();
    EXPECT_EQ(store.load(), std::nullopt);
    store.clear();  // clearing nothing is fine
}

// A folder another user owns, or a link, could hand the token to someone else: nothing is
// written there. A folder of this user that is merely too open is closed and used, and a
// corrupt file reads as signed out until the next save replaces it.
TEST_F(FileTokenStoreTest, OnlyAPrivateFolderOfThisUserKeepsTheSession) {
    const auto elsewhere = root / "elsewhere";
    const struct {
        const char* name;
        std::function<fs::path()> prepare;  // the folder the store is given
        bool kept;
    } cases[] = {
        {"owned by another user", [&] {
             fs::create_directories(dir);
             EXPECT_EQ(::chown(dir.c_str(), 54321, 54321), 0) << "giving a folder away needs root: " << std::strerror(errno);
             return dir;
         }, false},
        {"a link to a private folder", [&] { return fs::create_directory_symlink(elsewhere, dir), dir; }, false},
        {"one that cannot be made", [] { return fs::path("/proc/brindlow-cannot-exist"); }, false},
        {"too open", [&] { return fs::create_directories(dir), ::chmod(dir.c_str(), 0755), dir; }, true},
        {"a corrupt file", [&] {
             fs::create_directories(dir);
             writeFileAtomically(dir / "session-dev.json", "{\"uid\":", 0600);
             return dir;
         }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root);
        fs::create_directories(elsewhere);
        ::chmod(elsewhere.c_str(), 0700);
        FileTokenStore store(c.prepare(), "dev");
        EXPECT_EQ(store.load(), std::nullopt);
        EXPECT_NO_THROW(store.save({"u", "r"}));
        EXPECT_EQ(store.load(), c.kept ? std::optional(StoredSession{"u", "r"}) : std::nullopt);
        EXPECT_EQ(fs::exists(store.path()), c.kept);
        EXPECT_TRUE(fs::is_empty(elsewhere));
        EXPECT_TRUE(!c.kept || modeOf(dir) == 0700u);
    }
}

// The warning is for a session kept in a file, also one only read from it.
TEST_F(FileTokenStoreTest, WarnsWhenASessionIsLoadedFromTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, so its one warning is still due
    fs::create_directories(dir);
    writeFileAtomically(dir / "session-dev.json", StoredSession{"u", "r"}.encoded(), 0600);
    EXPECT_EXIT(std::exit(FileTokenStore(dir, "dev").load().has_value() ? 0 : 1), ::testing::ExitedWithCode(0),
                "the sign-in is kept in .*session-dev.json");
}

// A bus that connects but never answers stands for a keyring whose unlock prompt nobody
// answers: the keyring stays the store, reading as signed out, and nothing goes to a file.
// No session bus at all: the file serves.
TEST_F(FileTokenStoreTest, TheFileServesOnlyWhenNoSessionBusIsThere) {
    fs::create_directories(root);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (root / "silent-bus").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    // The silent bus first: a failed connection to the other is remembered by the process.
    for (const char* bus : {"silent-bus", "no-bus"}) {
        SCOPED_TRACE(bus);
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / bus).string()).c_str(), 1);
        auto store = makeTokenStore("dev", dir.string());
        const auto* file = dynamic_cast<FileTokenStore*>(store.get());
        EXPECT_EQ(file ? file->path() : fs::path(), std::string(bus) == "no-bus" ? dir / "session-dev.json" : fs::path());
        EXPECT_EQ(store->load(), std::nullopt);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    ::close(listener);
    EXPECT_FALSE(fs::exists(dir));
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
    EXPECT_EQ(config, fs::path(entry->pw_dir) / ".config" / "BrindlowRecorder");
}

}  // namespace
}  // namespace brindlow
