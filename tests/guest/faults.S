/*
 * Every way a user-mode program can make the CPU stop it, one function each:
 * fault_NAME is the entry, fault_NAME_at the instruction the report must name.
 */
    .intel_syntax noprefix
    .text

.macro FAULT name
    .globl fault_\name, fault_\name\()_at
    .type fault_\name, @function
fault_\name:
.endm
.macro AT name
fault_\name\()_at:
.endm

FAULT divide
    xor ecx, ecx
AT divide
    div ecx
    ret

FAULT quotient
    mov eax, 0x80000000
    cdq
    mov ecx, -1
AT quotient
    idiv ecx
    ret

FAULT ud2
AT ud2
    ud2

FAULT lock_nop          /* a lock prefix on an instruction that takes none */
AT lock_nop
    .byte 0xf0, 0x90
    ret

FAULT int1
AT int1
    .byte 0xf1
    ret

FAULT int3
    nop
AT int3
    int3
    ret

FAULT int_3             /* the two-byte form */
    nop
AT int_3
    .byte 0xcd, 0x03
    ret

FAULT into
    mov al, 0x7f
    add al, 1           /* signed overflow */
AT into
    .byte 0xce
    ret

FAULT bound
    mov eax, 16
AT bound
    .byte 0x62, 0x05    /* bound eax, [bounds]: 16 is not in [0, 8] */
    .long bounds
    ret

FAULT int21
AT int21
    int 0x21
    ret

FAULT int0d             /* a software int with a CPU fault's number */
AT int0d
    int 0x0d
    ret

FAULT trace
    pushfd
    or dword ptr [esp], 0x100   /* the trap flag */
    popfd
    nop                 /* the CPU traps after the instruction that follows popfd */
AT trace
    nop
    ret

FAULT hlt
AT hlt
    hlt
FAULT cli
AT cli
    cli
FAULT sti
AT sti
    sti
FAULT in_imm
    nop
AT in_imm
    in al, 0x60
    ret
FAULT in_dx
    xor edx, edx
AT in_dx
    in eax, dx
    ret
FAULT out_imm
AT out_imm
    out 0x80, al
    ret
FAULT out_dx
    xor edx, edx
AT out_dx
    out dx, al
    ret
FAULT insb
    lea edi, [esp - 64]
    xor edx, edx
AT insb
    insb
    ret
FAULT outsb
    mov esi, esp
    xor edx, edx
AT outsb
    outsb
    ret
FAULT lgdt
AT lgdt
    lgdt [bounds]
FAULT lidt
AT lidt
    lidt [bounds]
FAULT lldt
    xor eax, eax
AT lldt
    lldt ax
FAULT ltr
    xor eax, eax
AT ltr
    ltr ax
FAULT write_cr0
    xor eax, eax        /* would leave protected mode */
AT write_cr0
    mov cr0, eax
FAULT read_cr0
AT read_cr0
    mov eax, cr0
FAULT write_dr7
AT write_dr7
    mov dr7, eax
FAULT wrmsr
AT wrmsr
    wrmsr
FAULT rdmsr
AT rdmsr
    rdmsr
FAULT rdpmc
AT rdpmc
    rdpmc
FAULT invd
AT invd
    invd
FAULT wbinvd
AT wbinvd
    wbinvd
FAULT clts
AT clts
    clts
FAULT invlpg
AT invlpg
    invlpg [bounds]
FAULT sysenter
    nop
AT sysenter
    sysenter
    ret
FAULT syscall
    nop
AT syscall
    syscall
    ret
FAULT far_jump          /* to the ring-0 code segment */
AT far_jump
    .byte 0xea
    .long fault_far_jump
    .word 0x08
FAULT kernel_data       /* the ring-0 data segment */
    mov eax, 0x10
AT kernel_data
    mov ds, eax
    ret
FAULT iret_to_ring0
    push 0x10
    push esp
    pushfd
    push 0x08
    push offset fault_iret_to_ring0
AT iret_to_ring0
    iretd
FAULT far_call_register /* lcall with a register operand: the engine cannot translate it */
    nop
AT far_call_register
    .byte 0xff, 0xdd
    ret
FAULT far_jump_register
    nop
AT far_jump_register
    .byte 0x66, 0x2e, 0xff, 0xe8
    ret
FAULT stack_overflow
    mov esp, 0xbff00000 /* the lowest stack address */
AT stack_overflow
    push eax
    ret
FAULT stand_in_page     /* the stand-in's own page is not the program's */
    mov eax, 0xc0001010
    jmp eax

    .section .rodata
    .align 4
bounds:
    .long 0, 8

    .section .note.GNU-stack, "", @progbits
