// Copies of strings on the heap.
#include "string.h"

#include "stdlib.h"
#include "string_impl.h"

using namespace vekos::strings;

namespace {

// A fresh heap string of the first `length` bytes of s, or null when the
// heap is full.
char *heap_copy(const char *s, size_t length)
{
    char *copy = static_cast<char *>(malloc(length + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, s, length);
    copy[length] = 0;
    return copy;
}

} // namespace

extern "C" {

// A pointer below the guard is not read: the copy is a new empty string.
char *strdup(const char *s)
{
    if (!s)
        return nullptr;
    return heap_copy(s, strlen(s));
}

char *strndup(const char *s, size_t n)
{
    if (!s)
        return nullptr;
    return heap_copy(s, strnlen(s, n));
}

} // extern "C"
