// The heap, the random generator, process end and the small stdlib services.
#include "harness.h"

#include <unicorn/unicorn.h>

#include <climits>
#include <optional>
#include <tuple>

namespace vekos::test {
namespace {

constexpr uint32_t kArena = 0x100000;
constexpr int32_t kEnomem = 12;

class HeapTest : public GuestTest {
protected:
    uint32_t heap() { return guest().symbol("g_heap"); }
    uint32_t used() { return guest().global_u32("g_heap_used"); }
    int32_t error() { return int32_t(guest().global_u32("errno")); }
    uint32_t size_word(uint32_t payload) { return guest().read_u32(payload - 4); }
    template <typename... Args>
    uint32_t call(const char* fn, Args... args)
    {
        return guest()(fn, args...).eax;
    }
    uint32_t malloc(uint32_t n) { return call("malloc", n); }
};

TEST_F(HeapTest, BlockLengthIsTheSizeWordAndPayloadRoundedToEight)
{
    EXPECT_EQ(heap() % 8, 0u);
    const uint32_t rows[][3] = {{0, 1, 8}, {1, 1, 8}, {4, 4, 8}, {5, 5, 16}, {12, 12, 16}, {13, 13, 24}, {20, 20, 24},
        {21, 21, 32}, {1000, 1000, 1008}};
    for (auto [request, recorded, block] : rows) { // request, size word, block length
        guest().reset();
        uint32_t p = malloc(request);
        EXPECT_EQ(p, heap() + 4) << request;
        EXPECT_EQ(size_word(p), recorded) << request;
        EXPECT_EQ(used(), block) << request;
        EXPECT_EQ(malloc(5), p + block) << "next block follows at once";
        EXPECT_EQ(malloc(1), p + block + 16);
        EXPECT_EQ(error(), 0);
    }
}

TEST_F(HeapTest, ExactFitsAreGrantedFailureLeavesTheMarkAndTheOldBlock)
{
    EXPECT_EQ(malloc(kArena - 4), heap() + 4);
    EXPECT_EQ(used(), kArena);
    EXPECT_EQ(error(), 0);
    EXPECT_EQ(malloc(0), 0u);
    EXPECT_EQ(error(), kEnomem);
    EXPECT_EQ(used(), kArena);
    guest().reset();
    uint32_t p = malloc(4);
    guest().write_u32(p, 0x11223344);
    ASSERT_NE(malloc(kArena - used() - 16 - 4), 0u); // leaves 16 bytes free
    const uint32_t mark = used();
    EXPECT_EQ(malloc(13), 0u); // needs 24
    EXPECT_EQ(error(), kEnomem);
    EXPECT_EQ(call("realloc", p, 13), 0u);
    EXPECT_EQ(used(), mark);
    EXPECT_EQ(guest().read_u32(p), 0x11223344u);
    EXPECT_EQ(size_word(p), 4u);
    EXPECT_EQ(malloc(12), heap() + mark + 4); // needs exactly 16
    EXPECT_EQ(used(), kArena);
    EXPECT_EQ(error(), kEnomem) << "errno is never cleared";
}

TEST_F(HeapTest, RequestsNearFourGigabytesFailWithoutWrapping)
{
    malloc(8);
    uint32_t mark = used();
    for (uint32_t n : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFF8u, 0xFFFFFFF4u, 0x80000000u, kArena - 4}) {
        EXPECT_EQ(malloc(n), 0u) << n;
        EXPECT_EQ(call("realloc", 0, n), 0u) << n;
        EXPECT_EQ(used(), mark) << n;
    }
    EXPECT_EQ(error(), kEnomem);
}

TEST_F(HeapTest, CallocChecksTheFullProductAndZeroesThePayload)
{
    EXPECT_EQ(call("calloc", 65536, 65536), 0u);
    EXPECT_EQ(error(), kEnomem);
    EXPECT_EQ(call("calloc", 0x80000001u, 2), 0u);
    EXPECT_EQ(call("calloc", 0x100000u, 1), 0u) << "product larger than the arena";
    EXPECT_EQ(used(), 0u);
    guest().machine().memory().poke(heap(), std::vector<uint8_t>(64, 0xAA));
    uint32_t p = call("calloc", 3, 5);
    EXPECT_EQ(p, heap() + 4);
    EXPECT_EQ(size_word(p), 15u);
    EXPECT_EQ(guest().read(p, 15), std::vector<uint8_t>(15, 0));
    EXPECT_EQ(used(), 24u);
    for (auto [count, size] : {std::pair{0u, 5u}, {5u, 0u}, {0u, 0u}, {0u, 0xFFFFFFFFu}}) {
        guest().reset();
        p = call("calloc", count, size); // nothing: a minimal block
        EXPECT_EQ(p, heap() + 4);
        EXPECT_EQ(size_word(p), 1u);
        EXPECT_EQ(used(), 8u);
    }
}

TEST_F(HeapTest, ReallocAlwaysMovesAndCopiesTheSmallerSizeAndFreeGivesNothingBack)
{
    uint32_t p = malloc(8);
    const std::vector<uint8_t> text{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    guest().machine().memory().poke(p, text);
    uint32_t smaller = call("realloc", p, 3);
    EXPECT_EQ(smaller, p + 16);
    EXPECT_EQ(size_word(smaller), 3u);
    EXPECT_EQ(guest().read(smaller, 4), (std::vector<uint8_t>{'A', 'B', 'C', 0}));
    uint32_t same = call("realloc", p, 8);
    EXPECT_NE(same, p);
    EXPECT_EQ(guest().read(same, 8), text);
    std::vector<uint8_t> want = text;
    want.resize(20, 0);
    EXPECT_EQ(guest().read(call("realloc", p, 20), 20), want) << "8 bytes carried over, the rest still zero";
    uint32_t none = call("realloc", p, 0);
    EXPECT_EQ(size_word(none), 1u);
    EXPECT_EQ(guest().read(none, 1)[0], 'A');

    guest().reset();
    p = call("realloc", 0, 10); // of null: malloc
    EXPECT_EQ(p, heap() + 4);
    EXPECT_EQ(size_word(p), 10u);
    EXPECT_EQ(used(), 16u);
    guest().reset(); // free gives nothing back
    p = malloc(16);
    guest()("free", 0);
    guest()("free", p);
    guest()("free", p);
    EXPECT_EQ(used(), 24u);
    EXPECT_EQ(malloc(16), p + 24);
    EXPECT_TRUE(guest().calls().empty());
}

class RandomTest : public GuestTest {
protected:
    uint32_t state() { return guest().global_u32("g_rand_state"); }
    uint32_t seeded() { return guest().global_u32("g_rand_seeded"); }
    int32_t rand() { return guest()("rand").value(); }
};

TEST_F(RandomTest, SeedOneAndSeedZeroGiveTheSameKnownSequence)
{
    for (uint32_t seed : {1u, 0u}) {
        guest().reset();
        guest().machine().set_tsc(99);
        guest()("srand", seed);
        EXPECT_EQ(seeded(), 1u);
        EXPECT_EQ(state(), 1u);
        for (int32_t want : {16838, 5758, 10113})
            EXPECT_EQ(rand(), want) << seed;
        EXPECT_EQ(guest().machine().tsc(), 99u) << "rdtsc was not executed";
    }
}

TEST_F(RandomTest, EachDrawIsOneStepAndFifteenBits)
{
    guest()("srand", 0xDEADBEEFu);
    uint32_t s = 0xDEADBEEFu;
    for (int i = 0; i < 50; ++i) {
        s = s * 1103515245u + 12345u;
        ASSERT_EQ(rand(), int32_t((s >> 16) & 0x7FFF));
        ASSERT_EQ(state(), s);
    }
    EXPECT_EQ(guest()("srand", 7).eax, guest()("srand", 7).eax);
    EXPECT_EQ(state(), 7u) << "a later srand seeds again";
}

uint32_t seed_from(uint64_t tsc, uint32_t stack_address, uint32_t heap_used_address)
{
    uint32_t x = stack_address ^ heap_used_address ^ (uint32_t(tsc >> 32) * 1664525u) ^ uint32_t(tsc) ^ 0x9E3779B9u;
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x ? x : 1;
}

TEST_F(RandomTest, SelfSeedFollowsTheTimeStampCounterFormula)
{
    const uint64_t tsc = 0x0000123487654321ull;
    guest().machine().set_tsc(tsc);
    int32_t first = rand();
    EXPECT_EQ(seeded(), 1u);
    uint32_t heap_used_address = guest().symbol("g_heap_used");
    // Exactly one stack slot in rand's frame must explain both result and state.
    uint32_t esp = guest().machine().reg(UC_X86_REG_ESP);
    std::optional<uint32_t> anchor;
    int matches = 0;
    for (uint32_t a = esp - 512; a < esp + 64; ++a) {
        uint32_t s = seed_from(tsc, a, heap_used_address) * 1103515245u + 12345u;
        if (s == state() && int32_t((s >> 16) & 0x7FFF) == first) {
            anchor = a;
            ++matches;
        }
    }
    ASSERT_EQ(matches, 1);
    // The same slot with a seed that hashes to 0: replaced by 1.
    guest().reset();
    guest().machine().set_tsc(0x9E3779B9u ^ *anchor ^ heap_used_address);
    EXPECT_EQ(rand(), 16838);
    EXPECT_EQ(state(), 1103527590u);
    EXPECT_EQ(rand(), 5758) << "later draws take the plain step";
}

class ProcessTest : public GuestTest { };

TEST_F(ProcessTest, ExitAndAbortEndAtOnceAndAtexitRecordsNothing)
{
    for (auto [fn, arg, status] : {std::tuple{"exit", 3, 3}, {"exit", -7, -7}, {"abort", 0, 1}}) {
        guest().reset();
        CallResult r = guest()(fn, arg);
        ASSERT_TRUE(r.exited()) << fn;
        EXPECT_EQ(r.exit_status(), status) << fn;
        ASSERT_EQ(guest().calls().size(), 1u);
        EXPECT_EQ(guest().calls()[0].in.eax, 2u);
    }
    guest().reset();
    EXPECT_EQ(guest()("atexit", guest().symbol("test_spin")).value(), 0); // would hang if it ran
    guest().machine().set_instruction_limit(100000);
    EXPECT_TRUE(guest()("exit", 0).exited());
}

TEST_F(ProcessTest, ErrorMessagesErrnoEnvironmentAndAbsoluteValues)
{
    for (auto [number, text] :
        {std::pair{0, "ok"}, {2, "no such file"}, {22, "invalid argument"}, {38, "not implemented"}, {12, "error"},
            {1, "error"}, {23, "error"}, {37, "error"}, {39, "error"}, {-2, "error"}, {INT_MIN, "error"}})
        EXPECT_EQ(guest().read_cstring(guest()("strerror", number).eax), text) << number;
    EXPECT_EQ(guest().global_u32("errno"), 0u);
    EXPECT_EQ(guest()("malloc", 0xFFFFFFFFu).eax, 0u);
    EXPECT_EQ(guest().global_u32("errno"), 12u);
    EXPECT_NE(guest()("malloc", 4).eax, 0u);
    guest()("strerror", 2);
    EXPECT_EQ(guest().global_u32("errno"), 12u);
    for (const char* name : {"PATH", "HOME", ""})
        EXPECT_EQ(guest()("getenv", guest().put_string(name)).eax, 0u) << name;
    EXPECT_EQ(guest()("getenv", 0).eax, 0u);
    for (const char* fn : {"abs", "labs"})
        for (auto [in, out] :
            {std::pair{0, 0}, {5, 5}, {-5, 5}, {INT_MAX, INT_MAX}, {-INT_MAX, INT_MAX}, {INT_MIN, INT_MIN}})
            EXPECT_EQ(guest()(fn, in).value(), out) << fn << " " << in;
}

} // namespace
} // namespace vekos::test
