#include "console.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vekos {

int HostConsole::read(std::span<uint8_t> buf)
{
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buf.data(), buf.size());
        if (n >= 0)
            return int(n);
        if (errno != EINTR)
            return -errno;
    }
}

int HostConsole::write(int stream, std::span<const uint8_t> bytes)
{
    int fd = stream == 2 ? STDERR_FILENO : STDOUT_FILENO;
    for (;;) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n >= 0)
            return int(n);
        if (errno != EINTR)
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
