#include "arena/io/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

extern char** environ;

namespace veltrix::arena {

namespace {

// Moves `fd` to a number above the standard streams, so the child's dup2 onto 0 or 1 never
// meets the same number (which would keep close-on-exec set on it).
int lift_above_std(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return lifted;
}

// A pipe whose ends are closed on exec and kept away from descriptors 0 to 2.
Result<std::pair<UniqueFd, UniqueFd>, int> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Err{errno};
    UniqueFd read_end(lift_above_std(fds[0]));
    UniqueFd write_end(lift_above_std(fds[1]));
    if (!read_end || !write_end) return Err{EMFILE};
    return std::pair{std::move(read_end), std::move(write_end)};
}

bool set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    bool attr_ready = false;
    bool actions_ready = false;
    ~SpawnSetup() {
        if (attr_ready) posix_spawnattr_destroy(&attr);
        if (actions_ready) posix_spawn_file_actions_destroy(&actions);
    }
};

}  // namespace

Result<ChildProcess, int> ChildProcess::spawn(const std::vector<std::string>& argv) {
    if (argv.empty()) return Err{EINVAL};
    // exec takes C strings: an argument with a NUL inside would be cut short, not refused.
    for (const std::string& arg : argv) {
        if (arg.find('\0') != std::string::npos) return Err{EINVAL};
    }
    auto in = make_pipe();
    if (!in) return Err{in.error()};
    auto out = make_pipe();
    if (!out) return Err{out.error()};
    auto& [child_stdin, our_stdin] = in.value();
    auto& [our_stdout, child_stdout] = out.value();
    if (!set_nonblocking(our_stdin.get()) || !set_nonblocking(our_stdout.get())) return Err{errno};

    SpawnSetup setup;
    int status = posix_spawnattr_init(&setup.attr);
    if (status != 0) return Err{status};
    setup.attr_ready = true;
    status = posix_spawn_file_actions_init(&setup.actions);
    if (status != 0) return Err{status};
    setup.actions_ready = true;

    // The child starts with no signal blocked and SIGPIPE at its default action, whatever the
    // host (an interpreter ignores SIGPIPE, a worker thread blocks it) had set.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    // A process group of its own, led by the child: whatever it starts in turn (a helper that
    // holds its pipes) is ended with it, and a Ctrl-C at the terminal reaches only the host.
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    // The other pipe ends are close-on-exec, so only these two reach the program.
    posix_spawn_file_actions_adddup2(&setup.actions, child_stdin.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, child_stdout.get(), STDOUT_FILENO);

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    status = posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
    if (status != 0) return Err{status};
    return ChildProcess(pid, std::move(our_stdin), std::move(our_stdout));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), stdin_(std::move(other.stdin_)), stdout_(std::move(other.stdout_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        reap_now();
        pid_ = std::exchange(other.pid_, -1);
        stdin_ = std::move(other.stdin_);
        stdout_ = std::move(other.stdout_);
    }
    return *this;
}

ChildProcess::~ChildProcess() { reap_now(); }

void ChildProcess::reap_now() {
    stdin_.reset();
    stdout_.reset();
    if (pid_ < 0) return;
    kill();
    // A child that outlives its SIGKILL by the whole limit is let go rather than waited for
    // without end: this is its owner's last chance to reap it, and a hang here would stall
    // the batch (and Ctrl-C) for good. Should it end later, it stays a zombie until the host exits.
    if (!wait()) pid_ = -1;
}

bool ChildProcess::kill() {
    if (pid_ < 0) return true;
    // The group's id is the child's pid, and what keeps that number from being handed to
    // another process is not the child alone: an exited child stays a zombie until we reap
    // it, but with SIGCHLD ignored the kernel frees it at its exit. The group holds the
    // number too: no new process gets a pid that is still a live group's id, so while any
    // process the child started lives on in its group the signal reaches that group and no
    // one else. Once the child and its whole group are gone both signals fail with ESRCH,
    // which means ended already; the number is free then, but Linux hands pids out in turn
    // and reuses one only after going through the whole range. The child itself is
    // signalled too, in case it has left its group.
    const bool group_ended = ::kill(-pid_, SIGKILL) == 0 || errno == ESRCH;
    const bool child_ended = ::kill(pid_, SIGKILL) == 0 || errno == ESRCH;
    return group_ended && child_ended;
}

bool ChildProcess::wait(std::chrono::steady_clock::duration limit) {
    if (pid_ < 0) return true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Polled, since a blocking waitpid has no deadline: a killed child is usually reaped by
    // the first or second look, and the pauses grow so that a slow one costs few calls.
    std::chrono::microseconds pause{50};
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
        // ECHILD: the kernel reaped it (SIGCHLD ignored by the host); it has ended all the same.
        if (reaped == pid_ || (reaped < 0 && errno == ECHILD)) {
            pid_ = -1;
            return true;
        }
        if (reaped < 0 && errno != EINTR) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::microseconds(10'000));
    }
}

}  // namespace veltrix::arena
