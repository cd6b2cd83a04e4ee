#pragma once

// Runs a command and collects its standard output (tests and benchmarks only).

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace brindlow::testing {

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

inline CommandResult runCommand(const std::vector<std::string>& args, bool quietStderr = true) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    if (quietStderr) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    CommandResult result;
    char buffer[65536];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, size_t(n));
    close(pipeFds[0]);
    if (spawned != 0) return result;
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Starts a command with its output thrown away; its pid, or -1. Daemons started
// this way do not hold a test's output open should they outlive it.
inline pid_t spawnQuietly(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct StartedProcess {
    pid_t pid = -1;
    std::string firstLine;  // without its newline; empty when none came in time
};

// Starts a command (output other than its first line thrown away, errors too unless
// `keepErrors`) and waits up to `timeoutMs` for the first line it prints: a ready
// signal, an address.
inline StartedProcess startReadingFirstLine(const std::vector<std::string>& args, int timeoutMs = 15000,
                                            bool keepErrors = false) {
    StartedProcess started;
    int out[2];
    if (pipe(out) != 0) return started;
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (!keepErrors) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&started.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) started.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    pollfd ready{out[0], POLLIN, 0};
    while (started.pid > 0 && text.find('\n') == std::string::npos && poll(&ready, 1, timeoutMs) > 0) {
        char buffer[256];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    close(out[0]);
    if (const size_t end = text.find('\n'); end != std::string::npos) started.firstLine = text.substr(0, end);
    return started;
}

inline double cpuSeconds(const rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds used so far by RUSAGE_SELF or RUSAGE_CHILDREN.
inline double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return cpuSeconds(usage);
}

}  // namespace brindlow::testing
