// The general kernel-call wrappers, register for register, on the real i386 code.
#include "harness.h"

#include "kernel/calls.h"

#include <unicorn/unicorn.h>

#include <climits>
#include <cstring>
#include <fstream>

namespace vekos::test {
namespace {

constexpr uint32_t kPresetEbx = preset.ebx;
constexpr uint32_t kPresetEcx = preset.ecx;
constexpr uint32_t kPresetEdx = preset.edx;
constexpr int32_t kKernelAnswer = 0x1234;
constexpr uint32_t kClamped = 0x7FFFFFFF;

enum Arg : uint32_t { kPath = 0xA0000001, kBuf = 0xA0000002 }; // placeholders in the table

struct Trap {
    uint32_t eax, ebx, ecx, edx;
};

struct Row {
    const char* function;
    std::vector<uint32_t> args;
    std::vector<Trap> traps; // empty: refused without entering the kernel
    int32_t result;
};

class WrapperTest : public GuestTest {
protected:
    void expect_callee_saved_kept() { EXPECT_TRUE(guest().callee_saved_kept()); }

    CallResult call(const char* function, std::vector<uint32_t> args)
    {
        guest().preset_registers();
        return guest().call(function, args);
    }
    // Calls with every call number answering kKernelAnswer, and checks the
    // result, the traps made register by register, and the callee-saved ones.
    void expect_traps(const Row& row, const std::string& label)
    {
        guest().reset();
        const uint32_t path = guest().put_string("/some/file"), buf = guest().alloc(64);
        auto fill = [&](uint32_t v) { return v == kPath ? path : v == kBuf ? buf : v; };
        std::vector<uint32_t> args;
        for (uint32_t a : row.args)
            args.push_back(fill(a));
        for (const CallInfo& c : all_calls())
            guest().inject(std::to_string(c.number) + "=" + std::to_string(kKernelAnswer));
        CallResult r = call(row.function, args);
        ASSERT_TRUE(r.returned()) << label;
        EXPECT_EQ(r.value(), row.result) << label;
        ASSERT_EQ(guest().calls().size(), row.traps.size()) << label;
        for (size_t i = 0; i < row.traps.size(); ++i) {
            const CallRegs& in = guest().calls()[i].in;
            const Trap& want = row.traps[i];
            EXPECT_EQ((std::vector<uint32_t>{in.eax, in.ebx, in.ecx, in.edx}),
                (std::vector<uint32_t>{want.eax, fill(want.ebx), fill(want.ecx), fill(want.edx)}))
                << label << ", trap " << i;
        }
        expect_callee_saved_kept();
    }
};

// The plain row of a call, from its line in the call table: a distinct word
// per argument register, and each register as its kind says the wrapper
// fills it.  Every wrapper but _exit bears its call's name.
Row derived_row(const CallInfo& call)
{
    constexpr uint32_t kWords[3] = {0x11111111, 0x22222262, 0x33333333}; // the second has open's 0x40
    const uint32_t presets[3] = {kPresetEbx, kPresetEcx, kPresetEdx};
    Row row{call.name.data(), {}, {{call.number, 0, 0, 0}}, kKernelAnswer};
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
    return row;
}

TEST_F(WrapperTest, EveryCallOfTheTableIsOneTrapWithExactlyItsRegisters)
{
    for (const CallInfo& c : all_calls())
        if (c.number != VEKOS_SYS_exit) // _exit does not return; tested below
            expect_traps(derived_row(c), std::string(c.name));
}

// What the table does not say: clamps, refusals, flags reduced, sleep's
// pieces, and the wrappers that share a call.
const std::vector<Row>& edge_rows()
{
    static const std::vector<Row> table = {
        {"write", {1, kBuf, 0}, {{1, 1, kBuf, 0}}, kKernelAnswer},
        {"write", {1, kBuf, 0x7FFFFFFF}, {{1, 1, kBuf, kClamped}}, kKernelAnswer},
        {"write", {1, kBuf, 0x80000000}, {{1, 1, kBuf, kClamped}}, kKernelAnswer},
        {"write", {1, kBuf, 0xFFFFFFFF}, {{1, 1, kBuf, kClamped}}, kKernelAnswer},
        {"write", {1, 0, 5}, {}, -1},
        {"write", {1, 0, 0}, {}, -1},
        {"read", {7, kBuf, 0xFFFFFFFE}, {{3, 7, kBuf, kClamped}}, kKernelAnswer},
        {"read", {0, 0, 3}, {}, -1},
        {"pipe", {0}, {}, -1},
        {"mkfifo", {0}, {}, -1},
        {"fd_set_inherit", {0}, {{128, 0, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"fd_set_inherit", {0x100}, {{128, 1, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"fd_set_nonblock", {4, 0}, {{130, 4, 0, 0}}, kKernelAnswer},
        {"spawn", {kPath, 0, 0}, {{131, kPath, 0, 0}}, kKernelAnswer},
        {"spawn", {kPath, kBuf, 0xFFFFFFFF}, {}, -1},
        {"spawn", {kPath, kBuf, 0x80000000}, {}, -1},
        {"spawn", {0, kBuf, 1}, {}, -1},
        {"writefile", {kPath, kBuf, 0xFFFFFFFF}, {{21, kPath, kBuf, kClamped}}, kKernelAnswer},
        {"writefile", {0, kBuf, 4}, {}, -1},
        {"writefile", {kPath, 0, 4}, {}, -1},
        {"mkdir", {0}, {}, -1},
        {"unlink", {0}, {}, -1},
        {"rmdir", {0}, {}, -1},
        {"usleep", {0xFFFFFFFF}, {{22, 0xFFFFFFFF, kPresetEcx, kPresetEdx}}, 0},
        {"sleep", {2}, {{22, 2000000, kPresetEcx, kPresetEdx}}, 0},
        {"sleep", {0}, {{22, 0, kPresetEcx, kPresetEdx}}, 0},
        {"sleep", {4294}, {{22, 4294000000u, kPresetEcx, kPresetEdx}}, 0},
        // From 4,295 seconds on the time goes out in pieces instead of wrapping.
        {"sleep", {4295}, {{22, 4294000000u, kPresetEcx, kPresetEdx}, {22, 1000000, kPresetEcx, kPresetEdx}}, 0},
        {"sleep", {3 * 4294 + 5},
            {{22, 4294000000u, kPresetEcx, kPresetEdx}, {22, 4294000000u, kPresetEcx, kPresetEdx},
                {22, 4294000000u, kPresetEcx, kPresetEdx}, {22, 5000000, kPresetEcx, kPresetEdx}},
            0},
        {"sleep", {2 * 4294}, {{22, 4294000000u, kPresetEcx, kPresetEdx}, {22, 4294000000u, kPresetEcx, kPresetEdx}},
            0},
        {"getcwd", {kBuf, 0xFFFFFFFF}, {{52, kBuf, kClamped, 0}}, kKernelAnswer},
        {"getcwd", {kBuf, 0}, {}, -1},
        {"getcwd", {0, 16}, {}, -1},
        {"chdir", {0}, {}, -1},
        {"vekfs_stream_begin", {0}, {}, -1},
        {"vekfs_stream_write", {3, kBuf, 0x80000001}, {{54, 3, kBuf, kClamped}}, kKernelAnswer},
        {"vekfs_stream_write", {3, 0, 10}, {}, -1},
        {"open", {kPath, 0x241, 0777}, {{4, kPath, 0x241, 0x241}}, kKernelAnswer},
        {"open", {kPath, 0, 0777}, {{4, kPath, 0, 0}}, kKernelAnswer},
        {"open", {kPath, 0x201, 0777}, {{4, kPath, 0x201, 0}}, kKernelAnswer},
        {"open", {0, 0, 0}, {}, -1},
        {"creat", {kPath, 0777}, {{4, kPath, 0x241, 0}}, kKernelAnswer},
        {"creat", {0, 0777}, {}, -1},
        {"access", {0, 0}, {}, -1},
        {"gui_set_cursor_visible", {1, 0xFFFFFFFF}, {{112, 1, 0xFFFFFFFF, 0}}, kKernelAnswer},
    };
    return table;
}

TEST_F(WrapperTest, ClampsRefusalsFlagsAndSharedCallsAreExact)
{
    for (const Row& row : edge_rows())
        expect_traps(row, std::string(row.function) + " row " + std::to_string(&row - edge_rows().data()));
}

TEST_F(WrapperTest, KernelAnswersComeBackUnchanged)
{
    uint32_t buf = guest().alloc(16);
    for (int32_t answer : {0, 1, -1, -38, INT32_MIN, INT32_MAX}) {
        guest().reset();
        buf = guest().alloc(16);
        for (const char* call : {"write", "read", "close", "lseek", "getcwd", "open", "getkey", "dup"})
            guest().inject(std::string(call) + "=" + std::to_string(answer));
        EXPECT_EQ(guest()("write", 1, buf, 4).value(), answer);
        EXPECT_EQ(guest()("read", 0, buf, 4).value(), answer);
        EXPECT_EQ(guest()("close", 3).value(), answer);
        EXPECT_EQ(guest()("lseek", 3, 0, 0).value(), answer);
        EXPECT_EQ(guest()("getcwd", buf, 16).value(), answer);
        EXPECT_EQ(guest()("open", buf, 0).value(), answer);
        EXPECT_EQ(guest()("getkey").value(), answer);
        EXPECT_EQ(guest()("dup", 1).value(), answer);
    }
}

TEST_F(WrapperTest, SleepsAnswerZeroEvenWhenTheKernelRefuses)
{
    guest().inject("usleep=-22");
    EXPECT_EQ(call("usleep", {16000}).value(), 0);
    EXPECT_EQ(call("sleep", {3}).value(), 0);
    ASSERT_EQ(guest().calls().size(), 2u);
    EXPECT_EQ(guest().calls()[1].answer, -22);
}

TEST_F(WrapperTest, AccessOpensThenClosesAndLeavesNoDescriptor)
{
    std::ofstream(guest().root() / "present") << "x";
    uint32_t present = guest().put_string("/present");
    uint32_t missing = guest().put_string("/missing");

    CallResult ok = call("access", {present, 7});
    EXPECT_EQ(ok.value(), 0);
    ASSERT_EQ(guest().calls().size(), 2u);
    const CallRecord open_call = guest().calls()[0];
    EXPECT_EQ(open_call.in.eax, 4u);
    EXPECT_EQ(open_call.in.ebx, present);
    EXPECT_EQ(open_call.in.ecx, 0u);
    EXPECT_EQ(open_call.in.edx, 0u);
    const CallRecord close_call = guest().calls()[1];
    EXPECT_EQ(close_call.in.eax, 5u);
    EXPECT_EQ(int32_t(close_call.in.ebx), open_call.answer);
    // The descriptor was closed: the next open gets the same number again.
    EXPECT_EQ(call("open", {present, 0}).value(), open_call.answer);

    guest().kernel().clear_log();
    EXPECT_EQ(call("access", {missing, 0}).value(), -1);
    ASSERT_EQ(guest().calls().size(), 1u);
    EXPECT_EQ(guest().calls()[0].answer, -2);
}

TEST_F(WrapperTest, AccessIgnoresACloseFailure)
{
    std::ofstream(guest().root() / "present") << "x";
    guest().inject("close=-9");
    EXPECT_EQ(call("access", {guest().put_string("present"), 0}).value(), 0);
}

TEST_F(WrapperTest, ExitEndsTheProcessWithTheFullStatus)
{
    for (int32_t status : {0, 1, 255, 256, -1, INT32_MIN}) {
        guest().reset();
        CallResult r = call("_exit", {uint32_t(status)});
        ASSERT_TRUE(r.exited());
        EXPECT_EQ(r.exit_status(), status);
        ASSERT_EQ(guest().calls().size(), 1u);
        EXPECT_EQ(guest().calls()[0].in.eax, 2u);
        EXPECT_EQ(guest().calls()[0].in.ebx, uint32_t(status));
    }
}

TEST_F(WrapperTest, ExitSpinsWhenTheKernelComesBack)
{
    guest().inject("exit=0");
    guest().machine().set_instruction_limit(10000);
    CallResult r = call("_exit", {3});
    EXPECT_EQ(r.stop.why, Stop::Why::InstructionLimit);
    ASSERT_EQ(guest().calls().size(), 1u); // one trap, then the loop
    uint32_t eip = guest().machine().reg(UC_X86_REG_EIP);
    uint32_t start = guest().symbol("_exit");
    EXPECT_GE(eip, start);
    EXPECT_LT(eip, start + 32);
}

TEST_F(WrapperTest, WrappersReallyReachTheStandIn)
{
    uint32_t text = guest().put_string("hi\n");
    EXPECT_EQ(call("write", {1, text, 3}).value(), 3);
    EXPECT_EQ(guest().output(), "hi\n");

    guest().feed_input("abc");
    uint32_t buf = guest().alloc(8, 0xEE);
    EXPECT_EQ(call("read", {0, buf, 2}).value(), 2);
    EXPECT_EQ(guest().read(buf, 3), (std::vector<uint8_t>{'a', 'b', 0xEE}));
    EXPECT_EQ(call("read", {0, buf, 8}).value(), 1);
    EXPECT_EQ(call("read", {0, buf, 8}).value(), 0); // end of input
}

TEST_F(WrapperTest, ZeroCountWriteIsMadeAndAnswersZero)
{
    uint32_t text = guest().put_string("x");
    EXPECT_EQ(call("write", {1, text, 0}).value(), 0);
    ASSERT_EQ(guest().calls().size(), 1u);
    EXPECT_EQ(guest().calls()[0].in.edx, 0u);
    EXPECT_EQ(guest().output(), "");
}

} // namespace
} // namespace vekos::test
