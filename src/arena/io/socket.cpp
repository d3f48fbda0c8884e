#include "arena/io/socket.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace veltrix::arena {

namespace {

// The longest a connection attempt may take before it counts as timed out.
constexpr std::chrono::seconds kConnectTimeLimit{10};

const char* errno_kind(int code) {
    switch (code) {
        case ECONNREFUSED: return "ConnectionRefused";
        case ECONNRESET: return "ConnectionReset";
        case ECONNABORTED: return "ConnectionAborted";
        case ENOTCONN: return "NotConnected";
        case EPIPE: return "BrokenPipe";
        case ETIMEDOUT: return "TimedOut";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case EAGAIN: return "WouldBlock";
        case EINTR: return "Interrupted";
        case ENOENT: return "NotFound";
        case EACCES:
        case EPERM: return "PermissionDenied";
        case EINVAL: return "InvalidInput";
        case ENETUNREACH: return "NetworkUnreachable";
        case EHOSTUNREACH: return "HostUnreachable";
        default: return "Other";
    }
}

// Milliseconds to the next look at the StopCheck: the deadline or the poll interval, whichever is sooner.
int slice_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, kStopPollInterval.count()));
}

bool stop_requested(const StopCheck& stop) { return stop && stop(); }

// Waits for `events` on `fd` in short slices; shared by the read, send and connect waits.
WaitStatus wait_for(int fd, short events, Clock::time_point deadline, const StopCheck& stop) {
    pollfd entry{fd, events, 0};
    return wait_any(std::span(&entry, 1), deadline, stop);
}

struct AddressList {
    addrinfo* head = nullptr;
    ~AddressList() {
        if (head != nullptr) ::freeaddrinfo(head);
    }
};

// Resolves addr:port for a stream socket; `passive` for an address to listen on.
Result<void, IoError> resolve(const std::string& addr, std::uint16_t port, bool passive, AddressList& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(addr.c_str(), service.c_str(), &hints, &out.head);
    if (status != 0) {
        return Err(IoError{"Other", 0, std::string("failed to look up address information: ") + ::gai_strerror(status)});
    }
    if (out.head == nullptr) return Err(IoError{"InvalidInput", 0, "could not resolve to any addresses"});
    return {};
}

bool set_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// One connection attempt to one resolved address, non-blocking so that it can be stopped.
Result<Socket, IoError> connect_one(const addrinfo& address, Clock::time_point deadline, const StopCheck& stop,
                                    bool& stopped) {
    Socket socket(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol));
    if (!socket.valid()) return Err(IoError::from_errno(errno));
    if (::connect(socket.fd(), address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return Err(IoError::from_errno(errno));
        const WaitStatus status = wait_for(socket.fd(), POLLOUT, deadline, stop);
        if (status == WaitStatus::Stopped) {
            stopped = true;
            return Err(IoError{"Interrupted", EINTR, "connection attempt stopped"});
        }
        if (status == WaitStatus::Timeout) return Err(IoError::timed_out());
        if (status == WaitStatus::Error) return Err(IoError::from_errno(errno));
        int failure = 0;
        socklen_t length = sizeof failure;
        if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &failure, &length) != 0) failure = errno;
        if (failure != 0) return Err(IoError::from_errno(failure));
    }
    if (!set_blocking(socket.fd())) return Err(IoError::from_errno(errno));
    // Requests and replies are single short lines: waiting to coalesce them only adds latency.
    const int one = 1;
    ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return socket;
}

}  // namespace

IoError IoError::from_errno(int code) { return IoError{errno_kind(code), code, std::strerror(code)}; }

IoError IoError::other(std::string message) { return IoError{"Other", 0, std::move(message)}; }

IoError IoError::timed_out() { return from_errno(ETIMEDOUT); }

std::string IoError::describe() const {
    if (code == 0) return kind + ": " + message;
    return kind + " (os error " + std::to_string(code) + "): " + message;
}

void Socket::shut_down() const {
    if (fd_) ::shutdown(fd_.get(), SHUT_RDWR);
}

WaitStatus wait_readable(int fd, Clock::time_point deadline, const StopCheck& stop) {
    return wait_for(fd, POLLIN, deadline, stop);
}

WaitStatus wait_any(std::span<pollfd> watched, Clock::time_point deadline, const StopCheck& stop) {
    for (;;) {
        if (stop_requested(stop)) return WaitStatus::Stopped;
        if (Clock::now() >= deadline) return WaitStatus::Timeout;
        const int ready = ::poll(watched.data(), watched.size(), slice_ms(deadline));
        if (ready > 0) return WaitStatus::Ready;
        if (ready < 0 && errno != EINTR) return WaitStatus::Error;
    }
}

Result<Socket, IoError> listen_tcp(const std::string& addr, std::uint16_t port) {
    AddressList addresses;
    if (auto resolved = resolve(addr, port, true, addresses); !resolved) return Err(resolved.error());
    IoError last = IoError::other("no address to bind");
    for (const addrinfo* address = addresses.head; address != nullptr; address = address->ai_next) {
        Socket socket(::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                               address->ai_protocol));
        if (!socket.valid()) {
            last = IoError::from_errno(errno);
            continue;
        }
        // A server restarted right after a match can bind again although old connections linger.
        const int one = 1;
        ::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(socket.fd(), address->ai_addr, address->ai_addrlen) != 0 || ::listen(socket.fd(), 128) != 0) {
            last = IoError::from_errno(errno);
            continue;
        }
        return socket;
    }
    return Err(last);
}

Result<Socket, AcceptError> accept_tcp(const Socket& listener, const StopCheck& stop) {
    for (;;) {
        const WaitStatus status = wait_readable(listener.fd(), Clock::time_point::max(), stop);
        if (status == WaitStatus::Stopped) return Err(AcceptError{AcceptFailure::Stopped, {}});
        if (status == WaitStatus::Error) return Err(AcceptError{AcceptFailure::Io, IoError::from_errno(errno)});
        Socket socket(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (socket.valid()) {
            const int one = 1;
            ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return socket;
        }
        // A connection that was reset before it could be taken is not the listener's failure,
        // nor is a network error pending on it, which Linux reports through accept (accept(2)
        // asks for these to be treated as EAGAIN): one bad peer must not stop a server.
        switch (errno) {
            case EINTR:
            case ECONNABORTED:
            case EAGAIN:
            case ENETDOWN:
            case EPROTO:
            case ENOPROTOOPT:
            case EHOSTDOWN:
            case ENONET:
            case EHOSTUNREACH:
            case EOPNOTSUPP:
            case ENETUNREACH: continue;
            default: break;
        }
        return Err(AcceptError{AcceptFailure::Io, IoError::from_errno(errno)});
    }
}

Result<Socket, IoError> connect_tcp(const std::string& addr, std::uint16_t port, const StopCheck& stop,
                                    bool& stopped) {
    stopped = false;
    AddressList addresses;
    if (auto resolved = resolve(addr, port, false, addresses); !resolved) return Err(resolved.error());
    const Clock::time_point deadline = Clock::now() + kConnectTimeLimit;
    IoError last = IoError::other("no address to connect to");
    for (const addrinfo* address = addresses.head; address != nullptr; address = address->ai_next) {
        auto socket = connect_one(*address, deadline, stop, stopped);
        if (socket || stopped) return socket;
        last = socket.error();
    }
    return Err(last);
}

Result<void, IoError> send_all(int fd, std::string_view bytes, Clock::time_point deadline, const StopCheck& stop,
                               bool& stopped) {
    stopped = false;
    while (!bytes.empty()) {
        // Never blocking in send itself: a peer that stops reading must not hold us past the deadline.
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Err(IoError::from_errno(errno));
        switch (wait_for(fd, POLLOUT, deadline, stop)) {
            case WaitStatus::Ready: break;
            case WaitStatus::Timeout: return Err(IoError::timed_out());
            case WaitStatus::Stopped: stopped = true; return Err(IoError{"Interrupted", EINTR, "send stopped"});
            case WaitStatus::Error: return Err(IoError::from_errno(errno));
        }
    }
    return {};
}

Result<std::size_t, IoError> receive_some(int fd, char* out, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::recv(fd, out, capacity, 0);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return Err(IoError::from_errno(errno));
    }
}

bool peer_has_gone(int fd) {
    pollfd entry{fd, POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace veltrix::arena
