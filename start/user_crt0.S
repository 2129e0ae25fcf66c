/*
 * Process entry.  The kernel leaves argc at (%esp) and the argument pointers
 * right above it; argv is the address of the first pointer, used in place.
 * main's result goes to _exit unchanged.  No initialisation, no finalisation.
 */
    .section .text.start, "ax", @progbits
    .globl _start
    .type _start, @function
_start:
    movl (%esp), %eax          /* argc */
    leal 4(%esp), %edx         /* argv: slot 1 itself */
    andl $-16, %esp
    subl $4, %esp              /* one spare slot keeps the call frame 16-aligned */
    pushl %edx
    pushl %eax
    call main
    pushl %eax
    call _exit
.hang:
    jmp .hang
    .size _start, . - _start

    .section .note.GNU-stack, "", @progbits
