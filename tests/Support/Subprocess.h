#pragma once

// Runs commands for tests and benchmarks: to completion with their output collected,
// or in the background as a ChildProcess.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace brindlow::testing {

// A started command, stopped by PID when it goes away: its stop signal, then SIGKILL
// should it outlive a grace period.
class ChildProcess {
public:
    enum class Errors { withOutput, discarded, inherited };
    struct Options {
        std::filesystem::path output = "/dev/null";  // standard output, unless piped
        bool pipeOutput = false;                     // read back with nextLine()
        Errors errors = Errors::withOutput;
        bool pipeInput = false;  // fed with type(); otherwise /dev/null
        std::optional<std::vector<std::string>> environment;  // instead of the test's own
        int stopSignal = SIGTERM;

        Options& writingTo(std::filesystem::path file) { return output = std::move(file), *this; }
        Options& readingOutput() { return pipeOutput = true, *this; }
        Options& withErrors(Errors where) { return errors = where, *this; }
        Options& typingInput() { return pipeInput = true, *this; }
        Options& in(std::vector<std::string> variables) { return environment = std::move(variables), *this; }
        Options& stoppedBy(int signal) { return stopSignal = signal, *this; }
    };

    explicit ChildProcess(const std::vector<std::string>& args) : ChildProcess(args, Options{}) {}
    ChildProcess(const std::vector<std::string>& args, Options options) : stopSignal_(options.stopSignal) {
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if (options.pipeInput && pipe2(in, O_CLOEXEC) != 0) return;
        if (options.pipeOutput && pipe2(out, O_CLOEXEC) != 0) {
            if (options.pipeInput) close(in[0]), close(in[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (options.pipeInput) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        else posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (options.pipeOutput) posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        else posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (options.errors == Errors::discarded)
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        else if (options.errors == Errors::withOutput && !options.pipeOutput)
            posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> argv, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (options.environment) {
            for (const auto& e : *options.environment) envp.push_back(const_cast<char*>(e.c_str()));
            envp.push_back(nullptr);
        }
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), options.environment ? envp.data() : environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (options.pipeInput) close(in[0]), input_ = in[1];
        if (options.pipeOutput) close(out[1]), output_ = out[0];
    }
    ~ChildProcess() {
        stop();
        if (input_ >= 0) close(input_);
        if (output_ >= 0) close(output_);
    }
    ChildProcess(ChildProcess&& other) noexcept
        : pid_(std::exchange(other.pid_, -1)), input_(std::exchange(other.input_, -1)),
          output_(std::exchange(other.output_, -1)), stopSignal_(other.stopSignal_), status_(other.status_), buffer_(std::move(other.buffer_)) {}
    ChildProcess& operator=(ChildProcess&&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    void type(const std::string& text) { (void)!write(input_, text.data(), text.size()); }
    void signal(int number) const {
        if (pid_ > 0) kill(pid_, number);
    }
    // Its exit status (128 + the signal when killed) once it has ended.
    int wait() { return waitAtMost(std::chrono::hours(24)).value_or(-1); }
    // The same, or nothing when it is still running after `limit`.
    std::optional<int> waitAtMost(std::chrono::milliseconds limit) {
        if (pid_ <= 0) return status_;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return status_;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Leaves it running after this object goes away; its pid.
    pid_t release() { return std::exchange(pid_, -1); }
    // Sends the stop signal and waits; SIGKILL after `grace`.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(5)) {
        if (pid_ <= 0) return;
        signal(stopSignal_);
        if (!waitAtMost(grace)) {
            signal(SIGKILL);
            wait();
        }
    }
    // The next line of its piped output, without the newline; nothing when none came
    // within `limit` or the output ended.
    std::optional<std::string> nextLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{output_, POLLIN, 0};
            if (output_ < 0 || left.count() <= 0 || poll(&ready, 1, int(left.count())) <= 0) return std::nullopt;
            char chunk[4096];
            const ssize_t n = read(output_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, size_t(n));
        }
    }

    // All it still writes, until it closes its output.
    std::string rest() {
        char chunk[65536];
        ssize_t n;
        while (output_ >= 0 && (n = read(output_, chunk, sizeof chunk)) > 0) buffer_.append(chunk, size_t(n));
        return std::exchange(buffer_, {});
    }

private:
    pid_t pid_ = -1;
    int input_ = -1, output_ = -1;
    int stopSignal_;
    std::optional<int> status_;
    std::string buffer_;
};

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

// Runs a command to its end and collects its standard output.
inline CommandResult runCommand(const std::vector<std::string>& args, bool quietStderr = true) {
    ChildProcess child(args, ChildProcess::Options().readingOutput().withErrors(
                                 quietStderr ? ChildProcess::Errors::discarded : ChildProcess::Errors::inherited));
    CommandResult result;
    if (!child.started()) return result;
    result.output = child.rest();
    result.exitCode = child.wait();
    return result;
}

// Starts a command with its output thrown away and leaves it running; its pid, or -1.
// Daemons started this way do not hold a test's output open should they outlive it.
inline pid_t spawnQuietly(const std::vector<std::string>& args) {
    return ChildProcess(args, ChildProcess::Options().withErrors(ChildProcess::Errors::discarded)).release();
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
