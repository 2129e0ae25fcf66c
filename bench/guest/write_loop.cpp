// Writes N one-byte chunks to standard output, one kernel call each.
// Usage: write_loop N [bare]
//   by default each write goes through the library's write();
//   "bare" traps directly from a loop that stores nothing to memory.
#include <unistd.h>

namespace {

constexpr int kWrite = 1; // the vekos call number of write

// 0 when all n writes wrote their byte.
unsigned bare_writes(unsigned n)
{
    static const char byte = 'x';
    if (n == 0)
        return 0;
    asm volatile("1:\n\t"
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
                 : "D"(&byte), [number] "i"(kWrite)
                 : "eax", "ebx", "ecx", "edx", "memory", "cc");
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned n = 0;
    if (argc > 1)
        for (const char *c = argv[1]; *c >= '0' && *c <= '9'; ++c)
            n = n * 10 + unsigned(*c - '0');
    if (argc > 2)
        return bare_writes(n) == 0 ? 0 : 1;
    for (unsigned i = 0; i < n; ++i)
        if (write(1, "x", 1) != 1)
            return 1;
    return 0;
}
