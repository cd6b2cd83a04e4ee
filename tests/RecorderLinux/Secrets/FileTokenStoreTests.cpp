#include "Secrets/FileTokenStore.h"

#include <stdlib.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Secrets/SecretServiceTokenStore.h"
#include "Support/AtomicFile.h"
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

}  // namespace
}  // namespace brindlow
