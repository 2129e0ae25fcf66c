// CPU faults of the guest and kernel calls handed bad buffers: each stops or answers exactly as
// documented, the host never crashes, and the machine is usable again after a reset.
#include "harness.h"

#include "cpu/layout.h"

#include <unicorn/unicorn.h>

#include <cstdio>

namespace vekos::test {
namespace {

constexpr uint32_t kUnmapped = 0x10000000; // between program and stack
constexpr uint32_t kLastStackWord = kStackTop - 4;
// Addresses known at run time: the code, read-only data, a string, 5000 bytes without a NUL, a path of
// 4095 bytes.
constexpr uint32_t kCode = 0xFFFFFFF0, kRodata = 0xFFFFFFF1, kString = 0xFFFFFFF2, kLong = 0xFFFFFFF3,
                   kLongest = 0xFFFFFFF4;

class FaultTest : public GuestTest {
protected:
    std::vector<uint32_t> resolve(std::vector<uint32_t> args)
    {
        std::string longest(4095, '/'); // "/a/a/.../a/"
        for (size_t i = 1; i < longest.size(); i += 2)
            longest[i] = 'a';
        for (uint32_t& a : args)
            a = a == kCode      ? guest().symbol("_start")
                : a == kRodata  ? guest().symbol("bounds")
                : a == kString  ? guest().put_string("file")
                : a == kLong    ? guest().alloc(5000, 'a')
                : a == kLongest ? guest().put_string(longest)
                                : a;
        return args;
    }
    std::vector<uint8_t> code() { return guest().read(guest().symbol("_start"), 64); }
};

// fault_NAME of faults.S with these arguments stops at fault_NAME_at (a jump at its target) naming the
// instruction there (its text begins so), with the fault's kind and detail (%08x: the first argument),
// and the status of its kind.  A refused store changes nothing.
TEST_F(FaultTest, EachFaultStopsWithItsKindDetailStatusPlaceAndInstruction)
{
    const std::string segv = "segmentation fault: ",
                      ill = "invalid instruction: the CPU cannot execute the instruction",
                      gp = "general protection fault: privileged or protected operation in user mode",
                      io = "general protection fault: I/O port access in user mode",
                      divide = "divide error: division by zero or quotient too large";
    const std::tuple<const char*, std::vector<uint32_t>, std::string, std::string> rows[] = {
        {"store", {0, 0x1234}, "mov dword ptr [eax], edx", segv + "write to unmapped memory at 0x00000000 (4 bytes)"},
        {"load", {kUnmapped}, "mov eax, dword ptr [eax]", segv + "read of unmapped memory at 0x10000000 (4 bytes)"},
        {"load", {kStackTop}, "mov eax", segv + "read of unmapped memory at 0xc0000000 (4 bytes)"},
        {"load", {kStackBase - 4}, "mov eax",
            "stack overflow: read of unmapped memory at 0xbfeffffc (4 bytes), below the 1 MiB stack"},
        {"load", {kStackBase - 0x10004}, "mov eax", segv + "read of unmapped memory at 0xbfeefffc (4 bytes)"},
        {"load", {kStackTop - 2}, "mov eax", segv + "read of unmapped memory at 0xc0000000 (4 bytes)"}, // straddling
        {"store", {kCode, 0xDEADBEEF}, "mov dword ptr", segv + "write to read-only memory at 0x%08x (4 bytes)"},
        {"store", {kRodata, 0}, "mov dword ptr", segv + "write to read-only memory at 0x%08x (4 bytes)"},
        {"jump", {0x20000000}, "(no readable code)", segv + "execution of unmapped memory at 0x20000000 (1 byte)"},
        {"jump", {0xBFFFF000}, "add byte ptr [eax], al",
            segv + "execution of non-executable memory at 0xbffff000 (1 byte)"},
        {"jump", {kRodata}, "", segv + "execution of non-executable memory at 0x%08x (1 byte)"},
        {"jump", {0xC0001010}, "int3", segv + "execution outside the program at 0xc0001010, the stand-in's own page"},
        {"divide", {}, "div ecx", divide}, {"quotient", {}, "idiv ecx", divide}, {"ud2", {}, "ud2", ill},
        {"lock_nop", {}, "(undecodable bytes f0 90", ill}, {"int1", {}, "int1", ill},
        {"int3", {}, "int3", "breakpoint trap: int3 executed"},
        {"int_3", {}, "int 3", "breakpoint trap: int3 executed"},
        {"into", {}, "into", "overflow trap: into executed with the overflow flag set"},
        {"bound", {}, "bound eax", "bound range exceeded: the index lies outside the bounds"},
        {"int21", {}, "int 0x21", "unexpected interrupt: interrupt 0x21 (only int 0x80 enters the kernel)"},
        {"int0d", {}, "int 0xd", "unexpected interrupt: interrupt 0x0d (only int 0x80 enters the kernel)"},
        {"trace", {}, "nop", "trace trap: the trap flag is set; stopped before this instruction"},
        {"hlt", {}, "hlt", gp}, {"cli", {}, "cli", gp}, {"sti", {}, "sti", gp}, {"in_imm", {}, "in al, 0x60", io},
        {"in_dx", {}, "in eax, dx", io}, {"out_imm", {}, "out 0x80, al", io}, {"out_dx", {}, "out dx, al", io},
        {"insb", {}, "insb", io}, {"outsb", {}, "outsb", io}, {"lgdt", {}, "lgdt", gp},
        {"write_cr0", {}, "mov cr0, eax", gp}, {"wrmsr", {}, "wrmsr", gp},
        {"rdpmc", {}, "rdpmc", ill}, // the engine has no rdpmc
        {"sysenter", {}, "sysenter",
            "general protection fault: sysenter (vekos programs enter the kernel with int 0x80)"},
        {"syscall", {}, "syscall", "invalid instruction: syscall (vekos programs enter the kernel with int 0x80)"},
        {"far_jump", {}, "ljmp 8:", gp}, {"kernel_data", {}, "mov ds, eax", gp}, {"iret_to_ring0", {}, "iretd", gp},
        {"far_call_register", {}, "(undecodable bytes ff dd", ill},
        {"far_jump_register", {}, "(undecodable bytes 66 2e ff e8", ill},
        {"stack_overflow", {}, "push eax",
            "stack overflow: write to unmapped memory at 0xbfeffffc (4 bytes), below the 1 MiB stack"}};
    for (const auto& [name, row_args, instruction, said] : rows) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(&said - &std::get<3>(rows[0])));
        guest().reset();
        const std::vector<uint32_t> args = resolve(row_args);
        const std::vector<uint8_t> before = code();
        const CallResult r = guest().call(std::string("fault_") + name, args);
        ASSERT_TRUE(r.stop.why == Stop::Why::Faulted && r.stop.fault);
        const Fault& f = *r.stop.fault;
        char kind_detail[128];
        std::snprintf(kind_detail, sizeof kind_detail, said.c_str(), args.empty() ? 0 : args[0]);
        EXPECT_EQ(f.kind + ": " + f.detail, kind_detail);
        // The statuses of the README: 132 for an invalid instruction, 136 for a divide error, else 139.
        EXPECT_EQ(f.status, f.kind == "invalid instruction" ? 132 : f.kind == "divide error" ? 136 : 139);
        EXPECT_EQ(f.eip, name == std::string("jump") ? args[0] : guest().symbol(std::string("fault_") + name + "_at"));
        EXPECT_TRUE(f.instruction.starts_with(instruction)) << f.instruction;
        EXPECT_EQ(code(), before);
    } // each row runs on the machine reset after the fault before it
}

// The first and last words of the stack are ordinary memory, for the CPU and the kernel alike (getcwd
// checks only the bytes it writes: "/" and its NUL fit in the last two); an endless loop stops at the
// instruction limit, inside the loop, and a reset machine runs on.
TEST_F(FaultTest, StackEdgesAreOrdinaryMemoryAndEndlessLoopsStop)
{
    EXPECT_TRUE(guest()("fault_store", kStackBase, 7).returned());
    EXPECT_TRUE(guest()("fault_store", kLastStackWord, 0x0A636261).returned()); // "abc\n"
    EXPECT_EQ(guest()("fault_load", kLastStackWord).eax, 0x0A636261u);
    EXPECT_EQ((std::tuple{guest()("write", 1, kLastStackWord, 4).value(), guest().output()}), std::tuple(4, "abc\n"));
    guest().feed_input("WXYZ!");
    EXPECT_EQ((std::pair{guest()("read", 0, kLastStackWord, 4).value(), guest()("getcwd", kStackTop - 2, 64).value()}),
        std::pair(4, 2));
    EXPECT_EQ(guest().read(kLastStackWord, 4), (std::vector<uint8_t>{'W', 'X', '/', 0}));
    guest().machine().set_instruction_limit(5000);
    const CallResult r = guest()("test_spin");
    const uint64_t ran = guest().machine().instructions_executed();
    EXPECT_TRUE(r.stop.why == Stop::Why::InstructionLimit && !r.stop.fault && ran <= 5000 && ran >= 5000 - 16) << ran;
    const uint32_t eip = guest().machine().reg(UC_X86_REG_EIP), spin = guest().symbol("test_spin");
    EXPECT_TRUE(eip >= spin && eip < spin + guest().machine().image().symbol("test_spin")->size) << eip;
    guest().reset();
    EXPECT_EQ(guest()("test_wide", 0xFFFFFFFFu, 1u).value64(), 0x200000000u);
}

// Kernel calls handed memory they may not use answer -14, and paths without a NUL in 4096 bytes -36
// (4095 bytes and a NUL are a path, of a missing file): each is one call that changes nothing.
TEST_F(FaultTest, KernelCallsRefuseBadBuffersAndPathsWithoutTouchingAnything)
{
    const std::tuple<const char*, std::vector<uint32_t>, int32_t> rows[] = {{"write", {1, 0x1000, 1}, -14},
        {"write", {1, kLastStackWord, 8}, -14}, {"write", {1, kString, 0xFFFFFFFF}, -14}, // a huge count, clamped
        {"read", {0, kCode, 4}, -14}, {"read", {0, kUnmapped, 4}, -14}, {"read", {0, kLastStackWord, 8}, -14},
        {"getcwd", {kCode, 64}, -14}, {"getcwd", {kUnmapped, 64}, -14}, {"getcwd", {kStackTop - 1, 64}, -14},
        {"pipe", {kUnmapped}, -14}, {"pipe", {kCode}, -14}, {"pipe", {kLastStackWord}, -14},
        {"open", {kUnmapped, 0}, -14}, {"writefile", {kString, kUnmapped, 4}, -14},
        {"writefile", {kUnmapped, kString, 1}, -14}, {"mkdir", {kUnmapped}, -14}, {"chdir", {kUnmapped}, -14},
        {"vekfs_stream_begin", {kUnmapped}, -14}, {"open", {kLastStackWord, 0}, -14}, {"unlink", {kLastStackWord}, -14},
        {"open", {kLong, 0}, -36}, {"mkdir", {kLong}, -36}, {"open", {kLongest, 0}, -2}};
    for (const auto& [fn, row_args, answer] : rows) {
        SCOPED_TRACE("row " + std::to_string(&answer - &std::get<2>(rows[0])) + ": " + fn);
        guest().reset();
        guest().feed_input("input");
        guest().write_u32(kLastStackWord, 0x64636261); // "abcd", no NUL before the stack ends
        const std::vector<uint8_t> before = code();
        const CallResult r = guest().call(fn, resolve(row_args));
        ASSERT_TRUE(r.returned());
        ASSERT_EQ(guest().calls().size(), 1u);
        EXPECT_EQ((std::tuple{r.value(), guest().calls()[0].answer, guest().output()}), std::tuple(answer, answer, ""));
        EXPECT_TRUE(code() == before && std::filesystem::is_empty(guest().root()));
        // No input consumed, no descriptor taken.
        EXPECT_EQ(
            (std::tuple{guest()("read", 0, guest().alloc(8), 8).value(), guest()("dup", 1).value()}), std::tuple(5, 3));
    }
}

} // namespace
} // namespace vekos::test
