/* A program to debug: a global, a local, a call, a store to watch, and a
 * fault of each kind on request (argv[1]: segv, ill, fpe, trap). */
#include <stdio.h>

int counter = 3;
int total;
int *volatile nowhere;
volatile int zero;

__attribute__((noinline)) static int twice(int value)
{
    int doubled = value * 2;
    return doubled;
}

int main(int argc, char **argv)
{
    int local = twice(counter);
    total = local + 1;
    printf("result %d\n", local);
    if (argc > 1 && argv[1][0] == 's')
        *nowhere = 1;
    if (argc > 1 && argv[1][0] == 'i')
        __builtin_trap();
    if (argc > 1 && argv[1][0] == 'f')
        return local / zero;
    if (argc > 1 && argv[1][0] == 't')
        __asm__ volatile("int3");
    return local;
}
