// The heap, the random generator, process end and the small stdlib services.
#include "harness.h"

#include <unicorn/unicorn.h>

#include <climits>
#include <cstring>
#include <optional>

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
    uint32_t malloc(uint32_t n) { return guest()("malloc", n).eax; }
    // Leaves exactly `left` bytes of arena free.
    void fill_arena_leaving(uint32_t left)
    {
        uint32_t block = kArena - used() - left;
        ASSERT_EQ(block % 8, 0u);
        ASSERT_NE(malloc(block - 4), 0u);
        ASSERT_EQ(used(), kArena - left);
    }
};

TEST_F(HeapTest, FirstPayloadLiesFourBytesIntoTheArena)
{
    EXPECT_EQ(heap() % 8, 0u);
    uint32_t p = malloc(1);
    EXPECT_EQ(p, heap() + 4);
    EXPECT_EQ(size_word(p), 1u);
    EXPECT_EQ(used(), 8u);
    EXPECT_EQ(error(), 0);
}

TEST_F(HeapTest, BlockLengthIsTheSizeWordAndPayloadRoundedToEight)
{
    struct {
        uint32_t request, recorded, block;
    } rows[] = {{0, 1, 8}, {1, 1, 8}, {4, 4, 8}, {5, 5, 16}, {12, 12, 16}, {13, 13, 24}, {20, 20, 24},
                {21, 21, 32}, {1000, 1000, 1008}};
    for (const auto& row : rows) {
        guest().reset();
        uint32_t before = used();
        uint32_t p = malloc(row.request);
        EXPECT_EQ(p, heap() + before + 4) << row.request;
        EXPECT_EQ(p % 8, 4u) << row.request;
        EXPECT_EQ(size_word(p), row.recorded) << row.request;
        EXPECT_EQ(used() - before, row.block) << row.request;
        EXPECT_EQ(malloc(1), p + row.block) << "next block follows at once";
    }
}

TEST_F(HeapTest, BlocksFollowEndToEnd)
{
    uint32_t a = malloc(4), b = malloc(5), c = malloc(1);
    EXPECT_EQ(b, a + 8);
    EXPECT_EQ(c, b + 16);
    uint32_t d = malloc(1);
    EXPECT_EQ(d, c + 8);
}

TEST_F(HeapTest, ExactFitAtTheArenaEndIsGranted)
{
    uint32_t p = malloc(kArena - 4);
    EXPECT_EQ(p, heap() + 4);
    EXPECT_EQ(used(), kArena);
    EXPECT_EQ(error(), 0);
    EXPECT_EQ(malloc(0), 0u);
    EXPECT_EQ(error(), kEnomem);
    EXPECT_EQ(used(), kArena);
}

TEST_F(HeapTest, FailureLeavesTheMarkAndSmallerRequestsStillFit)
{
    malloc(100);
    fill_arena_leaving(16);
    uint32_t mark = used();
    EXPECT_EQ(malloc(13), 0u);  // needs 24
    EXPECT_EQ(error(), kEnomem);
    EXPECT_EQ(used(), mark);
    uint32_t p = malloc(12);  // needs exactly 16
    EXPECT_EQ(p, heap() + mark + 4);
    EXPECT_EQ(used(), kArena);
    EXPECT_EQ(error(), kEnomem) << "errno is never cleared";
}

TEST_F(HeapTest, RequestsNearFourGigabytesFailWithoutWrapping)
{
    malloc(8);
    uint32_t mark = used();
    for (uint32_t n : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFF8u, 0xFFFFFFF4u, 0x80000000u, kArena - 4}) {
        EXPECT_EQ(malloc(n), 0u) << n;
        EXPECT_EQ(guest()("realloc", 0, n).eax, 0u) << n;
        EXPECT_EQ(used(), mark) << n;
    }
    EXPECT_EQ(error(), kEnomem);
}

TEST_F(HeapTest, CallocChecksTheFullProductAndZeroesThePayload)
{
    EXPECT_EQ(guest()("calloc", 65536, 65536).eax, 0u);
    EXPECT_EQ(error(), kEnomem);
    EXPECT_EQ(guest()("calloc", 0x80000001u, 2).eax, 0u);
    EXPECT_EQ(guest()("calloc", 0x100000u, 1).eax, 0u) << "product larger than the arena";
    EXPECT_EQ(used(), 0u);

    // Dirty the arena past the mark: calloc must still hand out zeros.
    std::vector<uint8_t> junk(64, 0xAA);
    guest().machine().memory().poke(heap(), junk);
    uint32_t p = guest()("calloc", 3, 5).eax;
    EXPECT_EQ(p, heap() + 4);
    EXPECT_EQ(size_word(p), 15u);
    EXPECT_EQ(guest().read(p, 15), std::vector<uint8_t>(15, 0));
    EXPECT_EQ(used(), 24u);
}

TEST_F(HeapTest, CallocOfNothingIsAMinimalBlock)
{
    for (auto [count, size] : {std::pair{0u, 5u}, {5u, 0u}, {0u, 0u}, {0u, 0xFFFFFFFFu}}) {
        guest().reset();
        uint32_t p = guest()("calloc", count, size).eax;
        EXPECT_EQ(p, heap() + 4);
        EXPECT_EQ(size_word(p), 1u);
        EXPECT_EQ(used(), 8u);
    }
}

TEST_F(HeapTest, ReallocAlwaysMovesAndCopiesTheSmallerSize)
{
    uint32_t p = malloc(8);
    guest().machine().memory().poke(p, std::vector<uint8_t>{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});

    uint32_t smaller = guest()("realloc", p, 3).eax;
    EXPECT_EQ(smaller, p + 16);
    EXPECT_EQ(size_word(smaller), 3u);
    EXPECT_EQ(guest().read(smaller, 4), (std::vector<uint8_t>{'A', 'B', 'C', 0}));

    uint32_t same = guest()("realloc", p, 8).eax;
    EXPECT_NE(same, p);
    EXPECT_EQ(guest().read(same, 8), guest().read(p, 8));

    uint32_t larger = guest()("realloc", p, 20).eax;
    std::vector<uint8_t> want = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    want.resize(20, 0);
    EXPECT_EQ(guest().read(larger, 20), want) << "8 bytes carried over, the rest still zero";

    uint32_t none = guest()("realloc", p, 0).eax;
    EXPECT_EQ(size_word(none), 1u);
    EXPECT_EQ(guest().read(none, 1)[0], 'A');
}

TEST_F(HeapTest, ReallocOfNullIsMalloc)
{
    uint32_t p = guest()("realloc", 0, 10).eax;
    EXPECT_EQ(p, heap() + 4);
    EXPECT_EQ(size_word(p), 10u);
    EXPECT_EQ(used(), 16u);
}

TEST_F(HeapTest, FailedReallocLeavesTheOldBlock)
{
    uint32_t p = malloc(4);
    guest().write_u32(p, 0x11223344);
    fill_arena_leaving(8);
    uint32_t mark = used();
    EXPECT_EQ(guest()("realloc", p, 5).eax, 0u);
    EXPECT_EQ(error(), kEnomem);
    EXPECT_EQ(used(), mark);
    EXPECT_EQ(guest().read_u32(p), 0x11223344u);
    EXPECT_EQ(size_word(p), 4u);
}

TEST_F(HeapTest, FreeGivesNothingBack)
{
    uint32_t p = malloc(16);
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
};

TEST_F(RandomTest, SeedOneAndSeedZeroGiveTheSameKnownSequence)
{
    for (uint32_t seed : {1u, 0u}) {
        guest().reset();
        guest()("srand", seed);
        EXPECT_EQ(seeded(), 1u);
        EXPECT_EQ(state(), 1u);
        EXPECT_EQ(guest()("rand").value(), 16838);
        EXPECT_EQ(guest()("rand").value(), 5758);
        EXPECT_EQ(guest()("rand").value(), 10113);
    }
}

TEST_F(RandomTest, EachDrawIsOneStepAndFifteenBits)
{
    guest()("srand", 0xDEADBEEFu);
    uint32_t s = 0xDEADBEEFu;
    for (int i = 0; i < 50; ++i) {
        s = s * 1103515245u + 12345u;
        int32_t r = guest()("rand").value();
        ASSERT_EQ(r, int32_t((s >> 16) & 0x7FFF));
        ASSERT_EQ(state(), s);
    }
    EXPECT_EQ(guest()("srand", 7).eax, guest()("srand", 7).eax);
    EXPECT_EQ(state(), 7u) << "a later srand seeds again";
}

uint32_t lowbias32(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

uint32_t seed_from(uint64_t tsc, uint32_t stack_address, uint32_t heap_used_address)
{
    uint32_t high = uint32_t(tsc >> 32), low = uint32_t(tsc);
    uint32_t x = lowbias32(stack_address ^ heap_used_address ^ (high * 1664525u) ^ low ^ 0x9E3779B9u);
    return x ? x : 1;
}

TEST_F(RandomTest, SelfSeedFollowsTheTimeStampCounterFormula)
{
    const uint64_t tsc = 0x0000123487654321ull;
    guest().machine().set_tsc(tsc);
    int32_t first = guest()("rand").value();
    EXPECT_EQ(seeded(), 1u);
    uint32_t heap_used_address = guest().symbol("g_heap_used");
    // The stack address of rand's local is not known from outside: exactly one
    // slot in rand's frame must explain both the result and the new state.
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

    // The same stack slot, a seed that hashes to 0: replaced by 1.
    guest().reset();
    uint32_t low = 0x9E3779B9u ^ *anchor ^ heap_used_address;
    guest().machine().set_tsc(low);
    EXPECT_EQ(guest()("rand").value(), 16838);
    EXPECT_EQ(state(), 1103527590u);
    EXPECT_EQ(guest()("rand").value(), 5758) << "later draws take the plain step";
}

TEST_F(RandomTest, SrandBeforeRandSkipsTheCounter)
{
    guest().machine().set_tsc(99);
    guest()("srand", 5);
    guest()("rand");
    EXPECT_EQ(guest().machine().tsc(), 99u) << "rdtsc was not executed";
}

class ProcessTest : public GuestTest {};

TEST_F(ProcessTest, ExitAndAbortEndAtOnce)
{
    CallResult r = guest()("exit", 3);
    ASSERT_TRUE(r.exited());
    EXPECT_EQ(r.exit_status(), 3);
    ASSERT_EQ(guest().calls().size(), 1u);
    EXPECT_EQ(guest().calls()[0].in.eax, 2u);

    guest().reset();
    r = guest()("exit", uint32_t(-7));
    EXPECT_EQ(r.exit_status(), -7);

    guest().reset();
    r = guest()("abort");
    ASSERT_TRUE(r.exited());
    EXPECT_EQ(r.exit_status(), 1);
    ASSERT_EQ(guest().calls().size(), 1u);
}

TEST_F(ProcessTest, AtexitRecordsNothing)
{
    uint32_t handler = guest().symbol("test_spin");  // would hang if it ever ran
    EXPECT_EQ(guest()("atexit", handler).value(), 0);
    guest().machine().set_instruction_limit(100000);
    CallResult r = guest()("exit", 0);
    EXPECT_TRUE(r.exited());
}

TEST_F(ProcessTest, NoEnvironment)
{
    for (const char* name : {"PATH", "HOME", ""})
        EXPECT_EQ(guest()("getenv", guest().put_string(name)).eax, 0u) << name;
    EXPECT_EQ(guest()("getenv", 0).eax, 0u);
}

TEST_F(ProcessTest, AbsoluteValuesWrapAtTheMostNegative)
{
    for (const char* fn : {"abs", "labs"}) {
        struct {
            int32_t in, out;
        } rows[] = {{0, 0}, {5, 5}, {-5, 5}, {INT_MAX, INT_MAX}, {-INT_MAX, INT_MAX}, {INT_MIN, INT_MIN}};
        for (const auto& row : rows)
            EXPECT_EQ(guest()(fn, row.in).value(), row.out) << fn << " " << row.in;
    }
}

class ErrorTest : public GuestTest {};

TEST_F(ErrorTest, MessagesByNumber)
{
    struct {
        int32_t number;
        const char* text;
    } rows[] = {{0, "ok"},    {2, "no such file"}, {22, "invalid argument"}, {38, "not implemented"},
                {12, "error"}, {1, "error"},        {23, "error"},            {37, "error"},
                {39, "error"}, {-2, "error"},       {INT_MIN, "error"}};
    for (const auto& row : rows)
        EXPECT_EQ(guest().read_cstring(guest()("strerror", row.number).eax), row.text) << row.number;
    EXPECT_EQ(guest().global_u32("errno"), 0u);
}

TEST_F(ErrorTest, ErrnoKeepsTheHeapsNumberThroughLaterSuccess)
{
    EXPECT_EQ(guest()("malloc", 0xFFFFFFFFu).eax, 0u);
    EXPECT_EQ(guest().global_u32("errno"), 12u);
    EXPECT_NE(guest()("malloc", 4).eax, 0u);
    guest()("strerror", 2);
    EXPECT_EQ(guest().global_u32("errno"), 12u);
}

} // namespace
} // namespace vekos::test
