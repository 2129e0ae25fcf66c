// strace-style lines for the kernel-call trace, decoded by the argument kinds
// of the call table: write(1, "hi\n", 3) = 3, open("/x", O_RDONLY, 0) = -2
// ENOENT (No such file or directory)
#pragma once

#include "kernel/kernel.h"

#include <optional>
#include <string>
#include <string_view>

namespace vekos {

class GuestMemory;

// Bytes as a quoted C-like string, cut after `limit` bytes with "...".
std::string quote_bytes(std::string_view bytes, size_t limit = 32);

// An error's name ("ENOENT" for 2), or null for a number that has none.
const char* error_name(int32_t error);
// The number of an error name ("ENOENT" gives 2).
std::optional<int32_t> error_number(std::string_view name);

// The whole line for one call, decoded with the guest memory as it is after the call.
std::string format_call(const GuestMemory& memory, const CallRecord& call);

} // namespace vekos
