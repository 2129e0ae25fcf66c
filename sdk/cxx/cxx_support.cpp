// The C++ support of the SDK (libvekos++.a): the allocation functions, and
// the routines the compiler calls for a pure or deleted virtual function.
// vekos-cc offers it to C++ links only; C programs and paneprobe never
// carry any of it.
//
// Memory comes from malloc, whose payloads are 4-byte aligned; vekos-cc
// compiles C++ with -faligned-new=4, so every type aligned more strictly
// goes through the aligned forms, which take that much more and round up.
// delete hands memory to free, which keeps it: the heap never reuses memory.
// A failed new ends the program (there are no exceptions to throw): a
// message on the console, where stderr writes too, then abort (status 1).
#include <new>

#include <stdint.h>

#include "stdlib.h"
#include "unistd.h"

namespace {

// The alignment malloc guarantees.
constexpr size_t heap_alignment = 4;

template <size_t N>
[[noreturn]] void fail(const char (&message)[N])
{
    write(1, message, N - 1);
    abort();
}

void *or_fail(void *block)
{
    if (!block)
        fail("operator new: out of memory (the heap holds 1 MiB)\n");
    return block;
}

// The payload is a multiple of 4 bytes, so the next multiple of the
// alignment lies at most alignment - 4 bytes further.  A size so large that
// the sum wraps asks for all memory and fails like any request too large.
void *allocate_aligned(size_t size, std::align_val_t alignment)
{
    const size_t align = static_cast<size_t>(alignment);
    if (align <= heap_alignment)
        return malloc(size);
    const size_t extra = align - heap_alignment;
    const size_t total = size + extra < size ? SIZE_MAX : size + extra;
    const uintptr_t block = reinterpret_cast<uintptr_t>(malloc(total));
    if (!block)
        return nullptr;
    return reinterpret_cast<void *>((block + align - 1) & ~(align - 1));
}

} // namespace

namespace std {
const nothrow_t nothrow{};
} // namespace std

void *operator new(size_t size) { return or_fail(malloc(size)); }
void *operator new[](size_t size) { return or_fail(malloc(size)); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return malloc(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return malloc(size); }
void *operator new(size_t size, std::align_val_t alignment) { return or_fail(allocate_aligned(size, alignment)); }
void *operator new[](size_t size, std::align_val_t alignment) { return or_fail(allocate_aligned(size, alignment)); }
void *operator new(size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept
{
    return allocate_aligned(size, alignment);
}
void *operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept
{
    return allocate_aligned(size, alignment);
}

// Every delete is free, which gives nothing back; an aligned block is never
// handed to free, as its pointer may lie inside what malloc answered.
void operator delete(void *ptr) noexcept { free(ptr); }
void operator delete[](void *ptr) noexcept { free(ptr); }
void operator delete(void *ptr, size_t) noexcept { free(ptr); }
void operator delete[](void *ptr, size_t) noexcept { free(ptr); }
void operator delete(void *ptr, const std::nothrow_t &) noexcept { free(ptr); }
void operator delete[](void *ptr, const std::nothrow_t &) noexcept { free(ptr); }
void operator delete(void *, std::align_val_t) noexcept {}
void operator delete[](void *, std::align_val_t) noexcept {}
void operator delete(void *, size_t, std::align_val_t) noexcept {}
void operator delete[](void *, size_t, std::align_val_t) noexcept {}
void operator delete(void *, std::align_val_t, const std::nothrow_t &) noexcept {}
void operator delete[](void *, std::align_val_t, const std::nothrow_t &) noexcept {}

// Called through a vtable slot of a pure or deleted virtual function: a
// call made during construction or destruction, or through a broken object.
extern "C" [[noreturn]] void __cxa_pure_virtual() { fail("pure virtual function called\n"); }
extern "C" [[noreturn]] void __cxa_deleted_virtual() { fail("deleted virtual function called\n"); }
