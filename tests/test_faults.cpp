// CPU faults of the guest and kernel calls handed bad buffers: each stops or
// answers exactly as documented, the host never crashes, and the machine is
// usable again after a reset.
#include "harness.h"

#include "errors.h"
#include "layout.h"

#include <unicorn/unicorn.h>

#include <cstring>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

constexpr uint32_t kUnmapped = 0x10000000;     // between program and stack
constexpr uint32_t kStackEnd = kStackTop;      // first byte past the stack
constexpr uint32_t kLastStackWord = kStackTop - 4;

class FaultTest : public GuestTest {
protected:
    // [start, start + size) of a function of the test image.
    std::pair<uint32_t, uint32_t> function(const char* name)
    {
        auto s = guest().machine().image().symbol(name);
        if (!s) {
            ADD_FAILURE() << "the test image has no " << name;
            return {0, 0};
        }
        return {s->value, s->value + s->size};
    }
    uint32_t code_address() { return guest().machine().image().segments().front().vaddr; }
    uint32_t rodata_address()
    {
        for (const Segment& s : guest().machine().image().segments())
            if (s.flags == 4)
                return s.vaddr;
        ADD_FAILURE() << "the test image has no read-only data segment";
        return 0;
    }

    // After a fault the next call runs normally on the reset machine.
    void expect_machine_recovers(const std::string& label)
    {
        guest().reset();
        CallResult r = guest()("test_divide", 47, 5);
        ASSERT_TRUE(r.returned()) << label;
        EXPECT_EQ(r.value(), 9) << label;
        uint32_t text = guest().put_string("ok");
        EXPECT_EQ(guest()("write", 1, text, 2).value(), 2) << label;
        EXPECT_EQ(guest().output(), "ok") << label;
    }
};

struct FaultRow {
    const char* label;
    const char* function;
    std::vector<uint32_t> args;  // 0xFFFFFFF0 + k: placeholder filled in by the test
    const char* kind;
    std::string detail;          // exact, or empty for "not checked"
    int status;
    const char* mnemonic;        // the reported instruction begins with it
    std::vector<uint8_t> opcode; // bytes found at the reported eip
    bool eip_is_target;          // eip is the jump target rather than inside the function
};

constexpr uint32_t kCodePlaceholder = 0xFFFFFFF0;
constexpr uint32_t kRodataPlaceholder = 0xFFFFFFF1;

TEST_F(FaultTest, EachCpuFaultStopsWithItsKindPlaceAndStatus)
{
    const std::vector<FaultRow> rows = {
        {"store to 0", "test_store", {0, 0x1234}, "segmentation fault",
         "write to unmapped memory at 0x00000000 (4 bytes)", exit_status::memory_fault, "mov", {0x89}, false},
        {"load of unmapped", "test_load", {kUnmapped}, "segmentation fault",
         "read of unmapped memory at 0x10000000 (4 bytes)", exit_status::memory_fault, "mov", {0x8b}, false},
        {"load of the first byte past the stack", "test_load", {kStackEnd}, "segmentation fault",
         "read of unmapped memory at 0xc0000000 (4 bytes)", exit_status::memory_fault, "mov", {0x8b}, false},
        {"load straddling the stack's end", "test_load", {kStackEnd - 2}, "segmentation fault", "",
         exit_status::memory_fault, "mov", {0x8b}, false},
        {"store into the code", "test_store", {kCodePlaceholder, 0}, "segmentation fault", "",
         exit_status::memory_fault, "mov", {0x89}, false},
        {"store into read-only data", "test_store", {kRodataPlaceholder, 0}, "segmentation fault", "",
         exit_status::memory_fault, "mov", {0x89}, false},
        {"jump to unmapped", "test_jump", {0x20000000}, "segmentation fault",
         "execution of unmapped memory at 0x20000000 (1 bytes)", exit_status::memory_fault, "", {}, true},
        {"jump into the stack", "test_jump", {0xBFFFF000}, "segmentation fault",
         "execution of non-executable memory at 0xbffff000 (1 bytes)", exit_status::memory_fault, "", {}, true},
        {"jump into read-only data", "test_jump", {kRodataPlaceholder}, "segmentation fault", "",
         exit_status::memory_fault, "", {}, true},
        {"divide by zero", "test_divide", {1, 0}, "divide error", "", exit_status::divide_error, "idiv",
         {0xf7}, false},
        {"quotient too large", "test_divide", {0x80000000, 0xFFFFFFFF}, "divide error", "",
         exit_status::divide_error, "idiv", {0xf7}, false},
        {"ud2", "test_invalid_instruction", {}, "invalid instruction", "", exit_status::invalid_instruction,
         "ud2", {0x0f, 0x0b}, false},
        {"hlt", "test_halt", {}, "general protection fault", "privileged instruction hlt in user mode",
         exit_status::memory_fault, "hlt", {0xf4}, false},
        {"int3", "test_int3", {}, "breakpoint trap", "int3 executed", exit_status::memory_fault, "int3", {0xcc},
         false},
    };
    for (const FaultRow& row : rows) {
        guest().reset();
        std::vector<uint32_t> args;
        for (uint32_t a : row.args)
            args.push_back(a == kCodePlaceholder ? code_address() : a == kRodataPlaceholder ? rodata_address() : a);
        CallResult r = guest().call(row.function, args);
        ASSERT_EQ(r.stop.why, Stop::Why::Faulted) << row.label;
        ASSERT_TRUE(r.stop.fault.has_value()) << row.label;
        const Fault& f = *r.stop.fault;
        EXPECT_EQ(f.kind, row.kind) << row.label;
        EXPECT_EQ(f.status, row.status) << row.label;
        if (!row.detail.empty()) {
            EXPECT_EQ(f.detail, row.detail) << row.label;
        }
        if (row.eip_is_target) {
            EXPECT_EQ(f.eip, args[0]) << row.label;
        } else {
            auto [begin, end] = function(row.function);
            EXPECT_GE(f.eip, begin) << row.label;
            EXPECT_LT(f.eip, end) << row.label;
            EXPECT_EQ(guest().read(f.eip, uint32_t(row.opcode.size())), row.opcode) << row.label;
            EXPECT_EQ(f.instruction.rfind(row.mnemonic, 0), 0u) << row.label << ": " << f.instruction;
        }
        // The one-line report carries every part.
        std::string message = f.message();
        EXPECT_NE(message.find(row.kind), std::string::npos) << message;
        EXPECT_NE(message.find(f.instruction), std::string::npos) << message;
        char eip[32];
        std::snprintf(eip, sizeof eip, "eip 0x%08x", f.eip);
        EXPECT_NE(message.find(eip), std::string::npos) << message;
        expect_machine_recovers(row.label);
    }
}

TEST_F(FaultTest, ProtectedWritesNameTheAddressAndLeaveMemoryUnchanged)
{
    uint32_t code = code_address();
    std::vector<uint8_t> before = guest().read(code, 4);
    CallResult r = guest()("test_store", code, 0xDEADBEEF);
    ASSERT_TRUE(r.stop.fault.has_value());
    char detail[80];
    std::snprintf(detail, sizeof detail, "write to read-only memory at 0x%08x (4 bytes)", code);
    EXPECT_EQ(r.stop.fault->detail, detail);
    EXPECT_EQ(guest().read(code, 4), before);
}

TEST_F(FaultTest, EdgesOfTheStackAreUsable)
{
    // The last word of the stack is ordinary memory, for the CPU and the kernel alike.
    EXPECT_TRUE(guest()("test_store", kLastStackWord, 0x0A636261).returned());  // "abc\n"
    CallResult r = guest()("test_load", kLastStackWord);
    ASSERT_TRUE(r.returned());
    EXPECT_EQ(r.eax, 0x0A636261u);
    EXPECT_EQ(guest()("write", 1, kLastStackWord, 4).value(), 4);
    EXPECT_EQ(guest().output(), "abc\n");
    guest().feed_input("WXYZ!");
    EXPECT_EQ(guest()("read", 0, kLastStackWord, 4).value(), 4);
    EXPECT_EQ(guest().read(kLastStackWord, 4), (std::vector<uint8_t>{'W', 'X', 'Y', 'Z'}));
    // getcwd checks only the bytes it writes: "/" and its NUL fit in the last two.
    EXPECT_EQ(guest()("getcwd", kStackTop - 2, 64).value(), 2);
    EXPECT_EQ(guest().read(kStackTop - 2, 2), (std::vector<uint8_t>{'/', 0}));
    EXPECT_EQ(guest()("getcwd", kStackTop - 1, 64).value(), -14);
    // The first word is usable too; the one below it is not.
    EXPECT_TRUE(guest()("test_store", kStackBase, 7).returned());
    CallResult below = guest()("test_load", kStackBase - 4);
    ASSERT_EQ(below.stop.why, Stop::Why::Faulted);
    EXPECT_EQ(below.stop.fault->detail, "read of unmapped memory at 0xbfeffffc (4 bytes)");
}

TEST_F(FaultTest, AnEndlessLoopStopsAtTheInstructionLimit)
{
    constexpr uint64_t kLimit = 5000;
    guest().machine().set_instruction_limit(kLimit);
    CallResult r = guest()("test_spin");
    EXPECT_EQ(r.stop.why, Stop::Why::InstructionLimit);
    EXPECT_FALSE(r.stop.fault.has_value());
    EXPECT_LE(guest().machine().instructions_executed(), kLimit);
    EXPECT_GE(guest().machine().instructions_executed(), kLimit - 16);
    auto [begin, end] = function("test_spin");
    uint32_t eip = guest().machine().reg(UC_X86_REG_EIP);
    EXPECT_GE(eip, begin);
    EXPECT_LT(eip, end);
    expect_machine_recovers("spin");
}

// Kernel calls handed memory they may not use answer -14 and change nothing.
struct BadBufferRow {
    const char* label;
    const char* function;
    std::vector<uint32_t> args;
    int32_t answer;
};

constexpr uint32_t kScratchPlaceholder = 0xFFFFFFF2;

TEST_F(FaultTest, KernelCallsRefuseBadBuffersWithoutTouchingAnything)
{
    const std::vector<BadBufferRow> rows = {
        {"write from unmapped", "write", {1, kUnmapped, 4}, -14},
        {"write from address 0x1000", "write", {1, 0x1000, 1}, -14},
        {"write running off the stack", "write", {1, kLastStackWord, 8}, -14},
        {"write of a clamped huge count", "write", {1, kScratchPlaceholder, 0xFFFFFFFF}, -14},
        {"read into the code", "read", {0, kCodePlaceholder, 4}, -14},
        {"read into read-only data", "read", {0, kRodataPlaceholder, 4}, -14},
        {"read into unmapped", "read", {0, kUnmapped, 4}, -14},
        {"read running off the stack", "read", {0, kLastStackWord, 8}, -14},
        {"getcwd into the code", "getcwd", {kCodePlaceholder, 64}, -14},
        {"getcwd into unmapped", "getcwd", {kUnmapped, 64}, -14},
        {"pipe into unmapped", "pipe", {kUnmapped}, -14},
        {"pipe into the code", "pipe", {kCodePlaceholder}, -14},
        {"pipe running off the stack", "pipe", {kLastStackWord}, -14},
        {"open of an unmapped path", "open", {kUnmapped, 0}, -14},
        {"writefile from unmapped data", "writefile", {kScratchPlaceholder, kUnmapped, 4}, -14},
        {"writefile with an unmapped path", "writefile", {kUnmapped, kScratchPlaceholder, 1}, -14},
        {"mkdir with an unmapped path", "mkdir", {kUnmapped}, -14},
        {"chdir with an unmapped path", "chdir", {kUnmapped}, -14},
        {"stream_begin with an unmapped path", "vekfs_stream_begin", {kUnmapped}, -14},
    };
    for (const BadBufferRow& row : rows) {
        guest().reset();
        guest().feed_input("input");
        uint32_t scratch = guest().put_string("file");
        std::vector<uint32_t> args;
        for (uint32_t a : row.args)
            args.push_back(a == kCodePlaceholder     ? code_address()
                           : a == kRodataPlaceholder ? rodata_address()
                           : a == kScratchPlaceholder ? scratch
                                                      : a);
        std::vector<uint8_t> code_before = guest().read(code_address(), 64);
        CallResult r = guest().call(row.function, args);
        ASSERT_TRUE(r.returned()) << row.label;
        EXPECT_EQ(r.value(), row.answer) << row.label;
        ASSERT_EQ(guest().calls().size(), 1u) << row.label;
        EXPECT_EQ(guest().calls()[0].answer, row.answer) << row.label;
        EXPECT_EQ(guest().output(), "") << row.label;
        EXPECT_EQ(guest().read(code_address(), 64), code_before) << row.label;
        EXPECT_TRUE(std::filesystem::is_empty(guest().root())) << row.label;
        // No input was consumed and no descriptor was taken.
        uint32_t buf = guest().alloc(8);
        EXPECT_EQ(guest()("read", 0, buf, 8).value(), 5) << row.label;
        EXPECT_EQ(guest()("dup", 1).value(), 3) << row.label;
    }
}

TEST_F(FaultTest, PathsWithoutTerminatorAreRefused)
{
    // 4096 readable bytes without a NUL: longer than any path.
    uint32_t long_path = guest().alloc(5000, 'a');
    EXPECT_EQ(guest()("open", long_path, 0).value(), -36);
    EXPECT_EQ(guest()("mkdir", long_path).value(), -36);
    // 4095 bytes and a NUL is still a path (of a missing file).
    std::string longest = "/";
    while (longest.size() < 4095)
        longest += longest.size() % 2 ? "a" : "/";
    ASSERT_EQ(longest.size(), 4095u);
    EXPECT_EQ(guest()("open", guest().put_string(longest), 0).value(), -2);
    // A name that runs into unmapped memory before any NUL is a bad address.
    guest().write_u32(kLastStackWord, 0x64636261);  // "abcd", no NUL
    EXPECT_EQ(guest()("open", kLastStackWord, 0).value(), -14);
    EXPECT_EQ(guest()("unlink", kLastStackWord).value(), -14);
    EXPECT_TRUE(std::filesystem::is_empty(guest().root()));
}

} // namespace
} // namespace vekos::test
