// CPU faults of the guest and kernel calls handed bad buffers: each stops or answers exactly as
// documented, the host never crashes, and the machine is usable again after a reset.
#include "harness.h"

#include "base/errors.h"
#include "cpu/layout.h"

#include <cstdio>
#include <unicorn/unicorn.h>

namespace vekos::test {
namespace {

constexpr uint32_t kUnmapped = 0x10000000; // between program and stack
constexpr uint32_t kLastStackWord = kStackTop - 4;
constexpr uint32_t kCode = 0xFFFFFFF0, kRodata = 0xFFFFFFF1, kScratch = 0xFFFFFFF2; // addresses known at run time

class FaultTest : public GuestTest {
protected:
    uint32_t code_address() { return guest().machine().image().segments().front().vaddr; }
    uint32_t rodata_address()
    {
        for (const Segment& s : guest().machine().image().segments())
            if (s.flags == 4)
                return s.vaddr;
        ADD_FAILURE() << "the test image has no read-only data segment";
        return 0;
    }
    std::vector<uint32_t> resolve(const std::vector<uint32_t>& args, uint32_t scratch = 0)
    {
        std::vector<uint32_t> out;
        for (uint32_t a : args)
            out.push_back(a == kCode ? code_address() : a == kRodata ? rodata_address() : a == kScratch ? scratch : a);
        return out;
    }
    // eip lies in [start, start + size) of a function of the test image.
    void expect_eip_inside(uint32_t eip, const char* fn, const std::string& label)
    {
        auto s = guest().machine().image().symbol(fn);
        ASSERT_TRUE(s.has_value()) << "the test image has no " << fn;
        EXPECT_GE(eip, s->value) << label;
        EXPECT_LT(eip, s->value + s->size) << label;
    }
    // After a fault the next call runs normally on the reset machine.
    void expect_machine_recovers(const std::string& label)
    {
        guest().reset();
        CallResult r = guest()("test_divide", 47, 5);
        ASSERT_TRUE(r.returned()) << label;
        EXPECT_EQ(r.value(), 9) << label;
        EXPECT_EQ(guest()("write", 1, guest().put_string("ok"), 2).value(), 2) << label;
        EXPECT_EQ(guest().output(), "ok") << label;
    }
};

TEST_F(FaultTest, EachCpuFaultStopsWithItsKindPlaceAndStatus)
{
    const char* segv = "segmentation fault";
    const int memory = exit_status::memory_fault;
    const struct {
        const char *label, *function;
        std::vector<uint32_t> args;
        const char* kind;
        std::string detail; // exact, with %08x for the first argument; empty for "not checked"
        int status;
        const char* mnemonic;        // the reported instruction begins with it
        std::vector<uint8_t> opcode; // bytes at the reported eip; none when eip is the jump target
    } rows[] = {
        {"store to 0", "test_store", {0, 0x1234}, segv, "write to unmapped memory at 0x00000000 (4 bytes)", memory,
            "mov", {0x89}},
        {"load of unmapped", "test_load", {kUnmapped}, segv, "read of unmapped memory at 0x10000000 (4 bytes)", memory,
            "mov", {0x8b}},
        {"load past the stack", "test_load", {kStackTop}, segv, "read of unmapped memory at 0xc0000000 (4 bytes)",
            memory, "mov", {0x8b}},
        {"load below the stack", "test_load", {kStackBase - 4}, "stack overflow",
            "read of unmapped memory at 0xbfeffffc (4 bytes), below the 1 MiB stack", memory, "mov", {0x8b}},
        {"load far below the stack", "test_load", {kStackBase - 0x10004}, segv,
            "read of unmapped memory at 0xbfeefffc (4 bytes)", memory, "mov", {0x8b}},
        {"load straddling the stack's end", "test_load", {kStackTop - 2}, segv, "", memory, "mov", {0x8b}},
        {"store into the code", "test_store", {kCode, 0xDEADBEEF}, segv,
            "write to read-only memory at 0x%08x (4 bytes)", memory, "mov", {0x89}},
        {"store into read-only data", "test_store", {kRodata, 0}, segv, "", memory, "mov", {0x89}},
        {"jump to unmapped", "test_jump", {0x20000000}, segv, "execution of unmapped memory at 0x20000000 (1 byte)",
            memory, "", {}},
        {"jump into the stack", "test_jump", {0xBFFFF000}, segv,
            "execution of non-executable memory at 0xbffff000 (1 byte)", memory, "", {}},
        {"jump into read-only data", "test_jump", {kRodata}, segv, "", memory, "", {}},
        {"divide by zero", "test_divide", {1, 0}, "divide error", "", exit_status::divide_error, "idiv", {0xf7}},
        {"quotient too large", "test_divide", {0x80000000, 0xFFFFFFFF}, "divide error", "", exit_status::divide_error,
            "idiv", {0xf7}},
        {"ud2", "test_invalid_instruction", {}, "invalid instruction", "", exit_status::invalid_instruction, "ud2",
            {0x0f, 0x0b}},
        {"hlt", "test_halt", {}, "general protection fault", "privileged or protected operation in user mode", memory,
            "hlt", {0xf4}},
        {"int3", "test_int3", {}, "breakpoint trap", "int3 executed", memory, "int3", {0xcc}},
    };
    for (const auto& row : rows) {
        guest().reset();
        std::vector<uint32_t> args = resolve(row.args);
        std::vector<uint8_t> code_before = guest().read(code_address(), 64);
        CallResult r = guest().call(row.function, args);
        ASSERT_EQ(r.stop.why, Stop::Why::Faulted) << row.label;
        ASSERT_TRUE(r.stop.fault.has_value()) << row.label;
        const Fault& f = *r.stop.fault;
        EXPECT_EQ(f.kind, row.kind) << row.label;
        EXPECT_EQ(f.status, row.status) << row.label;
        char detail[96];
        std::snprintf(detail, sizeof detail, row.detail.c_str(), args.empty() ? 0 : args[0]);
        EXPECT_TRUE(row.detail.empty() || f.detail == detail) << row.label << ": " << f.detail;
        EXPECT_EQ(guest().read(code_address(), 64), code_before) << row.label; // a refused store changes nothing
        if (row.opcode.empty()) {
            EXPECT_EQ(f.eip, args[0]) << row.label;
        } else {
            expect_eip_inside(f.eip, row.function, row.label);
            EXPECT_EQ(guest().read(f.eip, uint32_t(row.opcode.size())), row.opcode) << row.label;
            EXPECT_EQ(f.instruction.rfind(row.mnemonic, 0), 0u) << row.label << ": " << f.instruction;
        }
        // The one-line report carries every part.
        char eip[32];
        std::snprintf(eip, sizeof eip, "eip 0x%08x", f.eip);
        for (const std::string& part : {std::string(row.kind), f.instruction, std::string(eip)})
            EXPECT_NE(f.message().find(part), std::string::npos) << f.message();
        expect_machine_recovers(row.label);
    }
}

// Every CPU exception and privileged instruction a user-mode program can
// raise: its kind, status and the exact instruction the report names.
TEST_F(FaultTest, CatalogueOfCpuFaultsNamesTheFaultingInstruction)
{
    const int gp = exit_status::memory_fault, ill = exit_status::invalid_instruction;
    const std::string protection = "general protection fault";
    const struct {
        const char *name, *kind;
        int status;
        const char* instruction; // the report's instruction begins with it
    } rows[] = {
        {"divide", "divide error", exit_status::divide_error, "div ecx"},
        {"quotient", "divide error", exit_status::divide_error, "idiv ecx"},
        {"ud2", "invalid instruction", ill, "ud2"},
        {"lock_nop", "invalid instruction", ill, "(undecodable bytes f0 90"},
        {"int1", "invalid instruction", ill, "int1"},
        {"int3", "breakpoint trap", gp, "int3"},
        {"int_3", "breakpoint trap", gp, "int 3"},
        {"into", "overflow trap", gp, "into"},
        {"bound", "bound range exceeded", gp, "bound eax"},
        {"int21", "unexpected interrupt", gp, "int 0x21"},
        {"int0d", "unexpected interrupt", gp, "int 0xd"},
        {"trace", "trace trap", gp, "nop"},
        {"hlt", protection.c_str(), gp, "hlt"},
        {"cli", protection.c_str(), gp, "cli"},
        {"sti", protection.c_str(), gp, "sti"},
        {"in_imm", protection.c_str(), gp, "in al, 0x60"},
        {"in_dx", protection.c_str(), gp, "in eax, dx"},
        {"out_imm", protection.c_str(), gp, "out 0x80, al"},
        {"out_dx", protection.c_str(), gp, "out dx, al"},
        {"insb", protection.c_str(), gp, "insb"},
        {"outsb", protection.c_str(), gp, "outsb"},
        {"lgdt", protection.c_str(), gp, "lgdt"},
        {"lidt", protection.c_str(), gp, "lidt"},
        {"lldt", protection.c_str(), gp, "lldt"},
        {"ltr", protection.c_str(), gp, "ltr"},
        {"write_cr0", protection.c_str(), gp, "mov cr0, eax"},
        {"read_cr0", protection.c_str(), gp, "mov eax, cr0"},
        {"write_dr7", protection.c_str(), gp, "mov dr7, eax"},
        {"wrmsr", protection.c_str(), gp, "wrmsr"},
        {"rdmsr", protection.c_str(), gp, "rdmsr"},
        {"rdpmc", "invalid instruction", ill, "rdpmc"}, // the engine does not implement it
        {"invd", protection.c_str(), gp, "invd"},
        {"wbinvd", protection.c_str(), gp, "wbinvd"},
        {"clts", protection.c_str(), gp, "clts"},
        {"invlpg", protection.c_str(), gp, "invlpg"},
        {"sysenter", protection.c_str(), gp, "sysenter"},
        {"syscall", "invalid instruction", ill, "syscall"},
        {"far_jump", protection.c_str(), gp, "ljmp 8:"},
        {"kernel_data", protection.c_str(), gp, "mov ds, eax"},
        {"iret_to_ring0", protection.c_str(), gp, "iretd"},
        {"far_call_register", "invalid instruction", ill, "(undecodable bytes ff dd"},
        {"far_jump_register", "invalid instruction", ill, "(undecodable bytes 66 2e ff e8"},
        {"stack_overflow", "stack overflow", gp, "push eax"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        guest().reset();
        CallResult r = guest()(std::string("fault_") + row.name);
        ASSERT_EQ(r.stop.why, Stop::Why::Faulted);
        ASSERT_TRUE(r.stop.fault.has_value());
        const Fault& f = *r.stop.fault;
        EXPECT_EQ(f.kind, row.kind) << f.message();
        EXPECT_EQ(f.status, row.status);
        EXPECT_EQ(f.eip, guest().symbol(std::string("fault_") + row.name + "_at")) << f.message();
        EXPECT_EQ(f.instruction.rfind(row.instruction, 0), 0u) << f.instruction;
        expect_machine_recovers(row.name);
    }
    // The stand-in's own page is not the program's, whatever is there.
    CallResult r = guest()("fault_stand_in_page");
    ASSERT_EQ(r.stop.why, Stop::Why::Faulted);
    EXPECT_EQ(r.stop.fault->eip, kStandInPage + 0x10);
    EXPECT_EQ(r.stop.fault->message(),
        "segmentation fault: execution outside the program at 0xc0001010, the stand-in's own page; "
        "eip 0xc0001010: int3");
}

TEST_F(FaultTest, StackEdgesAreUsableEndlessLoopsStopAndPathsNeedATerminator)
{
    // The first and last words of the stack are ordinary memory, for the CPU and the kernel alike.
    EXPECT_TRUE(guest()("test_store", kStackBase, 7).returned());
    EXPECT_TRUE(guest()("test_store", kLastStackWord, 0x0A636261).returned()); // "abc\n"
    EXPECT_EQ(guest()("test_load", kLastStackWord).eax, 0x0A636261u);
    EXPECT_EQ(guest()("write", 1, kLastStackWord, 4).value(), 4);
    EXPECT_EQ(guest().output(), "abc\n");
    guest().feed_input("WXYZ!");
    EXPECT_EQ(guest()("read", 0, kLastStackWord, 4).value(), 4);
    EXPECT_EQ(guest().read(kLastStackWord, 4), (std::vector<uint8_t>{'W', 'X', 'Y', 'Z'}));
    // getcwd checks only the bytes it writes: "/" and its NUL fit in the last two.
    EXPECT_EQ(guest()("getcwd", kStackTop - 2, 64).value(), 2);
    EXPECT_EQ(guest().read(kStackTop - 2, 2), (std::vector<uint8_t>{'/', 0}));
    EXPECT_EQ(guest()("getcwd", kStackTop - 1, 64).value(), -14);

    constexpr uint64_t kLimit = 5000;
    guest().machine().set_instruction_limit(kLimit);
    CallResult r = guest()("test_spin");
    EXPECT_EQ(r.stop.why, Stop::Why::InstructionLimit);
    EXPECT_FALSE(r.stop.fault.has_value());
    EXPECT_LE(guest().machine().instructions_executed(), kLimit);
    EXPECT_GE(guest().machine().instructions_executed(), kLimit - 16);
    expect_eip_inside(guest().machine().reg(UC_X86_REG_EIP), "test_spin", "spin");
    expect_machine_recovers("spin");

    // 4096 readable bytes without a NUL: longer than any path.
    uint32_t long_path = guest().alloc(5000, 'a');
    EXPECT_EQ(guest()("open", long_path, 0).value(), -36);
    EXPECT_EQ(guest()("mkdir", long_path).value(), -36);
    // 4095 bytes and a NUL is still a path (of a missing file).
    std::string longest = "/";
    while (longest.size() < 4095)
        longest += longest.size() % 2 ? "a" : "/";
    EXPECT_EQ(guest()("open", guest().put_string(longest), 0).value(), -2);
    // A name that runs into unmapped memory before any NUL is a bad address.
    guest().write_u32(kLastStackWord, 0x64636261); // "abcd", no NUL
    EXPECT_EQ(guest()("open", kLastStackWord, 0).value(), -14);
    EXPECT_EQ(guest()("unlink", kLastStackWord).value(), -14);
    EXPECT_TRUE(std::filesystem::is_empty(guest().root()));
}

// Kernel calls handed memory they may not use answer -14 and change nothing.
TEST_F(FaultTest, KernelCallsRefuseBadBuffersWithoutTouchingAnything)
{
    const std::vector<std::pair<const char*, std::vector<uint32_t>>> rows = {
        // the fourth is a huge count, clamped
        {"write", {1, kUnmapped, 4}},
        {"write", {1, 0x1000, 1}},
        {"write", {1, kLastStackWord, 8}},
        {"write", {1, kScratch, 0xFFFFFFFF}},
        {"read", {0, kCode, 4}},
        {"read", {0, kRodata, 4}},
        {"read", {0, kUnmapped, 4}},
        {"read", {0, kLastStackWord, 8}},
        {"getcwd", {kCode, 64}},
        {"getcwd", {kUnmapped, 64}},
        {"pipe", {kUnmapped}},
        {"pipe", {kCode}},
        {"pipe", {kLastStackWord}},
        {"open", {kUnmapped, 0}},
        {"writefile", {kScratch, kUnmapped, 4}},
        {"writefile", {kUnmapped, kScratch, 1}},
        {"mkdir", {kUnmapped}},
        {"chdir", {kUnmapped}},
        {"vekfs_stream_begin", {kUnmapped}},
    };
    for (const auto& [fn, row_args] : rows) {
        guest().reset();
        guest().feed_input("input");
        std::vector<uint32_t> args = resolve(row_args, guest().put_string("file"));
        std::string label = fn + std::string(" ") + std::to_string(args[0]) + " " + std::to_string(args.back());
        std::vector<uint8_t> code_before = guest().read(code_address(), 64);
        CallResult r = guest().call(fn, args);
        ASSERT_TRUE(r.returned()) << label;
        EXPECT_EQ(r.value(), -14) << label;
        ASSERT_EQ(guest().calls().size(), 1u) << label;
        EXPECT_EQ(guest().calls()[0].answer, -14) << label;
        EXPECT_EQ(guest().output(), "") << label;
        EXPECT_EQ(guest().read(code_address(), 64), code_before) << label;
        EXPECT_TRUE(std::filesystem::is_empty(guest().root())) << label;
        EXPECT_EQ(guest()("read", 0, guest().alloc(8), 8).value(), 5) << label; // no input consumed
        EXPECT_EQ(guest()("dup", 1).value(), 3) << label;                       // no descriptor taken
    }
}

} // namespace
} // namespace vekos::test
