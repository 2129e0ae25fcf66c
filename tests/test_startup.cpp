// Start-up and exit path: the stack _start reads, main's arguments, the status.
#include "harness.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>

namespace vekos::test {
namespace {

class StartupTest : public GuestTest { };

std::string hex_line(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "%08x\n", v);
    return b;
}

TEST_F(StartupTest, MainGetsArgcAndArgvWhereTheyLieOnTheStack)
{
    Stop stop = guest().start({"prog", "7", "two words"});
    ASSERT_EQ(stop.why, Stop::Why::Exited);
    EXPECT_EQ(stop.exit_status, 7);
    uint32_t sp = guest().machine().entry_stack_pointer();
    EXPECT_EQ(sp % 16, 0u);
    EXPECT_EQ(guest().read_u32(sp), 3u);
    // argv is slot 1 itself, not a copy.
    EXPECT_EQ(guest().output(), hex_line(sp + 4) + "prog\n7\ntwo words\n");
    EXPECT_EQ(guest().read_cstring(guest().read_u32(sp + 4)), "prog");
    EXPECT_EQ(guest().read_cstring(guest().read_u32(sp + 12)), "two words");
}

TEST_F(StartupTest, ArgcZeroStillRunsMainWithArgvJustAboveTheCount)
{
    Stop stop = guest().start({});
    ASSERT_EQ(stop.why, Stop::Why::Exited);
    EXPECT_EQ(stop.exit_status, 42);
    uint32_t sp = guest().machine().entry_stack_pointer();
    EXPECT_EQ(guest().read_u32(sp), 0u);
    EXPECT_EQ(guest().output(), hex_line(sp + 4));
}

TEST_F(StartupTest, MainsResultReachesExitUnchanged)
{
    for (const char* status : {"0", "1", "255", "256", "-1", "-2147483648", "2147483647"}) {
        guest().reset();
        Stop stop = guest().start({"prog", status});
        ASSERT_EQ(stop.why, Stop::Why::Exited) << status;
        EXPECT_EQ(stop.exit_status, int32_t(std::strtoll(status, nullptr, 10))) << status;
        // The last kernel call is exit with main's result in ebx.
        ASSERT_FALSE(guest().calls().empty());
        EXPECT_EQ(guest().calls().back().in.eax, 2u);
        EXPECT_EQ(int32_t(guest().calls().back().in.ebx), stop.exit_status);
    }
}

TEST_F(StartupTest, EntryIsTheFirstAddressOfTheCode)
{
    const ElfImage& image = guest().machine().image();
    EXPECT_EQ(guest().symbol("_start"), image.entry());
    // The code segment begins with _start: nothing is placed before it.
    const Segment& code = image.segments().front();
    EXPECT_EQ(code.flags, 5u); // r-x
    EXPECT_EQ(code.vaddr, image.entry());
}

TEST_F(StartupTest, StartHangsIfExitComesBack)
{
    guest().inject("exit=0");
    guest().machine().set_instruction_limit(5000);
    Stop stop = guest().start({"prog"});
    EXPECT_EQ(stop.why, Stop::Why::InstructionLimit);
    uint32_t eip = guest().machine().reg(UC_X86_REG_EIP);
    // Either the wrapper's own loop or _start's .hang: never past them.
    uint32_t exit_fn = guest().symbol("_exit");
    EXPECT_TRUE((eip >= exit_fn && eip < exit_fn + 32)
        || (eip >= guest().symbol("_start") && eip < guest().symbol("_start") + 32));
}

TEST_F(StartupTest, FpuStartsInItsPowerOnState)
{
    EXPECT_EQ(guest().machine().fpu_control_word(), 0x037F);
    double seed = 0.5;
    uint32_t words[2];
    std::memcpy(words, &seed, 8);
    CallResult r = guest()("test_fpu_third", words[0], words[1]);
    ASSERT_TRUE(r.returned());
    long double want = 1.0L / 3.0L;
    EXPECT_EQ(std::memcmp(&r.st0, &want, 10), 0) << "1/3 came out at less than 64-bit precision";
    EXPECT_EQ(guest().machine().fpu_control_word(), 0x037F);
}

TEST_F(StartupTest, SixtyFourBitResultsComeBackInEdxEax)
{
    CallResult r = guest()("test_wide", 0xFFFFFFFFu, 0x00000001u);
    EXPECT_EQ(r.value64(), 0x0000000200000000ull);
}

} // namespace
} // namespace vekos::test
