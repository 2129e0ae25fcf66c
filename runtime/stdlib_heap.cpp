// The bump allocator: blocks carved end to end from one static arena, each a
// size word followed by the payload, rounded up to a multiple of 8 bytes.
// Nothing is ever given back.
#include "errno.h"
#include "stdlib.h"
#include "stdlib_impl.h"
#include "string.h"

using namespace vekos::heap;

extern "C" {
alignas(8) unsigned char g_heap[arena_size];
unsigned g_heap_used;
}

namespace {

// Hands out a block for n (>= 1) bytes, or null with errno set.  The
// arithmetic is 64-bit so a request near 2^32 fails instead of wrapping.
void *take_block(unsigned n)
{
    unsigned long long length = (static_cast<unsigned long long>(n) + size_word + block_alignment - 1) & ~0x7ull;
    if (g_heap_used + length > arena_size) {
        errno = ENOMEM;
        return nullptr;
    }
    unsigned char *block = g_heap + g_heap_used;
    *reinterpret_cast<unsigned *>(block) = n;
    g_heap_used += static_cast<unsigned>(length);
    return block + size_word;
}

unsigned recorded_size(const void *payload) { return *(reinterpret_cast<const unsigned *>(payload) - 1); }

} // namespace

extern "C" {

void *malloc(size_t size) { return take_block(size ? size : 1); }

void free(void *) { }

void *calloc(size_t count, size_t size)
{
    if (count == 0 || size == 0)
        return take_block(1); // never-used arena is zero already
    unsigned long long product = static_cast<unsigned long long>(count) * size;
    if (product > 0xFFFFFFFFull) {
        errno = ENOMEM;
        return nullptr;
    }
    void *payload = take_block(static_cast<unsigned>(product));
    if (payload)
        memset(payload, 0, static_cast<size_t>(product));
    return payload;
}

void *realloc(void *ptr, size_t size)
{
    unsigned n = size ? size : 1;
    void *moved = take_block(n);
    if (!moved || !ptr)
        return moved;
    unsigned old = recorded_size(ptr);
    memcpy(moved, ptr, old < n ? old : n);
    return moved;
}

} // extern "C"
