/*
 * The trap convention, in one place: call number in eax, arguments in ebx,
 * ecx and edx, answer in eax.  The kernel preserves ebx, esi, edi, ebp and
 * esp; ecx and edx may come back changed, so they are outputs here even when
 * they carry no argument.  Registers a call does not use are left alone.
 * Private to the wrapper units.
 */
#ifndef VEKOS_TRAP_H
#define VEKOS_TRAP_H

#include "vekos_calls.h"

namespace vekos::detail {

inline int trap0(int number)
{
    int answer;
    unsigned ecx_out, edx_out;
    asm volatile("int $0x80" : "=a"(answer), "=c"(ecx_out), "=d"(edx_out) : "a"(number) : "memory", "cc");
    return answer;
}

inline int trap1(int number, unsigned ebx)
{
    int answer;
    unsigned ecx_out, edx_out;
    asm volatile("int $0x80" : "=a"(answer), "=c"(ecx_out), "=d"(edx_out) : "a"(number), "b"(ebx) : "memory", "cc");
    return answer;
}

inline int trap2(int number, unsigned ebx, unsigned ecx)
{
    int answer;
    unsigned edx_out;
    asm volatile("int $0x80" : "=a"(answer), "+c"(ecx), "=d"(edx_out) : "a"(number), "b"(ebx) : "memory", "cc");
    return answer;
}

inline int trap3(int number, unsigned ebx, unsigned ecx, unsigned edx)
{
    int answer;
    asm volatile("int $0x80" : "=a"(answer), "+c"(ecx), "+d"(edx) : "a"(number), "b"(ebx) : "memory", "cc");
    return answer;
}

template <typename T>
inline unsigned word(T* pointer)
{
    return reinterpret_cast<unsigned>(pointer);
}

/* Largest byte count that travels to the kernel in one call. */
constexpr unsigned max_byte_count = 0x7FFFFFFFu;

inline unsigned clamp_count(unsigned count) { return count > max_byte_count ? max_byte_count : count; }

inline unsigned flag01(int flag) { return flag != 0 ? 1u : 0u; }

} // namespace vekos::detail

#endif
