#include "debug/gdb_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vekos::gdb {
namespace {

constexpr int listen_backlog = 1;
constexpr int wait_forever = -1;
constexpr int no_wait = 0;

std::string endpoint(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

[[noreturn]] void fail(const std::string& what, int error)
{
    throw std::runtime_error(what + ": " + std::strerror(error));
}

void set_option(int fd, int level, int option)
{
    int on = 1;
    if (::setsockopt(fd, level, option, &on, sizeof on) != 0)
        fail("gdb stub: setsockopt", errno);
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

GdbListener::GdbListener(uint16_t port)
{
    fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_)
        fail("gdb stub: cannot create a socket", errno);
    set_option(fd_.get(), SOL_SOCKET, SO_REUSEADDR);  // a port left in TIME_WAIT by the last session
    sockaddr_in address = loopback(port);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        if (error == EADDRINUSE)
            throw std::runtime_error("gdb stub: port " + std::to_string(port) +
                                     " on 127.0.0.1 is in use by another program; choose another port");
        fail("gdb stub: cannot listen on " + endpoint(port), error);
    }
    if (::listen(fd_.get(), listen_backlog) != 0)
        fail("gdb stub: cannot listen on " + endpoint(port), errno);
    socklen_t size = sizeof address;
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        fail("gdb stub: getsockname", errno);
    port_ = ntohs(address.sin_port);
}

// Waits until `fd` is readable (true) or `cancel_fd` is (false).
static bool readable_before_cancel(int fd, int cancel_fd, int timeout_ms)
{
    pollfd ready[2] = {{fd, POLLIN, 0}, {cancel_fd, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(ready, cancel_fd >= 0 ? 2 : 1, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("gdb stub: poll", errno);
        return !(cancel_fd >= 0 && ready[1].revents);
    }
}

std::optional<SocketTransport> GdbListener::accept(int cancel_fd)
{
    for (;;) {
        if (!readable_before_cancel(fd_.get(), cancel_fd, wait_forever))
            return std::nullopt;
        int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            UniqueFd connection(fd);
            fd_.reset();
            set_option(fd, IPPROTO_TCP, TCP_NODELAY);  // many small packets, each waited for
            return SocketTransport(std::move(connection), cancel_fd);
        }
        if (errno != EINTR && errno != ECONNABORTED)
            fail("gdb stub: accepting a connection on " + endpoint(port_), errno);
    }
}

std::optional<size_t> SocketTransport::read(std::span<uint8_t> buffer, bool wait)
{
    pollfd ready[2] = {{fd_.get(), POLLIN, 0}, {cancel_fd_, POLLIN, 0}};
    int n = ::poll(ready, cancel_fd_ >= 0 ? 2 : 1, wait ? wait_forever : no_wait);
    if (n < 0 && errno == EINTR)
        return size_t{0};
    if (n < 0)
        fail("gdb connection: poll", errno);
    if (cancel_fd_ >= 0 && ready[1].revents)
        return std::nullopt;
    if (n == 0)
        return size_t{0};
    ssize_t got = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return size_t{0};
    if (got <= 0)
        return std::nullopt;  // closed, or reset
    return size_t(got);
}

void SocketTransport::write(std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0)
            fail("gdb connection: cannot send to GDB", errno);
        bytes.remove_prefix(size_t(sent));
    }
}

} // namespace vekos::gdb
