// Absolute values; the negation wraps, so the most negative value stays as it is.
#include "stdlib.h"

extern "C" {

int abs(int value) { return value < 0 ? static_cast<int>(0u - static_cast<unsigned>(value)) : value; }

long labs(long value) { return value < 0 ? static_cast<long>(0ul - static_cast<unsigned long>(value)) : value; }

} // extern "C"
