// The stub's TCP side: listens on 127.0.0.1 only (never on other
// interfaces: whoever connects controls the guest), takes one connection,
// and carries the protocol's bytes over it.
#pragma once

#include "debug/gdb_target.h"
#include "base/unique_fd.h"

#include <cstdint>
#include <optional>

namespace vekos::gdb {

class SocketTransport : public Transport {
public:
    // Once `cancel_fd` is readable (vekos-run was told to stop), GDB counts as gone.
    SocketTransport(UniqueFd fd, int cancel_fd) : fd_(std::move(fd)), cancel_fd_(cancel_fd) {}
    std::optional<size_t> read(std::span<uint8_t> buffer, bool wait) override;
    void write(std::string_view bytes) override;

private:
    UniqueFd fd_;
    int cancel_fd_ = -1;
};

class GdbListener {
public:
    // Listens on 127.0.0.1:port (0: a free port the system picks).  Throws
    // std::runtime_error saying what to do when the port is taken or cannot
    // be used.
    explicit GdbListener(uint16_t port);
    // The port listened on.
    uint16_t port() const { return port_; }
    // Waits for GDB to connect, then stops listening: a second debugger
    // is refused rather than left waiting.  nullopt when `cancel_fd`
    // (-1: none) turns readable first.
    std::optional<SocketTransport> accept(int cancel_fd);

private:
    UniqueFd fd_;
    uint16_t port_ = 0;
};

} // namespace vekos::gdb
