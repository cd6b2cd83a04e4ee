#include "Secrets/SecretServiceTokenStore.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace brindlow {
namespace {

// Run by tests/Support/with-session-bus.sh --keyring, which brings up a private keyring.
class SecretServiceTokenStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* why = std::getenv("BRINDLOW_SESSION_SKIP")) GTEST_SKIP() << "no Secret Service: " << why;
        ASSERT_TRUE(store.isReachable());
        store.clear();
    }
    void TearDown() override { store.clear(); }

    SecretServiceTokenStore store{"test"};
};

TEST_F(SecretServiceTokenStoreTest, PreferredOverTheFileWhenItAnswersAndKeepsOneItemPerEnvironment) {
    auto chosen = makeTokenStore("test", "/nonexistent-never-written");
    ASSERT_NE(dynamic_cast<SecretServiceTokenStore*>(chosen.get()), nullptr);
    EXPECT_EQ(chosen->load(), std::nullopt);
    chosen->save({"u1", "r1"});
    chosen->save({"u1", "r2"});
    EXPECT_EQ(store.load(), (StoredSession{"u1", "r2"}));
    SecretServiceTokenStore other("test-other");
    EXPECT_EQ(other.load(), std::nullopt);
    other.save({"u2", "x"});
    EXPECT_EQ(store.load(), (StoredSession{"u1", "r2"}));
    other.clear();
    chosen->clear();
    EXPECT_EQ(store.load(), std::nullopt);
    store.clear();  // clearing nothing is fine
}

// Items written by hand under the schema and attributes the store reads, as another
// program or an earlier version might: a whole session loads, anything else is signed out.
TEST_F(SecretServiceTokenStoreTest, ReadsItemsWrittenByOthersAndCorruptOnesAsSignedOut) {
    const SecretSchema schema = {"com.brindlow.recorder.Session",
                                 SECRET_SCHEMA_DONT_MATCH_NAME,
                                 {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    const std::pair<std::string, std::optional<StoredSession>> items[] = {
        {StoredSession{"u", "r"}.encoded(), StoredSession{"u", "r"}},
        {"not json", std::nullopt},
        {"{\"uid\":3,\"refreshToken\":\"r\"}", std::nullopt}};
    for (const auto& [bytes, session] : items) {
        GError* error = nullptr;
        ASSERT_TRUE(secret_password_store_sync(&schema, SECRET_COLLECTION_DEFAULT, "x", bytes.c_str(), nullptr, &error,
                                               "service", "com.brindlow.recorder.test", "account", "session", nullptr));
        EXPECT_EQ(store.load(), session) << bytes;
    }
}

// Run by tests/Support/with-session-bus.sh --keyring-without-login: the Secret Service
// answers but cannot store, as a keyring never set up does. The next launch must still
// be signed in.
TEST(KeyringWithoutLogin, TheSignInIsKeptInThePrivateFileAndReadBackByTheNextLaunch) {
    if (const char* why = std::getenv("BRINDLOW_SESSION_SKIP")) GTEST_SKIP() << "no Secret Service: " << why;
    const auto directory = std::filesystem::temp_directory_path() / ("brindlow-keyring-" + std::to_string(getpid()));
    makeTokenStore("test", directory.string())->save({"u4", "r4"});
    const auto file = directory / "session-test.json";
    ASSERT_TRUE(std::filesystem::exists(file));  // the store that keeps it private
    auto nextLaunch = makeTokenStore("test", directory.string());
    EXPECT_NE(dynamic_cast<SecretServiceTokenStore*>(nextLaunch.get()), nullptr) << "the keyring still answers";
    EXPECT_EQ(nextLaunch->load(), (StoredSession{"u4", "r4"}));
    nextLaunch->clear();
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(makeTokenStore("test", directory.string())->load(), std::nullopt);
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace brindlow
