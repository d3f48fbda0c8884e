// A child process with piped standard input and output and inherited standard error, in a
// process group of its own, killed (with its whole group) and reaped by its owner on every path,
// and by the watchdog (arena/io/watchdog.hpp) should the owner's process die first.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "util/result.hpp"
#include "util/unique_fd.hpp"

namespace veltrix::arena {

// How long a reap waits for the child to end. A child sent SIGKILL is gone within moments;
// one still there after this is beyond our reach (a kill we were not allowed to send, a wait
// in the kernel that does not end), and waiting on would only hang its owner.
inline constexpr std::chrono::milliseconds kReapTimeLimit{1000};

class ChildProcess {
public:
    // Starts argv[0] (looked up on PATH when it holds no "/") with `argv` as its arguments.
    // The returned error is an errno value (EINVAL for an empty argv or a NUL in an argument).
    static Result<ChildProcess, int> spawn(const std::vector<std::string>& argv);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills and reaps a child that is still unreaped (giving up on it after kReapTimeLimit).
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // Our ends of the pipes: the child's standard input (write end) and output (read end),
    // both non-blocking and closed on exec. Each can be taken once.
    UniqueFd take_stdin() { return std::move(stdin_); }
    UniqueFd take_stdout() { return std::move(stdout_); }

    // Sends SIGKILL to the child's process group (the child and whatever it started there);
    // true when they are (or already were) on their way out.
    bool kill();
    // Waits up to `limit` for the child to end and reaps it; true once it has ended, also when
    // it was reaped already (by this object, or by the kernel when the host ignores SIGCHLD).
    // False when it is still running then: it stays this object's, to wait for again.
    bool wait(std::chrono::steady_clock::duration limit = kReapTimeLimit);

private:
    ChildProcess(pid_t pid, UniqueFd in, UniqueFd out) : pid_(pid), stdin_(std::move(in)), stdout_(std::move(out)) {}
    void reap_now();

    pid_t pid_ = -1;  // -1 once reaped
    bool guarded_ = false;  // registered with the watchdog, to be released once reaped
    UniqueFd stdin_;
    UniqueFd stdout_;
};

}  // namespace veltrix::arena
