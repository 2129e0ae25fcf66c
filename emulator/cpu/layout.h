// Where the stand-in places things in the 32-bit guest address space.
#pragma once

#include <cstdint>

namespace vekos {

constexpr uint32_t kPageSize = 0x1000;
// Program segments must lie in [kLowestLoadAddress, kStackBase).
constexpr uint32_t kLowestLoadAddress = 0x00001000; // page 0 stays unmapped
constexpr uint32_t kStackTop = 0xC0000000;
constexpr uint32_t kStackSize = 0x00100000; // 1 MiB
constexpr uint32_t kStackBase = kStackTop - kStackSize;
// The stand-in's own page: int3 in every byte, so wherever guest code lands
// here it stops at once (without touching the CPU's fault state, as a real
// fault would).  Harness calls return to its first byte.  It also holds the
// CPU's descriptor table and, during set-up only, the iretd that drops the CPU
// from ring 0 to ring 3.
constexpr uint32_t kStandInPage = 0xC0001000;
constexpr uint32_t kReturnSentinel = kStandInPage;
constexpr uint32_t kUserModeEntry = kStandInPage + 0x10; // iretd
constexpr uint32_t kUserModeReached = kStandInPage + 0x20;
constexpr uint32_t kDescriptorTable = kStandInPage + 0x800;
// Scratch memory the test harness fills with strings and buffers.
constexpr uint32_t kScratchBase = 0xC0100000;
constexpr uint32_t kScratchSize = 0x00100000;
// A page that is never mapped and never executed; used as the run's end address.
constexpr uint32_t kNeverExecuted = 0xFFFFF000;

// Program arguments (strings and pointers) may take at most half the stack.
constexpr uint32_t kMaxArgumentBytes = kStackSize / 2;

constexpr uint32_t page_floor(uint32_t a) { return a & ~(kPageSize - 1); }
constexpr uint64_t page_ceil(uint64_t a) { return (a + kPageSize - 1) & ~uint64_t(kPageSize - 1); }

} // namespace vekos
