// The general kernel-call wrappers, register for register, on the real i386 code.
#include "harness.h"

#include <unicorn/unicorn.h>

#include <climits>
#include <cstring>
#include <fstream>

namespace vekos::test {
namespace {

constexpr uint32_t kPresetEbx = preset::ebx;
constexpr uint32_t kPresetEcx = preset::ecx;
constexpr uint32_t kPresetEdx = preset::edx;
constexpr int32_t kKernelAnswer = 0x1234;
constexpr uint32_t kClamped = 0x7FFFFFFF;

enum Arg : uint32_t { kPath = 0xA0000001, kBuf = 0xA0000002 };  // placeholders in the table

struct Trap {
    uint32_t eax, ebx, ecx, edx;
};

struct Row {
    const char* function;
    std::vector<uint32_t> args;
    std::vector<Trap> traps;  // empty: refused without entering the kernel
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
};

const std::vector<Row>& rows()
{
    static const std::vector<Row> table = {
        {"write", {1, kBuf, 5}, {{1, 1, kBuf, 5}}, kKernelAnswer},
        {"write", {1, kBuf, 0}, {{1, 1, kBuf, 0}}, kKernelAnswer},
        {"write", {1, kBuf, 0x7FFFFFFF}, {{1, 1, kBuf, kClamped}}, kKernelAnswer},
        {"write", {1, kBuf, 0x80000000}, {{1, 1, kBuf, kClamped}}, kKernelAnswer},
        {"write", {1, kBuf, 0xFFFFFFFF}, {{1, 1, kBuf, kClamped}}, kKernelAnswer},
        {"write", {1, 0, 5}, {}, -1},
        {"write", {1, 0, 0}, {}, -1},
        {"read", {0, kBuf, 3}, {{3, 0, kBuf, 3}}, kKernelAnswer},
        {"read", {7, kBuf, 0xFFFFFFFE}, {{3, 7, kBuf, kClamped}}, kKernelAnswer},
        {"read", {0, 0, 3}, {}, -1},
        {"close", {7}, {{5, 7, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"close", {0xFFFFFFFF}, {{5, 0xFFFFFFFF, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"dup", {3}, {{126, 3, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"dup2", {3, 9}, {{127, 3, 9, 0}}, kKernelAnswer},
        {"pipe", {kBuf}, {{124, kBuf, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"pipe", {0}, {}, -1},
        {"mkfifo", {kPath}, {{125, kPath, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"mkfifo", {0}, {}, -1},
        {"fd_set_inherit", {0xFFFFFFFF}, {{128, 1, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"fd_set_inherit", {0}, {{128, 0, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"fd_set_inherit", {0x100}, {{128, 1, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"fd_set_stdio", {4, 5, 6}, {{129, 4, 5, 6}}, kKernelAnswer},
        {"fd_set_nonblock", {4, 5}, {{130, 4, 1, 0}}, kKernelAnswer},
        {"fd_set_nonblock", {4, 0}, {{130, 4, 0, 0}}, kKernelAnswer},
        {"spawn", {kPath, kBuf, 0}, {{131, kPath, kBuf, 0}}, kKernelAnswer},
        {"spawn", {kPath, 0, 3}, {{131, kPath, 0, 3}}, kKernelAnswer},
        {"spawn", {kPath, kBuf, 0xFFFFFFFF}, {}, -1},
        {"spawn", {kPath, kBuf, 0x80000000}, {}, -1},
        {"spawn", {0, kBuf, 1}, {}, -1},
        {"waitpid", {5, kBuf, 1}, {{132, 5, kBuf, 1}}, kKernelAnswer},
        {"waitpid", {0xFFFFFFFF, 0, 0}, {{132, 0xFFFFFFFF, 0, 0}}, kKernelAnswer},
        {"writefile", {kPath, kBuf, 4}, {{21, kPath, kBuf, 4}}, kKernelAnswer},
        {"writefile", {kPath, kBuf, 0xFFFFFFFF}, {{21, kPath, kBuf, kClamped}}, kKernelAnswer},
        {"writefile", {0, kBuf, 4}, {}, -1},
        {"writefile", {kPath, 0, 4}, {}, -1},
        {"mkdir", {kPath}, {{49, kPath, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"mkdir", {0}, {}, -1},
        {"unlink", {kPath}, {{50, kPath, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"unlink", {0}, {}, -1},
        {"rmdir", {kPath}, {{51, kPath, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"rmdir", {0}, {}, -1},
        {"getkey", {}, {{6, kPresetEbx, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"usleep", {16000}, {{22, 16000, kPresetEcx, kPresetEdx}}, 0},
        {"usleep", {0xFFFFFFFF}, {{22, 0xFFFFFFFF, kPresetEcx, kPresetEdx}}, 0},
        {"sleep", {2}, {{22, 2000000, kPresetEcx, kPresetEdx}}, 0},
        {"sleep", {0}, {{22, 0, kPresetEcx, kPresetEdx}}, 0},
        {"sleep", {4294}, {{22, 4294000000u, kPresetEcx, kPresetEdx}}, 0},
        // From 4,295 seconds on the time goes out in pieces instead of wrapping.
        {"sleep", {4295}, {{22, 4294000000u, kPresetEcx, kPresetEdx}, {22, 1000000, kPresetEcx, kPresetEdx}}, 0},
        {"sleep",
         {3 * 4294 + 5},
         {{22, 4294000000u, kPresetEcx, kPresetEdx},
          {22, 4294000000u, kPresetEcx, kPresetEdx},
          {22, 4294000000u, kPresetEcx, kPresetEdx},
          {22, 5000000, kPresetEcx, kPresetEdx}},
         0},
        {"sleep", {2 * 4294}, {{22, 4294000000u, kPresetEcx, kPresetEdx}, {22, 4294000000u, kPresetEcx, kPresetEdx}}, 0},
        {"getcwd", {kBuf, 64}, {{52, kBuf, 64, 0}}, kKernelAnswer},
        {"getcwd", {kBuf, 0xFFFFFFFF}, {{52, kBuf, kClamped, 0}}, kKernelAnswer},
        {"getcwd", {kBuf, 0}, {}, -1},
        {"getcwd", {0, 16}, {}, -1},
        {"chdir", {kPath}, {{95, kPath, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"chdir", {0}, {}, -1},
        {"vekfs_stream_begin", {kPath}, {{53, kPath, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"vekfs_stream_begin", {0}, {}, -1},
        {"vekfs_stream_write", {3, kBuf, 10}, {{54, 3, kBuf, 10}}, kKernelAnswer},
        {"vekfs_stream_write", {3, kBuf, 0x80000001}, {{54, 3, kBuf, kClamped}}, kKernelAnswer},
        {"vekfs_stream_write", {3, 0, 10}, {}, -1},
        {"vekfs_stream_end", {3}, {{55, 3, kPresetEcx, kPresetEdx}}, kKernelAnswer},
        {"lseek", {3, 0xFFFFFFFB, 2}, {{110, 3, 0xFFFFFFFB, 2}}, kKernelAnswer},
        {"open", {kPath, 0x241, 0777}, {{4, kPath, 0x241, 0x241}}, kKernelAnswer},
        {"open", {kPath, 0x40, 0777}, {{4, kPath, 0x40, 0x40}}, kKernelAnswer},
        {"open", {kPath, 0, 0777}, {{4, kPath, 0, 0}}, kKernelAnswer},
        {"open", {kPath, 0x201, 0777}, {{4, kPath, 0x201, 0}}, kKernelAnswer},
        {"open", {0, 0, 0}, {}, -1},
        {"creat", {kPath, 0777}, {{4, kPath, 0x241, 0}}, kKernelAnswer},
        {"creat", {0, 0777}, {}, -1},
        {"access", {0, 0}, {}, -1},
    };
    return table;
}

TEST_F(WrapperTest, EveryWrapperPassesExactlyItsRegisters)
{
    for (const Row& row : rows()) {
        guest().reset();
        uint32_t path = guest().put_string("/some/file");
        uint32_t buf = guest().alloc(64);
        auto fill = [&](uint32_t v) { return v == kPath ? path : v == kBuf ? buf : v; };
        std::vector<uint32_t> args;
        for (uint32_t a : row.args)
            args.push_back(fill(a));
        // Every call answers kKernelAnswer without being performed.
        for (int number : {1, 3, 4, 5, 6, 21, 22, 49, 50, 51, 52, 53, 54, 55, 95, 110, 124, 125, 126, 127,
                           128, 129, 130, 131, 132})
            guest().inject(std::to_string(number) + "=" + std::to_string(kKernelAnswer));

        std::string label = std::string(row.function) + " row " + std::to_string(&row - rows().data());
        CallResult r = call(row.function, args);
        ASSERT_TRUE(r.returned()) << label;
        EXPECT_EQ(r.value(), row.result) << label;
        ASSERT_EQ(guest().calls().size(), row.traps.size()) << label;
        for (size_t i = 0; i < row.traps.size(); ++i) {
            const CallRegs& in = guest().calls()[i].in;
            const Trap& want = row.traps[i];
            EXPECT_EQ(in.eax, want.eax) << label;
            EXPECT_EQ(in.ebx, fill(want.ebx)) << label;
            EXPECT_EQ(in.ecx, fill(want.ecx)) << label;
            EXPECT_EQ(in.edx, fill(want.edx)) << label;
        }
        expect_callee_saved_kept();
    }
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

TEST_F(WrapperTest, LongestSleepAsksForTheFullTimeWithoutWrapping)
{
    CallResult r = call("sleep", {0xFFFFFFFF});
    ASSERT_TRUE(r.returned());
    EXPECT_EQ(r.value(), 0);
    const auto& calls = guest().calls();
    uint64_t total = 0;
    for (const CallRecord& c : calls) {
        ASSERT_EQ(c.in.eax, 22u);
        ASSERT_LE(c.in.ebx, 4294000000u);
        total += c.in.ebx;
    }
    EXPECT_EQ(total, 4294967295ull * 1000000ull);
    EXPECT_EQ(calls.size(), 4294967295ull / 4294 + 1);
    EXPECT_EQ(guest().kernel().clock().slept_us(), 4294967295ull * 1000000ull);
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
    ASSERT_EQ(guest().calls().size(), 1u);  // one trap, then the loop
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
    EXPECT_EQ(call("read", {0, buf, 8}).value(), 0);  // end of input
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
