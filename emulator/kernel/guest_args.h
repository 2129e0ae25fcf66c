// Reading a call's arguments out of guest memory, as every service family
// does: paths, texts, byte ranges and records, with the kernel's answers for
// what cannot be read.
#pragma once

#include "cpu/guest_memory.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vekos {

// A path argument: -14 unreadable, -36 longer than 4095 bytes, -2 empty.
std::optional<std::string> guest_path(const GuestMemory& m, uint32_t addr, int32_t& error);
// f(path) for a path argument, or the answer for one that cannot be read.
template <typename Answer, typename F>
Answer with_path(const GuestMemory& m, uint32_t addr, F f)
{
    int32_t error = 0;
    auto path = guest_path(m, addr, error);
    return path ? f(*path) : Answer{error};
}
// A text argument (a title, a caption): -14 unreadable, -22 longer than 65535 bytes.
std::optional<std::string> guest_text(const GuestMemory& m, uint32_t addr, int32_t& error);

// The guest's bytes as a host span: a view when the range lies in one region,
// else a copy (a range across regions); nullopt when not all are readable.
struct GuestBytes {
    std::span<const uint8_t> bytes;
    std::vector<uint8_t> copy;
};
std::optional<GuestBytes> guest_bytes(const GuestMemory& m, uint32_t addr, uint32_t len);

// A record the guest passes by pointer (its layout from vekos_abi.h); nullopt
// when any byte of it is not readable by the guest.
template <typename Record>
std::optional<Record> guest_record(const GuestMemory& m, uint32_t addr)
{
    uint8_t bytes[sizeof(Record)];
    if (!m.accessible(addr, sizeof bytes, kRead) || !m.peek(addr, bytes))
        return std::nullopt;
    Record r;
    std::memcpy(&r, bytes, sizeof r);
    return r;
}

} // namespace vekos
