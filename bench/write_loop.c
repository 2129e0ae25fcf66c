/* N one-byte write(1, ...) calls, through the C library's write() or, with a
 * second argument "bare", from a loop that stores nothing to memory.  The
 * same source is built as a vekos program (WRITE_CALL 1) and, by run.sh, as
 * an i386 Linux program for qemu-i386 (WRITE_CALL 4), so the two run the
 * same loop. */
#include <stdlib.h>
#include <unistd.h>

/* 0 when all n writes wrote their byte. */
static unsigned bare_writes(unsigned n)
{
    static const char byte = 'x';
    if (n == 0)
        return 0;
    __asm__ volatile("1:\n\t"
                     "movl %[number], %%eax\n\t"
                     "movl $1, %%ebx\n\t"
                     "movl %%edi, %%ecx\n\t"
                     "movl $1, %%edx\n\t"
                     "int $0x80\n\t"
                     "cmpl $1, %%eax\n\t"
                     "jne 2f\n\t"
                     "decl %%esi\n\t"
                     "jnz 1b\n"
                     "2:"
                     : "+S"(n)
                     : "D"(&byte), [number] "i"(WRITE_CALL)
                     : "eax", "ebx", "ecx", "edx", "memory", "cc");
    return n;
}

int main(int argc, char **argv)
{
    unsigned n = argc > 1 ? (unsigned)strtoul(argv[1], 0, 10) : 0;
    if (argc > 2)
        return bare_writes(n) == 0 ? 0 : 1;
    for (unsigned i = 0; i < n; ++i)
        if (write(1, "x", 1) != 1)
            return 1;
    return 0;
}
