// Where the stand-in places things in the 32-bit guest address space.
#pragma once

#include <cstdint>

namespace vekos {

constexpr uint32_t kPageSize = 0x1000;
// Program segments must lie in [kLowestLoadAddress, kStackBase).
constexpr uint32_t kLowestLoadAddress = 0x00001000;   // page 0 stays unmapped
constexpr uint32_t kStackTop = 0xC0000000;
constexpr uint32_t kStackSize = 0x00100000;            // 1 MiB
constexpr uint32_t kStackBase = kStackTop - kStackSize;
// A page of hlt bytes: guest calls made by the harness return here.
constexpr uint32_t kReturnSentinel = 0xC0001000;
// Scratch memory the test harness fills with strings and buffers.
constexpr uint32_t kScratchBase = 0xC0100000;
constexpr uint32_t kScratchSize = 0x00100000;
// A page that is never mapped and never executed; used as the run's end address.
constexpr uint32_t kNeverExecuted = 0xFFFFF000;

constexpr uint32_t page_floor(uint32_t a) { return a & ~(kPageSize - 1); }
constexpr uint64_t page_ceil(uint64_t a) { return (a + kPageSize - 1) & ~uint64_t(kPageSize - 1); }

} // namespace vekos
