#include "kernel/guest_args.h"

#include <cerrno>

namespace vekos {
namespace {

constexpr uint32_t kMaxPath = 4095;
constexpr uint32_t kMaxText = 65535;

// Unterminated within `max` bytes: too long only if every byte up to the
// limit could be read; a string that runs into unmapped memory before its
// NUL is a bad address.
std::optional<std::string> guest_string(
    const GuestMemory& m, uint32_t addr, uint32_t max, int32_t too_long, int32_t& error)
{
    if (auto s = m.read_cstring(addr, max))
        return s;
    error = m.accessible(addr, max + 1, kRead) ? too_long : -EFAULT;
    return std::nullopt;
}

} // namespace

std::optional<std::string> guest_path(const GuestMemory& m, uint32_t addr, int32_t& error)
{
    auto path = guest_string(m, addr, kMaxPath, -ENAMETOOLONG, error);
    if (path && path->empty()) {
        error = -ENOENT;
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> guest_text(const GuestMemory& m, uint32_t addr, int32_t& error)
{
    return guest_string(m, addr, kMaxText, -EINVAL, error);
}

std::optional<GuestBytes> guest_bytes(const GuestMemory& m, uint32_t addr, uint32_t len)
{
    GuestBytes out;
    if (auto view = m.view(addr, len, kRead)) {
        out.bytes = *view;
        return out;
    }
    if (!m.accessible(addr, len, kRead))
        return std::nullopt;
    out.copy.resize(len);
    m.peek(addr, out.copy);
    out.bytes = out.copy;
    return out;
}

} // namespace vekos
