// The raw limit of the network arena's move exchange, with no arena code, in the arena's
// shape: two games at once, as the server's two workers play them, each over its own loopback
// TCP connection to its own relay process, which passes every request down a pipe to that
// seat's player program and sends the program's reply back; everything blocks, nothing is
// polled. (The arena's clients each carry one seat of both games and so must wait on both;
// each relay here carries both seats of one game, which costs the same hops per move.)
// The requests are one game's positions (seat letter, blank, board line per line of
// GAME_FILE, made by the benchmark); the two games together are played GAMES times, half on
// each connection. Prints "<moves> <seconds>" for both together.
// Usage: raw_relay GAMES GAME_FILE PROGRAM [ARG ...]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) fail("write");
        done += static_cast<std::size_t>(n);
    }
}

// Lines from one descriptor, read with as few calls as the data allows.
class Lines {
public:
    explicit Lines(int fd) : fd_(fd) {}
    std::string next() {
        std::size_t newline;
        while ((newline = pending_.find('\n')) == std::string::npos) {
            char chunk[1024];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) fail("read");
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return line;
    }

private:
    int fd_;
    std::string pending_;
};

struct Program {
    pid_t pid;
    int in;
    Lines out;
};

Program spawn(const std::vector<std::string>& command, const char* colour) {
    int to_child[2];
    int from_child[2];
    // Close-on-exec, so that one program does not hold the other's input open.
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) fail("pipe");
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        ::dup2(to_child[0], STDIN_FILENO);
        ::dup2(from_child[1], STDOUT_FILENO);
        for (const int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) ::close(fd);
        std::vector<char*> argv;
        for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(const_cast<char*>(colour));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    return Program{pid, to_child[1], Lines(from_child[0])};
}

void no_delay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The relay: connects, then passes each request to its seat's program until the server closes.
int relay(std::uint16_t port, const std::vector<std::string>& command) {
    Program black = spawn(command, "BLACK");
    Program white = spawn(command, "WHITE");
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
    no_delay(socket);
    Lines server(socket);
    for (;;) {
        const std::string request = server.next();
        if (request == "quit") break;
        Program& program = request[0] == 'b' ? black : white;
        write_all(program.in, request.substr(2) + "\n");
        write_all(socket, program.out.next() + "\n");
    }
    for (Program* program : {&black, &white}) {
        ::close(program->in);
        ::waitpid(program->pid, nullptr, 0);
    }
    return 0;
}

// The server's side of one connection: plays `games` games over it, one request at a time.
long play(int client, const std::vector<std::string>& requests, long games) {
    Lines replies(client);
    long moves = 0;
    for (long game = 0; game < games; ++game) {
        for (const std::string& request : requests) {
            write_all(client, request);
            replies.next();
            ++moves;
        }
    }
    return moves;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const long games = std::atol(argv[1]);
    std::vector<std::string> requests;
    std::ifstream file(argv[2]);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty()) requests.push_back(line + "\n");
    }
    if (requests.empty()) return 2;
    const std::vector<std::string> command(argv + 3, argv + argc);

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 2) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("listen");
    }
    std::array<pid_t, 2> relays{};
    for (pid_t& relay_pid : relays) {
        relay_pid = ::fork();
        if (relay_pid < 0) fail("fork");
        if (relay_pid == 0) {
            ::close(listener);
            ::_exit(relay(ntohs(address.sin_port), command));
        }
    }
    std::array<int, 2> clients{};
    for (int& client : clients) {
        client = ::accept(listener, nullptr, nullptr);
        if (client < 0) fail("accept");
        no_delay(client);
        // Each program's first answer may be slow (it starts up): one round trip each before timing.
        Lines replies(client);
        for (const char seat : {'b', 'w'}) {
            write_all(client, std::string(1, seat) + " " + requests.front().substr(2));
            replies.next();
        }
    }
    std::array<long, 2> moves{};
    const auto started = std::chrono::steady_clock::now();
    {
        // One thread per game, as the arena's runner has one worker per pair.
        std::thread second([&] { moves[1] = play(clients[1], requests, games / 2); });
        moves[0] = play(clients[0], requests, games - games / 2);
        second.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Which relay took which connection is not known: tell both to quit before waiting for either.
    for (const int client : clients) {
        write_all(client, "quit\n");
        ::close(client);
    }
    for (const pid_t relay_pid : relays) ::waitpid(relay_pid, nullptr, 0);
    std::printf("%ld %.6f\n", moves[0] + moves[1], seconds);
    return 0;
}
