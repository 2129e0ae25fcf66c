/*
 * Every way a user-mode program can make the CPU stop it, one function each:
 * fault_NAME is the entry, fault_NAME_at the instruction the report must name.
 * FAULT NAME, AT, BEFORE: the instructions before that one (";" between
 * them), then that one; a ret follows for those that do not stop the program.
 */
    .intel_syntax noprefix
    .text

.macro FAULT name, at, before=
    .globl fault_\name, fault_\name\()_at
fault_\name: \before
fault_\name\()_at: \at
    ret
.endm

/* fault_store(address, value), fault_load(address), fault_jump(address). */
FAULT store, "mov [eax], edx", "mov eax, [esp + 4]; mov edx, [esp + 8]"
FAULT load, "mov eax, [eax]", "mov eax, [esp + 4]"
FAULT jump, "jmp eax", "mov eax, [esp + 4]"

FAULT divide, "div ecx", "xor ecx, ecx"
FAULT quotient, "idiv ecx", "mov eax, 0x80000000; cdq; mov ecx, -1"
FAULT ud2, ud2
FAULT lock_nop, ".byte 0xf0, 0x90"              /* a lock prefix on an instruction that takes none */
FAULT int1, ".byte 0xf1"
FAULT int3, int3, nop
FAULT int_3, ".byte 0xcd, 0x03", nop            /* the two-byte form */
FAULT into, ".byte 0xce", "mov al, 0x7f; add al, 1"  /* after a signed overflow */
FAULT bound, ".byte 0x62, 0x05; .long bounds", "mov eax, 16"  /* bound eax, [bounds]: 16 is not in [0, 8] */
FAULT int21, "int 0x21"
FAULT int0d, "int 0x0d"                         /* a software int with a CPU fault's number */
/* The trap flag: the CPU traps after the instruction that follows popfd. */
FAULT trace, nop, "pushfd; or dword ptr [esp], 0x100; popfd; nop"

FAULT hlt, hlt
FAULT cli, cli
FAULT sti, sti
FAULT in_imm, "in al, 0x60", nop
FAULT in_dx, "in eax, dx", "xor edx, edx"
FAULT out_imm, "out 0x80, al"
FAULT out_dx, "out dx, al", "xor edx, edx"
FAULT insb, insb, "lea edi, [esp - 64]; xor edx, edx"
FAULT outsb, outsb, "mov esi, esp; xor edx, edx"
FAULT lgdt, "lgdt [bounds]"
FAULT write_cr0, "mov cr0, eax", "xor eax, eax"  /* would leave protected mode */
FAULT wrmsr, wrmsr
FAULT rdpmc, rdpmc
FAULT sysenter, sysenter, nop
FAULT syscall, syscall, nop
FAULT far_jump, ".byte 0xea; .long fault_far_jump; .word 0x08"  /* to the ring-0 code segment */
FAULT kernel_data, "mov ds, eax", "mov eax, 0x10"              /* the ring-0 data segment */
FAULT iret_to_ring0, iretd, "push 0x10; push esp; pushfd; push 0x08; push offset fault_iret_to_ring0"
/* Far transfers with a register operand: the engine cannot translate them. */
FAULT far_call_register, ".byte 0xff, 0xdd", nop
FAULT far_jump_register, ".byte 0x66, 0x2e, 0xff, 0xe8", nop
FAULT stack_overflow, "push eax", "mov esp, 0xbff00000"  /* the lowest stack address */

    .section .rodata
    .align 4
bounds:
    .long 0, 8

    .section .note.GNU-stack, "", @progbits
