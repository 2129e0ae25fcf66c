// Start-up and exit path (the stack _start reads, main's arguments, the status), and the kernel-call
// wrappers, general and window service, register for register on the real i386 code.
#include "harness.h"

#include "kernel/calls.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>

namespace vekos::test {
namespace {

constexpr int32_t kKernelAnswer = 0x1234;
constexpr uint32_t kClamped = 0x7FFFFFFF, kC = preset.ecx, kD = preset.edx;
// Placeholders: a path and a buffer in guest memory; a register whose value no contract fixes.
constexpr uint32_t kPath = 0xA0000001, kBuf = 0xA0000002, kAny = 0xA0000003;
// What an _exit row ends with instead of a result: the process, or a loop when the kernel comes back.
constexpr int32_t kExits = INT32_MIN + 1, kSpins = INT32_MIN + 2;

struct Trap {
    uint32_t eax, ebx, ecx, edx;
};

struct Row {
    const char* function;
    std::vector<uint32_t> args;
    std::vector<Trap> traps; // empty: refused without entering the kernel
    int32_t result;
    int32_t answer = kKernelAnswer; // of every call the kernel is asked (exit only for kSpins)
};

class WrapperTest : public GuestTest {
protected:
    // Calls with the presets in the registers, and checks the result (or the end), the traps made register
    // by register, and the callee-saved registers.
    void expect_traps(const Row& row, const std::string& label)
    {
        SCOPED_TRACE(label);
        guest().reset();
        const uint32_t path = guest().put_string("/some/file"), buf = guest().alloc(64);
        auto fill = [&](uint32_t v) { return v == kPath ? path : v == kBuf ? buf : v; };
        std::vector<uint32_t> args;
        for (uint32_t a : row.args)
            args.push_back(fill(a));
        for (const CallInfo& c : all_calls())
            if (c.number != VEKOS_SYS_exit || row.result == kSpins)
                guest().inject(std::to_string(c.number) + "=" + std::to_string(row.answer));
        guest().machine().set_instruction_limit(10000);
        guest().preset_registers();
        const CallResult r = guest().call(row.function, args);
        const uint32_t eip = guest().machine().reg(UC_X86_REG_EIP), exit = guest().symbol("_exit");
        if (row.result == kExits)
            EXPECT_TRUE(r.exited() && r.exit_status() == int32_t(args[0])) << r.exit_status();
        else if (row.result == kSpins)
            EXPECT_TRUE(r.stop.why == Stop::Why::InstructionLimit && eip >= exit && eip < exit + 32) << eip;
        else
            EXPECT_TRUE(r.returned() && r.value() == row.result && guest().callee_saved_kept()) << r.value();
        ASSERT_EQ(guest().calls().size(), row.traps.size());
        for (size_t i = 0; i < row.traps.size(); ++i) {
            const CallRegs& in = guest().calls()[i].in;
            const Trap& t = row.traps[i];
            auto want = [&](uint32_t v, uint32_t got) { return v == kAny ? got : fill(v); };
            EXPECT_EQ((std::vector{in.eax, in.ebx, in.ecx, in.edx}),
                (std::vector{t.eax, want(t.ebx, in.ebx), want(t.ecx, in.ecx), want(t.edx, in.edx)}))
                << "trap " << i;
        }
    }
};

// The plain row of a call, from its line in the call table: a distinct word per argument register, and each
// register as its kind says the wrapper fills it.  Every wrapper but _exit bears its call's name.
Row derived_row(const CallInfo& call, int32_t answer)
{
    constexpr uint32_t kWords[3] = {0x11111111, 0x22222262, 0x33333333}; // the second has open's 0x40
    const uint32_t presets[3] = {preset.ebx, kC, kD};
    Row row{call.name.data(), {}, {{call.number, 0, 0, 0}}, answer, answer};
    uint32_t* regs[3] = {&row.traps[0].ebx, &row.traps[0].ecx, &row.traps[0].edx};
    for (size_t i = 0; i < 3; ++i) {
        switch (call.args[i]) {
        case ArgKind::NONE: *regs[i] = presets[i]; break;
        case ArgKind::ZERO: *regs[i] = 0; break;
        case ArgKind::EVENT_SIZE: *regs[i] = GUI_EVENT_SIZE; break;
        case ArgKind::OPEN_MODE: *regs[i] = row.args.back() & VEKOS_O_CREAT ? row.args.back() : 0; break;
        case ArgKind::FLAG:
            row.args.push_back(kWords[i]);
            *regs[i] = 1;
            break;
        default: row.args.push_back(kWords[i]); *regs[i] = kWords[i];
        }
    }
    if (call.number == VEKOS_SYS_usleep)
        row.result = 0; // its answer is dropped
    if (call.number == VEKOS_SYS_exit)
        row.function = "_exit", row.result = kExits;
    return row;
}

// Also: the kernel's answers come back unchanged, whatever their sign.
TEST_F(WrapperTest, EveryCallOfTheTableIsOneTrapWithExactlyItsRegisters)
{
    for (int32_t answer : {kKernelAnswer, INT32_MIN})
        for (const CallInfo& c : all_calls())
            expect_traps(derived_row(c, answer), std::string(c.name) + " answered " + std::to_string(answer));
}

// What the table does not say: clamps, refusals, flags reduced, sleep's pieces, the wrappers that share a
// call, and _exit when the kernel comes back.
TEST_F(WrapperTest, ClampsRefusalsFlagsAndSharedCallsAreExact)
{
    const Trap open = {4, kPath, 0, 0};
    const std::vector<Row> rows = {{"write", {1, kBuf, 0}, {{1, 1, kBuf, 0}}, kKernelAnswer},
        {"write", {1, kBuf, 0x7FFFFFFF}, {{1, 1, kBuf, kClamped}}, kKernelAnswer},
        {"write", {1, kBuf, 0x80000000}, {{1, 1, kBuf, kClamped}}, kKernelAnswer},
        {"write", {1, kBuf, 0xFFFFFFFF}, {{1, 1, kBuf, kClamped}}, kKernelAnswer}, {"write", {1, 0, 5}, {}, -1},
        {"write", {1, 0, 0}, {}, -1}, {"read", {7, kBuf, 0xFFFFFFFE}, {{3, 7, kBuf, kClamped}}, kKernelAnswer},
        {"read", {0, 0, 3}, {}, -1}, {"pipe", {0}, {}, -1}, {"mkfifo", {0}, {}, -1},
        {"fd_set_inherit", {0}, {{128, 0, kC, kD}}, kKernelAnswer},
        {"fd_set_inherit", {0x100}, {{128, 1, kC, kD}}, kKernelAnswer},
        {"fd_set_nonblock", {4, 0}, {{130, 4, 0, 0}}, kKernelAnswer},
        {"spawn", {kPath, 0, 0}, {{131, kPath, 0, 0}}, kKernelAnswer}, {"spawn", {kPath, kBuf, 0xFFFFFFFF}, {}, -1},
        {"spawn", {kPath, kBuf, 0x80000000}, {}, -1}, {"spawn", {0, kBuf, 1}, {}, -1},
        {"writefile", {kPath, kBuf, 0xFFFFFFFF}, {{21, kPath, kBuf, kClamped}}, kKernelAnswer},
        {"writefile", {0, kBuf, 4}, {}, -1}, {"writefile", {kPath, 0, 4}, {}, -1}, {"mkdir", {0}, {}, -1},
        {"unlink", {0}, {}, -1}, {"rmdir", {0}, {}, -1}, {"usleep", {0xFFFFFFFF}, {{22, 0xFFFFFFFF, kC, kD}}, 0},
        // From 4,295 seconds on the time goes out in pieces instead of wrapping.
        {"sleep", {4295}, {{22, 4294000000u, kC, kD}, {22, 1000000, kC, kD}}, 0},
        {"sleep", {2 * 4294}, {{22, 4294000000u, kC, kD}, {22, 4294000000u, kC, kD}}, 0},
        {"sleep", {3 * 4294 + 5},
            {{22, 4294000000u, kC, kD}, {22, 4294000000u, kC, kD}, {22, 4294000000u, kC, kD}, {22, 5000000, kC, kD}},
            0},
        {"getcwd", {kBuf, 0xFFFFFFFF}, {{52, kBuf, kClamped, 0}}, kKernelAnswer}, {"getcwd", {kBuf, 0}, {}, -1},
        {"getcwd", {0, 16}, {}, -1}, {"chdir", {0}, {}, -1}, {"vekfs_stream_begin", {0}, {}, -1},
        {"vekfs_stream_write", {3, kBuf, 0x80000001}, {{54, 3, kBuf, kClamped}}, kKernelAnswer},
        {"vekfs_stream_write", {3, 0, 10}, {}, -1},
        {"open", {kPath, 0x241, 0777}, {{4, kPath, 0x241, 0x241}}, kKernelAnswer},
        {"open", {kPath, 0, 0777}, {open}, kKernelAnswer},
        {"open", {kPath, 0x201, 0777}, {{4, kPath, 0x201, 0}}, kKernelAnswer}, {"open", {0, 0, 0}, {}, -1},
        {"creat", {kPath, 0777}, {{4, kPath, 0x241, 0}}, kKernelAnswer}, {"creat", {0, 0777}, {}, -1},
        // access opens for reading, then closes what it opened, whatever the close answers.
        {"access", {kPath, 7}, {open, {5, kKernelAnswer, kAny, kAny}}, 0}, {"access", {kPath, 0}, {open}, -1, -2},
        {"access", {kPath, 0}, {open, {5, 0, kAny, kAny}}, 0, 0}, {"access", {0, 0}, {}, -1},
        {"_exit", {3}, {{2, 3, kC, kD}}, kSpins}};
    for (const Row& row : rows)
        expect_traps(row, std::string(row.function) + " row " + std::to_string(&row - rows.data()));
}

// ---- Start-up ----------------------------------------------------------------------
class StartupTest : public GuestTest { };

// The test image's main writes the argv address and each argument on a line, and returns argv[1] as a
// number (42 without arguments): argc lies at the 16-aligned entry stack pointer, argv is the slot above it
// (not a copy) and ends with a null pointer, and main's result reaches exit unchanged, the last call.
TEST_F(StartupTest, MainGetsArgcAndArgvWhereTheyLieAndItsResultReachesExitUnchanged)
{
    for (const auto& [argv, status] : std::vector<std::pair<std::vector<std::string>, int32_t>>{
             {{"prog", "7", "two words"}, 7}, {{}, 42}, {{"prog", "256"}, 256}, {{"prog", "-2147483648"}, INT32_MIN}}) {
        SCOPED_TRACE(status);
        guest().reset();
        const Stop stop = guest().start(argv);
        ASSERT_EQ(stop.why, Stop::Why::Exited);
        const uint32_t sp = guest().machine().entry_stack_pointer();
        char out[16];
        std::snprintf(out, sizeof out, "%08x\n", sp + 4);
        std::string said = out;
        for (const std::string& arg : argv)
            said += arg + "\n";
        EXPECT_EQ(guest().output(), said);
        EXPECT_EQ(std::tuple(sp % 16, guest().read_u32(sp), guest().read_u32(sp + 4 + 4 * uint32_t(argv.size()))),
            std::tuple(0u, uint32_t(argv.size()), 0u));
        EXPECT_EQ(std::tuple(stop.exit_status, guest().calls().back().in.eax, guest().calls().back().in.ebx),
            std::tuple(status, 2u, uint32_t(status)));
    }
}

// Nothing is placed before _start: the code segment (r-x) begins with it.
TEST_F(StartupTest, EntryIsTheFirstAddressOfTheCode)
{
    const ElfImage& image = guest().machine().image();
    EXPECT_EQ(guest().symbol("_start"), image.entry());
    EXPECT_EQ(std::pair(image.segments().front().flags, image.segments().front().vaddr), std::pair(5u, image.entry()));
}

// Control word 0x037F before and after a routine that changes it and then divides: 1/3 at 64-bit precision.
TEST_F(StartupTest, FpuStartsInItsPowerOnState)
{
    EXPECT_EQ(guest().machine().fpu_control_word(), 0x037F);
    const CallResult r = guest()("test_fpu_third", 0u, 0x3FE00000u); // 0.5

    const long double third = 1.0L / 3.0L;
    EXPECT_TRUE(r.returned() && std::memcmp(&r.st0, &third, 10) == 0) << "1/3 at less than 64-bit precision";
    EXPECT_EQ(guest().machine().fpu_control_word(), 0x037F);
}

TEST_F(StartupTest, SixtyFourBitResultsComeBackInEdxEax)
{
    EXPECT_EQ(guest()("test_wide", 0xFFFFFFFFu, 0x00000001u).value64(), 0x0000000200000000ull);
}

} // namespace
} // namespace vekos::test
