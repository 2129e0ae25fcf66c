// Start-up and exit path: the stack _start reads, main's arguments, the status.
#include "harness.h"

#include <cstdio>
#include <cstring>

namespace vekos::test {
namespace {

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
