#include "arena/client_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

extern char** environ;

namespace veltrix::arena {

namespace {

constexpr std::size_t kReadChunk = 4096;

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

Err<ProgramStartError> start_failure(IoError error) {
    return Err(ProgramStartError{ProgramStartFailure::Io, std::move(error)});
}

// Spawns argv with the given pipe ends as its standard input and output; the child gets the
// default SIGPIPE action and an empty signal mask, whatever the host process uses.
int spawn(const std::vector<std::string>& argv, int input, int output, pid_t& pid) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t empty;
    sigemptyset(&empty);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const int status = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

struct PipePair {
    int read = -1;
    int write = -1;
    ~PipePair() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
};

bool open_pipe(PipePair& pipe) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    pipe.read = ends[0];
    pipe.write = ends[1];
    return true;
}

}  // namespace

Result<ClientProgram, ProgramStartError> ClientProgram::start(const std::vector<std::string>& command, bool white,
                                                              const StopCheck& stop) {
    if (command.empty()) return start_failure(IoError{"InvalidInput", 0, "empty command"});
    std::vector<std::string> argv = command;
    argv.emplace_back(white ? "WHITE" : "BLACK");
    PipePair to_child;
    PipePair from_child;
    if (!open_pipe(to_child) || !open_pipe(from_child)) return start_failure(IoError::from_errno(errno));
    pid_t pid = -1;
    if (const int status = spawn(argv, to_child.read, from_child.write, pid); status != 0) {
        return start_failure(IoError::from_errno(status));
    }
    ClientProgram program(pid, std::exchange(to_child.write, -1), std::exchange(from_child.read, -1));
    if (!program.write("ping\n")) return start_failure(IoError::other("Write error"));
    std::string reply;
    for (;;) {
        const ReadStatus status = program.read_line(reply, Clock::now() + kStopPollInterval);
        if (status == ReadStatus::Timeout) {
            if (stop && stop()) return Err(ProgramStartError{ProgramStartFailure::Stopped, {}});
            continue;
        }
        if (status == ReadStatus::Error) return start_failure(IoError::other("Read error"));
        if (status != ReadStatus::Line || trimmed(reply) != "pong") {
            return start_failure(IoError::other("ping-pong test failed"));
        }
        return program;
    }
}

ClientProgram::ClientProgram(ClientProgram&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::exchange(other.input_, -1)),
      output_(std::exchange(other.output_, -1)),
      buffered_(std::move(other.buffered_)) {}

ClientProgram::~ClientProgram() {
    close_pipes();
    kill();
    reap();
}

bool ClientProgram::write(std::string_view bytes) {
    if (input_ < 0) return false;
    // A program that has exited must not take this process down with SIGPIPE: the signal is
    // blocked for this thread while it writes, and one raised by the write is taken back.
    sigset_t pipe_signal;
    sigset_t previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    bool written = true;
    while (!bytes.empty()) {
        const ssize_t count = ::write(input_, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            written = false;
            break;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    if (!written) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec no_wait{0, 0};
            sigtimedwait(&pipe_signal, nullptr, &no_wait);
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

ReadStatus ClientProgram::read_line(std::string& line, Clock::time_point deadline) {
    for (;;) {
        if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
            line.assign(buffered_, 0, end + 1);
            buffered_.erase(0, end + 1);
            return ReadStatus::Line;
        }
        if (buffered_.size() > kMaxLineBytes) return ReadStatus::TooLong;
        if (output_ < 0) return ReadStatus::EndOfStream;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ReadStatus::Timeout;
        pollfd entry{output_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<decltype(left)>(left, 1000)));
        if (ready < 0 && errno != EINTR) return ReadStatus::Error;
        if (ready <= 0) continue;
        char chunk[kReadChunk];
        const ssize_t count = ::read(output_, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) continue;
            return ReadStatus::Error;
        }
        if (count == 0) {
            ::close(std::exchange(output_, -1));
            if (buffered_.empty()) return ReadStatus::EndOfStream;
            line = std::move(buffered_);  // the last line had no "\n"
            buffered_.clear();
            return ReadStatus::Line;
        }
        buffered_.append(chunk, static_cast<std::size_t>(count));
    }
}

void ClientProgram::kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
}

bool ClientProgram::reap() {
    if (pid_ <= 0) return true;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            pid_ = -1;
            return false;
        }
    }
    pid_ = -1;
    return true;
}

void ClientProgram::close_pipes() {
    if (input_ >= 0) ::close(std::exchange(input_, -1));
    if (output_ >= 0) ::close(std::exchange(output_, -1));
}

}  // namespace veltrix::arena
