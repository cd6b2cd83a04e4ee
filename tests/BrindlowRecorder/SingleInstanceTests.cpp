#include "SingleInstance.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdlib>
#include <filesystem>

#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(runtime); }
    fs::path runtime = fs::temp_directory_path() / ("brindlow-run-" + randomUUID());
};

TEST_F(SingleInstanceTest, TheNameLivesOnlyInAPrivateRuntimeFolder) {
    EXPECT_EQ(fs::path(SingleInstance::defaultName().toStdString()).parent_path(), runtime);
    fs::permissions(runtime, fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
    EXPECT_TRUE(SingleInstance::defaultName().isEmpty()) << "a folder others may enter";
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_TRUE(SingleInstance::defaultName().isEmpty());
}

// Another account answering "ok" first must not keep the app from starting.
TEST_F(SingleInstanceTest, AnAnswerFromAnotherAccountIsNotTrusted) {
    if (geteuid() != 0) GTEST_SKIP() << "playing another account needs root";
    const QString name = SingleInstance::defaultName();
    ASSERT_FALSE(name.isEmpty());
    const QByteArray path = name.toLocal8Bit();  // no allocation after fork
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = fork();
    if (other == 0) {
        // The listening side's credentials are taken at listen(): bind as root, listen as nobody.
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.constData());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || setgid(65534) != 0 ||
            setuid(65534) != 0 || listen(fd, 1) != 0)
            _exit(1);
        (void)!write(ready[1], "r", 1);
        const int client = accept(fd, nullptr, nullptr);
        char request[16];
        (void)!read(client, request, sizeof request);
        (void)!write(client, "ok\n", 3);
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the other account's listener did not start";
    close(ready[0]);
    int argc = 1;
    char arg[] = "test";
    char* argv[] = {arg, nullptr};
    QCoreApplication app(argc, argv);
    EXPECT_FALSE(SingleInstance(name).askRunningToRaise(2000));
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
}

}  // namespace
}  // namespace brindlow
