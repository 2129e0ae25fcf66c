// strace-style lines for the kernel-call trace, decoded by the argument kinds
// of the call table: write(1, "hi\n", 3) = 3
#pragma once

#include "kernel/kernel.h"

#include <string>
#include <string_view>

namespace vekos {

class GuestMemory;

// Bytes as a quoted C-like string, cut after `limit` bytes with "...".
std::string quote_bytes(std::string_view bytes, size_t limit = 32);

// The whole line for one call, decoded with the guest memory as it is after the call.
std::string format_call(const GuestMemory& memory, const CallRecord& call);

} // namespace vekos
