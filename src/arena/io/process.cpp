#include "arena/io/process.hpp"

#include "arena/io/watchdog.hpp"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>
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

// The places exec tries for `program`, worked out before the fork (the child may not
// allocate): the name itself when it holds a "/", else each directory of PATH in turn.
std::vector<std::string> exec_candidates(const std::string& program) {
    if (program.find('/') != std::string::npos) return {program};
    const char* path = std::getenv("PATH");
    const std::string_view dirs = path != nullptr ? path : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = std::min(dirs.find(':', begin), dirs.size());
        const std::string_view dir = dirs.substr(begin, end - begin);
        // An empty entry means the current directory, as for execvp.
        candidates.push_back(dir.empty() ? program : std::string(dir) + "/" + program);
        if (end == dirs.size()) break;
        begin = end + 1;
    }
    return candidates;
}

// What the child needs, all prepared by the parent.
struct ChildPlan {
    pid_t parent;
    int gate;          // read end: one byte once the parent has registered the group
    int gate_opener;   // the write end, the parent's alone
    int report;        // write end: errno of a failed exec
    int stdin_source;  // becomes descriptor 0
    int stdout_sink;   // becomes descriptor 1
    char* const* argv;
    const std::vector<char*>* candidates;
};

// The child between fork and exec. The host may be multithreaded, so only async-signal-safe
// calls: no allocation, no locks.
[[noreturn]] void run_child(const ChildPlan& plan) {
    // Should the parent die before it has registered this group with the watchdog, nothing
    // else would end it: the parent-death signal covers that window. The forking thread is
    // blocked in spawn until the gate opens, so the signal cannot fire for its exit instead.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != plan.parent) ::_exit(127);
    ::setpgid(0, 0);
    ::close(plan.gate_opener);  // so that a parent gone before the gate opens reads as end of file
    // Handlers of the host mean nothing here; ignored signals stay ignored (as exec keeps
    // them), except SIGPIPE, which an interpreter ignores and a program expects at default.
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0) continue;
        if (signal == SIGPIPE || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)) {
            struct sigaction standard {};
            standard.sa_handler = SIG_DFL;
            ::sigaction(signal, &standard, nullptr);
        }
    }
    char go = 0;
    ssize_t got = 0;
    do {
        got = ::read(plan.gate, &go, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) ::_exit(127);  // the parent gave up on us
    ::prctl(PR_SET_PDEATHSIG, 0);  // from here the watchdog answers for the group
    if (::dup2(plan.stdin_source, STDIN_FILENO) < 0 || ::dup2(plan.stdout_sink, STDOUT_FILENO) < 0) {
        const int error = errno;
        (void)!::write(plan.report, &error, sizeof error);
        ::_exit(127);
    }
    // The program starts with no signal blocked, whatever the host's threads had blocked.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int error = ENOENT;
    for (char* candidate : *plan.candidates) {
        ::execve(candidate, plan.argv, environ);
        // As execvp: a missing or unreadable entry moves on to the next directory, a
        // denied one is remembered, anything else is the answer.
        if (errno == EACCES) {
            error = EACCES;
        } else if (errno != ENOENT && errno != ENOTDIR && errno != ESTALE && errno != ELOOP && errno != ENAMETOOLONG) {
            error = errno;
            break;
        }
    }
    (void)!::write(plan.report, &error, sizeof error);
    ::_exit(127);
}

// How long the parent waits to hear whether the exec worked (it takes moments).
constexpr int kExecReportWaitMs = 5000;

// Reads the child's exec report: 0 once exec succeeded (the report pipe closed empty).
int await_exec_report(int report) {
    pollfd readable{report, POLLIN, 0};
    int waited = 0;
    while (waited < kExecReportWaitMs) {
        const int ready = ::poll(&readable, 1, 100);
        if (ready < 0 && errno != EINTR) return errno;
        if (ready <= 0) {
            waited += 100;
            continue;
        }
        int error = 0;
        const ssize_t got = ::read(report, &error, sizeof error);
        if (got < 0 && errno == EINTR) continue;
        if (got == static_cast<ssize_t>(sizeof error)) return error;
        return 0;
    }
    return 0;  // still not through exec: treated as started, and killed and reaped as usual
}

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
    auto gate = make_pipe();
    if (!gate) return Err{gate.error()};
    auto report = make_pipe();
    if (!report) return Err{report.error()};
    auto& [child_stdin, our_stdin] = in.value();
    auto& [our_stdout, child_stdout] = out.value();
    auto& [gate_read, gate_write] = gate.value();
    auto& [report_read, report_write] = report.value();
    if (!set_nonblocking(our_stdin.get()) || !set_nonblocking(our_stdout.get())) return Err{errno};

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> candidates = exec_candidates(argv[0]);
    std::vector<char*> candidate_ptrs;
    candidate_ptrs.reserve(candidates.size());
    for (std::string& candidate : candidates) candidate_ptrs.push_back(candidate.data());
    const ChildPlan plan{::getpid(),         gate_read.get(),   gate_write.get(), report_write.get(),
                         child_stdin.get(), child_stdout.get(), args.data(),     &candidate_ptrs};

    // All signals stay blocked across the fork, so no handler of the host runs in the child.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t pid = ::fork();
    if (pid == 0) run_child(plan);
    const int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) return Err{fork_error};
    gate_read.reset();
    report_write.reset();
    child_stdin.reset();
    child_stdout.reset();
    ChildProcess child(pid, std::move(our_stdin), std::move(our_stdout));
    // Both sides set the group, so it exists whichever runs first.
    ::setpgid(pid, pid);
    child.guarded_ = watchdog::guard_group(pid);
    const char go = 1;
    if (::write(gate_write.get(), &go, 1) != 1) return Err{errno};  // the child is killed and reaped
    gate_write.reset();
    if (const int error = await_exec_report(report_read.get()); error != 0) return Err{error};
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      guarded_(std::exchange(other.guarded_, false)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        reap_now();
        pid_ = std::exchange(other.pid_, -1);
        guarded_ = std::exchange(other.guarded_, false);
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
            // The group was killed before this wait (every owner kills first), so nothing of
            // it is left for the watchdog to end.
            if (guarded_) watchdog::release_group(pid_);
            guarded_ = false;
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
