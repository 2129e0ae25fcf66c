#include "kernel/console.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vekos {

std::optional<uint32_t> control_record_colour(std::span<const uint8_t> written)
{
    if (written.size() != kControlRecordSize || written[0] != kControlRecordMark)
        return std::nullopt;
    return uint32_t(written[1]) << 16 | uint32_t(written[2]) << 8 | written[3];
}

HostConsole::HostConsole()
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1; // then reads simply cannot be interrupted
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat st { };
        chunked_[fd] = fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
        may_wait_[fd] = chunked_[fd] || isatty(fd);
    }
}

HostConsole::~HostConsole()
{
    if (coloured_) {
        static constexpr char kDefaultColour[] = "\x1b[0m";
        [[maybe_unused]] ssize_t n = ::write(STDOUT_FILENO, kDefaultColour, sizeof kDefaultColour - 1);
    }
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

void HostConsole::interrupt()
{
    interrupted_ = true;
    if (wake_[1] >= 0) {
        char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &byte, 1);
    }
}

bool HostConsole::wait_for(int fd, short events)
{
    if (fd < 0) // nothing to wait for: only whether the run was interrupted
        return !interrupted_;
    if (wake_[0] < 0)
        return true;
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return true; // let the read or write itself report the problem
        }
        if (fds[1].revents & POLLIN)
            return false;
        return true;
    }
}

int HostConsole::read(std::span<uint8_t> buf)
{
    for (;;) {
        if (!wait_for(STDIN_FILENO, POLLIN))
            return -EINTR;
        ssize_t n = ::read(STDIN_FILENO, buf.data(), buf.size());
        if (n >= 0)
            return int(n);
        if (errno != EINTR)
            return -errno;
    }
}

int HostConsole::write(int stream, std::span<const uint8_t> bytes)
{
    const int fd = stream == 2 ? STDERR_FILENO : STDOUT_FILENO;
    if (const auto colour = stream == 1 ? control_record_colour(bytes) : std::nullopt) {
        if (!isatty(fd))
            return int(bytes.size());
        char sequence[32];
        const int length = std::snprintf(
            sequence, sizeof sequence, "\x1b[38;2;%u;%u;%um", *colour >> 16, *colour >> 8 & 0xFF, *colour & 0xFF);
        const int r = write(1, std::span(reinterpret_cast<const uint8_t*>(sequence), size_t(length)));
        if (r < 0)
            return r;
        coloured_ = true;
        return int(bytes.size());
    }
    const size_t chunk = chunked_[fd] ? std::min<size_t>(bytes.size(), PIPE_BUF) : bytes.size();
    for (;;) {
        if (!wait_for(may_wait_[fd] ? fd : -1, POLLOUT))
            return -EINTR;
        ssize_t n = ::write(fd, bytes.data(), chunk);
        if (n >= 0)
            return int(n);
        if (errno != EINTR && errno != EAGAIN)
            return -errno;
    }
}

int CapturedConsole::read(std::span<uint8_t> buf)
{
    size_t n = std::min(buf.size(), input_.size() - input_pos_);
    std::memcpy(buf.data(), input_.data() + input_pos_, n);
    input_pos_ += n;
    return int(n);
}

int CapturedConsole::write(int stream, std::span<const uint8_t> bytes)
{
    std::string& to = stream == 2 ? error_ : output_;
    to.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return int(bytes.size());
}

} // namespace vekos
