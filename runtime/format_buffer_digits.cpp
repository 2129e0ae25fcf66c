// The buffer formatter's digit renderer.
#include "format_impl.h"

using namespace vekos::format;

extern "C" void snbuf_render_unsigned(char *area, int *count, unsigned value, unsigned base, int upper)
{
    const char *alphabet = upper ? upper_digits : lower_digits;
    int n = 0;
    // Least significant digit first; value 0 still gives its one digit.
    do {
        area[n++] = alphabet[value % base];
        value /= base;
    } while (value != 0);
    for (int i = 0, j = n - 1; i < j; ++i, --j) {
        const char c = area[i];
        area[i] = area[j];
        area[j] = c;
    }
    *count = n;
}
