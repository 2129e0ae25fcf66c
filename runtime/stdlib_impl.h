// What the stdlib pieces share: the arena and its mark.
#ifndef VEKOS_STDLIB_IMPL_H
#define VEKOS_STDLIB_IMPL_H

extern "C" {
extern unsigned char g_heap[];
extern unsigned g_heap_used;
}

namespace vekos::heap {

constexpr unsigned arena_size = 0x100000; // 1 MiB
constexpr unsigned size_word = 4;         // the recorded size, just before each payload
constexpr unsigned block_alignment = 8;

} // namespace vekos::heap

#endif
