#include "arena/io/watchdog.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <utility>

namespace veltrix::arena::watchdog {

namespace {

// One fixed-size record per change, so that every send is one datagram-like packet that
// concurrent threads cannot interleave.
struct Message {
    std::int32_t op;  // '+' guard, '-' release
    std::int32_t pgid;
};

// The watchdog's set of guarded groups, one bit per possible pid (Linux pids stay below
// 2^22). Only the watchdog process touches it: the host's copy stays untouched zero pages.
constexpr std::size_t kPidLimit = std::size_t{1} << 22;
std::uint64_t g_guarded[kPidLimit / 64];

// How long a registration may wait for room in the channel (a stopped watchdog).
constexpr int kSendWaitMs = 1000;
// How long a start waits to reap the middle process of its double fork (it exits at once).
constexpr int kMiddleWaitUs = 2'000'000;

// Two locks, so that no fork ever happens while a lock the fork handlers take is held (a
// fork in another thread takes glibc's fork lock before our handlers run, and would wait on
// us while we waited on it):
// - g_start serializes the callers of guard_group and release_group, starts included; the
//   forks of a start happen under it, and the handlers never take it.
// - g_state guards the three variables below for the fork handlers, held only for moments.
pthread_mutex_t g_start = PTHREAD_MUTEX_INITIALIZER;
std::mutex g_state;
int g_channel = -1;  // the host's end of the channel to its watchdog
int g_pending = -1;  // that end while a start is under way, not yet in g_channel
pid_t g_owner = 0;   // the process that started that watchdog

// A fork (ours or the user's os.fork) must not leave the child holding the parent's channel:
// the parent's watchdog would then wait for the child too. The child starts its own when needed.
void before_fork() { g_state.lock(); }
void after_fork_parent() { g_state.unlock(); }
void after_fork_child() {
    if (g_channel >= 0) ::close(g_channel);
    if (g_pending >= 0) ::close(g_pending);
    g_channel = -1;
    g_pending = -1;
    g_owner = 0;
    // Only the forking thread lives on in the child; a start another thread had under way is
    // not the child's, so the lock it held is let go.
    g_start = PTHREAD_MUTEX_INITIALIZER;
    g_state.unlock();
}

void install_fork_handlers() {
    static const int installed = ::pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    (void)installed;
}

// Holds g_start for a scope.
class StartLock {
public:
    StartLock() { ::pthread_mutex_lock(&g_start); }
    ~StartLock() { ::pthread_mutex_unlock(&g_start); }
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;
};

// Closes every descriptor from `first` up: the watchdog must hold none of the host's pipes
// or sockets (a reader waiting for their end would wait for the watchdog too).
void close_from(int first) {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0) return;
#endif
    rlimit limit{};
    int last = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 65536) {
        last = static_cast<int>(limit.rlim_cur);
    }
    for (int fd = first; fd < last; ++fd) ::close(fd);
}

// The watchdog itself. It runs in a fork of a possibly multithreaded host, so it makes only
// async-signal-safe calls: no allocation, no locks, no stdio.
[[noreturn]] void watch(int channel) {
    if (channel != 3) {
        if (::dup2(channel, 3) < 0) ::_exit(1);
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    }
    close_from(4);
    // Named for what it is in ps and top (its command line stays the host's).
    ::prctl(PR_SET_NAME, "veltrix-watch");  // at most 15 characters
    if (::chdir("/") != 0) {
        // Staying in the host's directory only keeps it busy; the watch goes on.
    }
    // Signals meant for the host or its terminal are not the watchdog's to act on: it ends
    // when its channel closes.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU, SIGUSR1, SIGUSR2}) {
        ::sigaction(signal, &ignore, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    for (;;) {
        Message message{};
        const ssize_t got = ::recv(3, &message, sizeof message, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got != static_cast<ssize_t>(sizeof message)) break;  // the host has gone (or the channel broke)
        if (message.pgid <= 0 || static_cast<std::size_t>(message.pgid) >= kPidLimit) continue;
        const auto pgid = static_cast<std::size_t>(message.pgid);
        const std::uint64_t bit = std::uint64_t{1} << (pgid % 64);
        if (message.op == '+') g_guarded[pgid / 64] |= bit;
        if (message.op == '-') g_guarded[pgid / 64] &= ~bit;
    }
    for (std::size_t word = 0; word < kPidLimit / 64; ++word) {
        for (std::uint64_t bits = g_guarded[word]; bits != 0; bits &= bits - 1) {
            const auto pgid = static_cast<pid_t>(word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)));
            ::kill(-pgid, SIGKILL);
        }
    }
    ::_exit(0);
}

// Starts a watchdog for this process and keeps the channel to it; called under g_start.
bool start_watchdog() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return false;
    int previous = -1;
    {
        const std::lock_guard lock(g_state);
        previous = std::exchange(g_channel, -1);
        g_pending = ends[0];
    }
    if (previous >= 0) ::close(previous);
    // Signals stay blocked across the forks, so no handler of the host runs in them.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t middle = ::fork();
    if (middle == 0) {
        // The fork handler has closed the host's end here already.
        ::setsid();
        const pid_t watcher = ::fork();
        if (watcher == 0) watch(ends[1]);
        ::_exit(watcher < 0 ? 1 : 0);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ::close(ends[1]);
    bool started = false;
    if (middle > 0) {
        // The middle process exits at once; reaping it leaves the watchdog with no parent
        // here. Polled against a deadline all the same, as every wait of ours is.
        int status = 0;
        pid_t reaped = 0;
        for (int pause_us = 20, waited_us = 0; waited_us < kMiddleWaitUs; waited_us += pause_us, pause_us *= 2) {
            reaped = ::waitpid(middle, &status, WNOHANG);
            if (reaped != 0 && !(reaped < 0 && errno == EINTR)) break;
            ::usleep(static_cast<useconds_t>(pause_us));
        }
        // ECHILD: the host ignores SIGCHLD and the kernel reaped it; its status is unknown then.
        started = reaped < 0 ? errno == ECHILD : reaped == middle && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    const std::lock_guard lock(g_state);
    g_pending = -1;
    if (!started) {
        ::close(ends[0]);
        return false;
    }
    g_channel = ends[0];
    g_owner = ::getpid();
    return true;
}

// Sends one message on the channel (under g_start); false when the watchdog cannot take it.
bool send_message(const Message& message) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ssize_t sent = ::send(g_channel, &message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(sizeof message)) return true;
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd writable{g_channel, POLLOUT, 0};
            if (::poll(&writable, 1, kSendWaitMs) > 0) continue;
        }
        return false;
    }
    return false;
}

}  // namespace

bool guard_group(pid_t pgid) {
    install_fork_handlers();
    const StartLock lock;
    const Message message{'+', static_cast<std::int32_t>(pgid)};
    if (g_channel >= 0 && g_owner == ::getpid() && send_message(message)) return true;
    // No watchdog yet, one inherited from the process we were forked from, or one that is
    // gone (killed by hand): start ours. Groups registered with a killed one are not
    // known to the new one; their owners still end them as usual.
    return start_watchdog() && send_message(message);
}

void release_group(pid_t pgid) {
    const StartLock lock;
    if (g_channel < 0 || g_owner != ::getpid()) return;
    send_message(Message{'-', static_cast<std::int32_t>(pgid)});
}

}  // namespace veltrix::arena::watchdog
