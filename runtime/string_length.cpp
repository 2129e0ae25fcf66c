// Lengths of strings.
#include "string.h"

#include "string_impl.h"

using namespace vekos::strings;

extern "C" {

size_t strlen(const char *s)
{
    if (below_guard(s))
        return 0;
    return scan_length(s);
}

size_t strnlen(const char *s, size_t max)
{
    if (below_guard(s))
        return 0;
    return scan_length_bounded(s, max);
}

} // extern "C"
