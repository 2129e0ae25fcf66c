// The heap, the random generator, process end and the small stdlib services.
#include "harness.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <climits>
#include <tuple>

namespace vekos::test {
namespace {

constexpr uint32_t kArena = 0x100000, kEnomem = 12;

class StdlibTest : public GuestTest {
protected:
    uint32_t heap() { return guest().symbol("g_heap"); }
    uint32_t used() { return guest().global_u32("g_heap_used"); }
    uint32_t error() { return guest().global_u32("errno"); }
    uint32_t size_word(uint32_t payload) { return guest().read_u32(payload - 4); }
    uint32_t state() { return guest().global_u32("g_rand_state"); }
    template <typename... Args>
    uint32_t call(const char* fn, Args... args)
    {
        return guest()(fn, args...).eax;
    }
};

TEST_F(StdlibTest, EachBlockIsItsSizeWordAndPayloadRoundedUpToEightBytes)
{
    EXPECT_EQ(heap() % 8, 0u);
    // The call and its two arguments, the size word recorded, the block's length.
    const std::tuple<const char*, uint32_t, uint32_t, uint32_t, uint32_t> rows[] = {{"malloc", 0, 0, 1, 8},
        {"malloc", 1, 0, 1, 8}, {"malloc", 4, 0, 4, 8}, {"malloc", 5, 0, 5, 16}, {"malloc", 12, 0, 12, 16},
        {"malloc", 13, 0, 13, 24}, {"malloc", 20, 0, 20, 24}, {"malloc", 21, 0, 21, 32},
        {"malloc", 1000, 0, 1000, 1008}, {"calloc", 3, 5, 15, 24}, {"calloc", 1, 13, 13, 24}, {"calloc", 0, 5, 1, 8},
        {"calloc", 5, 0, 1, 8}, {"calloc", 0, 0xFFFFFFFF, 1, 8}, {"realloc", 0, 10, 10, 16}, {"realloc", 0, 0, 1, 8}};
    for (auto [fn, a, b, recorded, block] : rows) {
        SCOPED_TRACE(std::string(fn) + " " + std::to_string(a) + " " + std::to_string(b));
        guest().reset();
        guest().machine().memory().poke(heap(), std::vector<uint8_t>(64, 0xAA)); // calloc has to clear it
        const uint32_t p = call(fn, a, b);
        EXPECT_EQ(p, heap() + 4);
        EXPECT_EQ(size_word(p), recorded);
        EXPECT_EQ(used(), block);
        EXPECT_EQ(guest().read(p, a * b), std::vector<uint8_t>(a * b, 0)) << "calloc clears what it hands out";
        EXPECT_EQ(call("malloc", 5), p + block) << "the next block follows at once";
        EXPECT_EQ(error(), 0u);
    }
}

TEST_F(StdlibTest, TheArenaEndIsGrantedExactlyAndARefusalChangesNothingButErrno)
{
    EXPECT_EQ(call("malloc", kArena - 4), heap() + 4);
    EXPECT_EQ(used(), kArena);
    guest().reset();
    const uint32_t p = call("malloc", 4);
    guest().write_u32(p, 0x11223344);
    ASSERT_NE(call("malloc", kArena - 8 - 16 - 4), 0u); // leaves 16 bytes
    const uint32_t mark = used();
    // A block of 24 bytes, requests near 4 GiB (no wrapping), products beyond 32 bits.
    for (auto [fn, a, b] : {std::tuple{"malloc", 13u, 0u}, {"realloc", p, 13u}, {"calloc", 1u, 13u},
             {"malloc", 0xFFFFFFFFu, 0u}, {"malloc", 0xFFFFFFF4u, 0u}, {"malloc", 0x80000000u, 0u},
             {"realloc", 0u, 0xFFFFFFFFu}, {"realloc", p, 0xFFFFFFF8u}, {"calloc", 65536u, 65536u},
             {"calloc", 0x80000001u, 2u}, {"calloc", 0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        guest().write_u32(guest().symbol("errno"), 0);
        EXPECT_EQ(call(fn, a, b), 0u) << fn << " " << a << " " << b;
        EXPECT_EQ(error(), kEnomem) << fn << " " << a << " " << b;
        EXPECT_EQ(used(), mark) << fn << " " << a << " " << b;
    }
    EXPECT_EQ(guest().read_u32(p), 0x11223344u);
    EXPECT_EQ(size_word(p), 4u);
    EXPECT_EQ(call("malloc", 12), heap() + mark + 4); // needs exactly the 16 bytes left
    EXPECT_EQ(used(), kArena);
    EXPECT_EQ(error(), kEnomem) << "errno is never cleared";
}

TEST_F(StdlibTest, ReallocAlwaysMovesCopyingTheSmallerSizeAndFreeGivesNothingBack)
{
    const uint32_t p = call("malloc", 8);
    const std::vector<uint8_t> text{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    guest().machine().memory().poke(p, text);
    for (auto [size, kept] : {std::pair{3u, 3u}, {8u, 8u}, {20u, 8u}, {0u, 1u}}) {
        const uint32_t mark = used(), q = call("realloc", p, size), n = std::max(size, 1u);
        EXPECT_EQ(q, heap() + mark + 4) << size;
        EXPECT_EQ(size_word(q), n) << size;
        std::vector<uint8_t> want(text.begin(), text.begin() + kept);
        want.resize(n, 0);
        EXPECT_EQ(guest().read(q, n), want) << size;
    }
    const uint32_t mark = used();
    guest()("free", 0);
    guest()("free", p);
    guest()("free", p);
    EXPECT_EQ(call("malloc", 16), heap() + mark + 4);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(StdlibTest, SeedsZeroAndOneGiveTheKnownSequenceAndEachDrawIsOneStep)
{
    for (uint32_t seed : {1u, 0u}) {
        guest().reset();
        guest().machine().set_tsc(99);
        guest()("srand", seed);
        EXPECT_EQ(state(), 1u);
        for (int32_t want : {16838, 5758, 10113})
            EXPECT_EQ(call("rand"), uint32_t(want)) << seed;
        EXPECT_EQ(guest().machine().tsc(), 99u) << "rdtsc was not executed";
    }
    guest()("srand", 0xDEADBEEFu); // a later srand seeds again
    for (uint32_t i = 0, s = 0xDEADBEEFu; i < 50; ++i) {
        s = s * 1103515245u + 12345u;
        ASSERT_EQ(call("rand"), (s >> 16) & 0x7FFF) << "draw " << i;
        ASSERT_EQ(state(), s) << "draw " << i;
    }
}

uint32_t lowbias32(uint32_t x)
{
    x = (x ^ x >> 16) * 0x7FEB352Du;
    x = (x ^ x >> 15) * 0x846CA68Bu;
    return x ^ x >> 16;
}

TEST_F(StdlibTest, TheFirstRandWithoutSrandSeedsFromTheTimeStampCounter)
{
    const uint64_t tsc = 0x0000123487654321ull;
    guest().machine().set_tsc(tsc);
    const uint32_t first = call("rand"),
                   mix = guest().symbol("g_heap_used") ^ uint32_t(tsc >> 32) * 1664525u ^ uint32_t(tsc) ^ 0x9E3779B9u;
    // The address of a slot in rand's frame goes into the seed: exactly one must explain the state.
    const uint32_t esp = guest().machine().reg(UC_X86_REG_ESP);
    std::vector<uint32_t> slots;
    for (uint32_t a = esp - 512; a < esp + 64; ++a)
        if (lowbias32(mix ^ a) * 1103515245u + 12345u == state())
            slots.push_back(a);
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(first, (state() >> 16) & 0x7FFF);
    EXPECT_EQ(guest().global_u32("g_rand_seeded"), 1u);
    guest().reset(); // the same slot with a seed that hashes to 0: replaced by 1
    guest().machine().set_tsc(0x9E3779B9u ^ slots[0] ^ guest().symbol("g_heap_used"));
    EXPECT_EQ(call("rand"), 16838u);
    EXPECT_EQ(state(), 1103527590u);
    EXPECT_EQ(call("rand"), 5758u) << "later draws take the plain step";
}

TEST_F(StdlibTest, ExitAndAbortEndAtOnceAndAtexitRecordsNothing)
{
    for (auto [fn, arg, status] : {std::tuple{"exit", 3, 3}, {"exit", -7, -7}, {"abort", 0, 1}}) {
        guest().reset();
        EXPECT_EQ(call("atexit", guest().symbol("test_spin")), 0u); // it would spin if it ran
        guest().machine().set_instruction_limit(100000);
        CallResult r = guest()(fn, arg);
        EXPECT_TRUE(r.exited()) << fn << " " << arg;
        EXPECT_EQ(r.exit_status(), status) << fn << " " << arg;
        EXPECT_EQ(guest().calls().size(), 1u) << fn << " " << arg; // _exit, nothing before it
    }
}

TEST_F(StdlibTest, ErrorMessagesEnvironmentAndAbsoluteValues)
{
    for (auto [number, text] :
        {std::pair{0, "ok"}, {2, "no such file"}, {22, "invalid argument"}, {38, "not implemented"}, {12, "error"},
            {1, "error"}, {23, "error"}, {37, "error"}, {39, "error"}, {-2, "error"}, {INT_MIN, "error"}})
        EXPECT_EQ(guest().read_cstring(call("strerror", number)), text) << number;
    EXPECT_EQ(error(), 0u) << "strerror leaves errno alone";
    for (uint32_t name : {guest().put_string("PATH"), guest().put_string(""), 0u})
        EXPECT_EQ(call("getenv", name), 0u) << name;
    for (const char* fn : {"abs", "labs"})
        for (auto [in, out] :
            {std::pair{0, 0}, {5, 5}, {-5, 5}, {INT_MAX, INT_MAX}, {-INT_MAX, INT_MAX}, {INT_MIN, INT_MIN}})
            EXPECT_EQ(int32_t(call(fn, in)), out) << fn << " " << in;
}

} // namespace
} // namespace vekos::test
