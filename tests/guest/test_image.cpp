// The test image: the whole runtime linked in, plus a main and a few routines
// that let the tests reach CPU behaviour (the x87 unit, results in edx:eax)
// directly; faults.S has the faults.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {

// Writes the argv address and each argument on a line; returns argv[1] as a
// number, or 42 when there are no arguments at all.
int main(int argc, char **argv)
{
    char hex[10];
    write(1, hex, snprintf(hex, sizeof hex, "%08x\n", reinterpret_cast<unsigned>(argv)));
    for (int i = 0; i < argc; ++i) {
        write(1, argv[i], strlen(argv[i]));
        write(1, "\n", 1);
    }
    return argc == 0 ? 42 : argc > 1 ? atoi(argv[1]) : 0;
}

// A float-to-int conversion makes GCC save, change and restore the control
// word; the division after it must still run at full 64-bit precision.
long double test_fpu_third(double seed)
{
    volatile int truncated = static_cast<int>(seed);
    return (1.0L + truncated) / 3.0L;
}

void test_spin()
{
    for (;;)
        asm volatile("");
}

unsigned long long test_wide(unsigned low, unsigned high)
{
    return (static_cast<unsigned long long>(high) << 32 | low) + 1;
}

} // extern "C"
