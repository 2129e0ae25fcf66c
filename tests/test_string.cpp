// The string and memory routines on the real i386 code: answers, the bytes
// written with canaries on both sides, end positions, and the low-address guard.
#include "harness.h"

#include "cpu/layout.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace vekos::test {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNull = 0, kLow = 100, kLastLow = 4095; // pointers under the guard
constexpr uint8_t kCanary = 0xEE;
constexpr uint32_t kMargin = 8; // canary bytes on each side of a placed operand
constexpr int kNone = -1;       // "null" where a row holds an offset

// `inside`, canaries after it up to `size` bytes, and kMargin canaries on each side.
template <typename Text>
Bytes framed(const Text& inside, uint32_t size)
{
    Bytes all(size + 2 * kMargin, kCanary);
    std::copy_n(inside.begin(), std::min<size_t>(inside.size(), size), all.begin() + kMargin);
    return all;
}

// An argument: text placed in guest memory, or a number (an address, a count, a character).
struct Operand {
    Operand(std::string t) : text(std::move(t)) { }
    Operand(const char* t) : text(t) { }
    Operand(uint32_t number) : raw(number) { }
    std::optional<std::string> text;
    uint32_t raw = 0;
};

// An operand in guest memory: the address passed, and the bytes around it as placed.
struct Placed {
    uint32_t addr, frame = 0;
    Bytes bytes;
};

class StringTest : public GuestTest {
protected:
    uint32_t value(std::string_view fn, std::vector<uint32_t> args)
    {
        CallResult r = guest().call(fn, args);
        EXPECT_TRUE(r.returned()) << fn << (r.stop.fault ? ": " + r.stop.fault->message() : "");
        return r.eax;
    }
    // Text and its terminator `shift` bytes past an 8-byte boundary, in a canary frame at least
    // 16 bytes wide; or, at_end, ending on the last mapped byte.
    Placed place(const Operand& o, uint32_t shift = 0, bool at_end = false)
    {
        if (!o.text)
            return {o.raw, 0, {}};
        const std::string text = *o.text + '\0';
        Bytes bytes = at_end ? Bytes(text.begin(), text.end()) : framed(text, std::max<uint32_t>(text.size(), 16));
        const uint32_t frame = at_end ? kScratchBase + kScratchSize - uint32_t(text.size())
                                      : guest().alloc(uint32_t(bytes.size()) + shift) + shift;
        guest().machine().memory().poke(frame, bytes);
        return {at_end ? frame : frame + kMargin, frame, bytes};
    }
};

TEST_F(StringTest, EachStringRoutineAnswersAndChangesExactlyItsBytesAtEveryAlignment)
{
    struct Row {
        const char* fn;
        Operand a, b;
        uint32_t n;                              // passed third; the routines of two arguments ignore it
        int32_t answer;                          // a pointer as its offset in a (kNone: null), else the number
        std::optional<std::string> a_after = {}; // a's bytes afterwards; without it no operand changes
    } rows[] = {{"strlen", "", 0u, 0, 0}, {"strlen", "abc", 0u, 0, 3}, {"strlen", "\x80\x81\xFF\x01", 0u, 0, 4},
        {"strlen", "\x01\x01\x80", 0u, 0, 3}, {"strlen", "abcdefghijk", 0u, 0, 11},
        {"strlen", std::string(300, 'x'), 0u, 0, 300}, {"strlen", kNull, 0u, 0, 0}, {"strlen", 1u, 0u, 0, 0},
        {"strlen", kLastLow, 0u, 0, 0}, {"strnlen", "", 5u, 0, 0}, {"strnlen", "a", 0u, 0, 0},
        {"strnlen", "abc", 2u, 0, 2}, {"strnlen", "abc", 3u, 0, 3}, {"strnlen", "abc", 4u, 0, 3},
        {"strnlen", "abcd", 0xFFFFFFFF, 0, 4}, {"strnlen", "\x80\x81\xFF\x01", 9u, 0, 4},
        {"strnlen", "abcdefghijk", 7u, 0, 7}, {"strnlen", std::string(300, 'x'), 299u, 0, 299},
        {"strnlen", kLow, 9u, 0, 0}, {"strnlen", kLastLow, 9u, 0, 0}, {"strcmp", "abc", "abc", 0, 0},
        {"strcmp", "a", "ab", 0, -98}, {"strcmp", "ab", "a", 0, 98}, {"strcmp", "abc", "abd", 0, -1},
        {"strcmp", "\xFF", "a", 0, 158}, {"strcmp", "", "\x80", 0, -128}, {"strcmp", kLow, "x", 0, -1},
        {"strcmp", "x", kLow, 0, 1}, {"strcmp", "", kNull, 0, 1}, {"strcmp", kNull, kLow, 0, -1},
        {"strcmp", kLow, kNull, 0, -1}, {"strcmp", kLow, kLow, 0, 0}, {"strcmp", kNull, kNull, 0, 0},
        {"strncmp", "abc", "abd", 2, 0}, {"strncmp", "abc", "abd", 3, -1}, {"strncmp", "abc", "abcd", 4, -100},
        {"strncmp", "a", "a", 50, 0}, {"strncmp", "\xFF", "\x01", 1, 254}, {"strncmp", kLow, "x", 0, 0},
        {"strncmp", kLow, "x", 1, -1}, {"strncmp", "x", kNull, 1, 1}, {"strncmp", kLastLow, kLastLow, 4, 0},
        {"strcasecmp", "ABC", "abd", 0, -1}, {"strcasecmp", "a[", "A{", 0, -32}, {"strcasecmp", "HeLLo", "hEllO", 0, 0},
        {"strcasecmp", "Z", "a", 0, 25}, {"strcasecmp", "@", "`", 0, -32}, {"strcasecmp", "\xC4", "\xE4", 0, -32},
        {"strcasecmp", "abc", "AB", 0, 99}, {"strcasecmp", "AB", "abC", 0, -99}, {"strcasecmp", kNull, kNull, 0, 0},
        {"strcasecmp", kNull, "x", 0, -1}, {"strcasecmp", "x", kNull, 0, 1}, {"strncasecmp", "ABCx", "abcy", 3, 0},
        {"strncasecmp", "ABCx", "abcy", 4, -1}, {"strncasecmp", "a", "A", 10, 0}, {"strncasecmp", "ab", "A", 2, 98},
        {"strncasecmp", "A", "aB", 2, -98}, {"strncasecmp", "x", kNull, 5, 1}, {"strncasecmp", kNull, "x", 5, -1},
        {"strncasecmp", kNull, "x", 0, 0}, {"strncasecmp", kLow, kLow, 4, 0}, {"memcmp", "ab\0d"s, "ab\0e"s, 3, 0},
        {"memcmp", "ab\0d"s, "ab\0e"s, 4, -1}, {"memcmp", "\xFF", "\x01", 1, 254}, {"memcmp", kNull, kNull, 0, 0},
        {"strcpy", "", "hello", 0, 0, "hello\0"s}, {"strcpy", "zzz", "", 0, 0, "\0zz\0"s},
        {"strcpy", "zzz", kNull, 0, 0, "\0zz\0"s}, {"strncpy", "", "ab", 5, 0, "ab\0\0\0"s},
        {"strncpy", "", "abcdef", 3, 0, "abc"}, {"strncpy", "", "abc", 4, 0, "abc\0"s}, {"strncpy", "zz", "abc", 0, 0},
        {"strncpy", "zz", kNull, 4, 0, "\0\0\0\0"s}, {"strncpy", "zz", "abc", 1, 0, "az\0"s},
        {"strcat", "xy", "abc", 0, 0, "xyabc\0"s}, {"strcat", "xy", "", 0, 0}, {"strcat", "xy", kNull, 0, 0},
        {"strcat", "", "a", 0, 0, "a\0"s}, {"strncat", "ab", "xyz", 1, 0, "abx\0"s},
        {"strncat", "ab", "xyz", 2, 0, "abxy\0"s}, {"strncat", "ab", "xyz", 9, 0, "abxyz\0"s},
        {"strncat", "ab", "xyz", 0, 0}, {"strncat", "ab", kNull, 5, 0}, {"strcpy", kNull, "abc", 0, kNone},
        {"strncpy", kNull, "abc", 3, kNone}, {"strcat", kNull, "abc", 0, kNone}, {"strncat", kNull, "abc", 3, kNone},
        {"strcat", kLow, "abc", 0, kNone}, {"strncat", kLastLow, "abc", 3, kNone}, {"strchr", "abca", 'c', 0, 2},
        {"strchr", "abca", 'z', 0, kNone}, {"strchr", "abca", 0u, 0, 4}, {"strchr", "ab\xFF", 0xFFFFFFFF, 0, 2},
        {"strchr", "xab", 0x161, 0, 1}, {"strchr", kNull, 'a', 0, kNone}, {"strrchr", "abca", 'a', 0, 3},
        {"strrchr", "abca", 'z', 0, kNone}, {"strrchr", "abca", 0u, 0, 4}, {"strrchr", "a\x80\x80", 0x80, 0, 2},
        {"strrchr", "aXa", 0x158, 0, 1}, {"strrchr", kNull, 0u, 0, kNone}, {"strstr", "hello", "ll", 0, 2},
        {"strstr", "hello", "", 0, 0}, {"strstr", "", "a", 0, kNone}, {"strstr", "aaab", "aab", 0, 1},
        {"strstr", "abc", "abcd", 0, kNone}, {"strstr", "abc", "c", 0, 2}, {"strstr", "abd", "abc", 0, kNone},
        {"strstr", kNull, "x", 0, kNone}, {"strstr", "x", kNull, 0, kNone}};
    const std::string answers_pointer = " strcpy strncpy strcat strncat strchr strrchr strstr ";
    for (const Row& row : rows)
        for (uint32_t shift = 0; shift < 5; ++shift) { // four alignments, then a source ending on the last mapped byte
            const bool b_at_end = shift == 4 && row.b.text, a_at_end = shift == 4 && !b_at_end && !row.a_after;
            SCOPED_TRACE(
                std::string(row.fn) + " row " + std::to_string(&row - rows) + " shift " + std::to_string(shift));
            const Placed a = place(row.a, shift % 4, a_at_end), b = place(row.b, shift % 4, b_at_end);
            const uint32_t got = value(row.fn, {a.addr, b.addr, row.n});
            const bool pointer = answers_pointer.find(" "s + row.fn + " ") != std::string::npos;
            EXPECT_EQ(got, !pointer ? uint32_t(row.answer) : row.answer == kNone ? 0 : a.addr + row.answer);
            const Bytes a_want = row.a_after ? framed(*row.a_after, uint32_t(a.bytes.size()) - 2 * kMargin) : a.bytes;
            EXPECT_EQ(guest().read(a.frame, uint32_t(a.bytes.size())), a_want);
            EXPECT_EQ(guest().read(b.frame, uint32_t(b.bytes.size())), b.bytes);
        }
    for (uint32_t len = 0; len < 12; ++len) { // unterminated, ending on the last mapped byte: only the limit stops
        const uint32_t s = kScratchBase + kScratchSize - len;
        guest().machine().memory().poke(s, Bytes(len, 'r'));
        EXPECT_EQ(value("strnlen", {s, len}), len);
    }
    EXPECT_EQ(guest()("strlen", 4096).stop.why, Stop::Why::Faulted); // the first unguarded address is read
    // strcasecmp refuses only null: a pointer of 100 is read, and faults.
    EXPECT_EQ(guest()("strcasecmp", kLow, place("x").addr).stop.why, Stop::Why::Faulted);
}

TEST_F(StringTest, MemoryRoutinesWriteExactlyTheirRangeAtEveryAlignmentAndOverlap)
{
    // One area in a canary frame: the source at four alignments, the destination at every
    // distance up to 9 bytes either way (overlapping) and 704 bytes off; the host says what
    // the area must hold afterwards.
    constexpr uint32_t kSpan = 2560, kAt = 1000;
    const uint32_t area = guest().alloc(kSpan + 2 * kMargin, kCanary) + kMargin;
    Bytes whole(kSpan);
    for (uint32_t i = 0; i < kSpan; ++i)
        whole[i] = uint8_t(i * 7 + i / 251);
    // At kAt, units the 8-byte copies move whole: extreme integers, and NaNs as doubles.
    const uint64_t units[] = {0, ~0ull, 1ull << 63, ~0ull >> 1, 0x8000000000000001ull, 0x7FF8000000000000ull,
        0xFFF0000000000000ull, 0x123456789ABCDEF0ull};
    std::memcpy(&whole[kAt], units, sizeof units);
    const uint32_t top = guest().machine().reg(UC_X86_REG_FPSW) & 0x3800;
    for (int gap = -704; gap <= 704; gap = gap == -704 ? -9 : gap == 9 ? 704 : gap + 1) // -704, -9..9, 704
        for (uint32_t n = 0; n <= 640; n = n < 70 ? n + 1 : n * 3)                      // 0..70, 210, 630
            for (uint32_t from = kAt; from < kAt + 4; ++from) {
                const uint32_t to = uint32_t(int(from) + gap);
                Bytes moved = whole, copied = whole, set = whole;
                std::memmove(&moved[to], &whole[from], n);
                for (uint32_t i = 0; i < n; ++i) { // memcpy copies forward, byte after byte
                    copied[to + i] = copied[from + i];
                    set[to + i] = 0xA5;
                }
                for (auto [fn, src, want] : {std::tuple{"memmove", area + from, &moved},
                         {"memcpy", area + from, &copied}, {"memset", 0x1A5u, &set}}) {
                    guest().machine().memory().poke(area, whole);
                    ASSERT_EQ(value(fn, {area + to, src, n}), area + to);
                    ASSERT_EQ(guest().read(area - kMargin, kSpan + 2 * kMargin), framed(*want, kSpan))
                        << fn << " n " << n << " " << from << "->" << to;
                }
            }
    EXPECT_EQ(guest().machine().reg(UC_X86_REG_FPSW) & 0x3800, top) << "the x87 stack is left as found";
    const uint32_t code = guest().symbol("strlen"); // read-only: a move onto itself must not store
    EXPECT_EQ(value("memmove", {code, code, 64}), code);
}

TEST_F(StringTest, DuplicatesAreFreshHeapStrings)
{
    struct Row {
        const char* fn;
        Operand s;
        uint32_t n;
        std::optional<std::string> expected; // nullopt: answers null
    } rows[] = {{"strdup", "hello", 0, "hello"}, {"strdup", "abcd", 0, "abcd"}, {"strdup", "", 0, ""}, {"strdup", kLow, 0, ""},
        {"strdup", kNull, 0, std::nullopt}, {"strndup", "abcdef", 3, "abc"}, {"strndup", "abcdef", 0, ""},
        {"strndup", "abc", 99, "abc"}, {"strndup", kLastLow, 5, ""}, {"strndup", kNull, 3, std::nullopt}};
    for (const Row& row : rows) {
        const uint32_t s = place(row.s).addr, mark = guest().symbol("g_heap") + guest().global_u32("g_heap_used");
        guest().machine().memory().poke(mark, Bytes(16, 0xAA)); // no terminator from fresh memory
        const uint32_t copy = value(row.fn, {s, row.n});
        EXPECT_EQ(copy, row.expected ? mark + 4 : 0) << row.fn << " row " << (&row - rows); // taken from the arena
        EXPECT_EQ(row.expected ? guest().read_cstring(copy) : "", row.expected.value_or(""))
            << row.fn << " row " << (&row - rows);
        EXPECT_GE(guest().symbol("g_heap") + guest().global_u32("g_heap_used"), copy + row.expected.value_or("").size() + 1)
            << row.fn << " row " << (&row - rows) << ": the terminator lies in the block";
    }
    for (uint32_t size = 1u << 20; size != 0;) // a full heap: null
        size = value("malloc", {size}) ? size : size / 2;
    for (auto [fn, p] : {std::pair<const char*, Operand>{"strdup", "hello"}, {"strdup", kLow}, {"strndup", "hello"}})
        EXPECT_EQ(value(fn, {place(p).addr, 2}), 0u) << fn;
}

TEST_F(StringTest, TokensComeOneCallAtATime)
{
    struct Call {
        Operand delims;
        int expected;         // offset of the token, or kNone
        bool restart = false; // pass the string again instead of null; the first call always does
    };
    struct Row {
        std::string text;
        std::vector<Call> calls;
        std::string after; // the string's bytes after the last call
    } rows[] = {{"  a,,b  ", {{" ,", 2}, {" ,", 5}, {" ,", kNone}, {" ,", kNone}}, "  a\0,b\0 \0"s},
        {"abc", {{kNull, 0}, {",", kNone}}, "abc\0"s}, {"a,b", {{"", 0}, {",", kNone}}, "a,b\0"s},
        {"", {{",", kNone}, {kNull, kNone}}, "\0"s}, {",,,", {{",", kNone}, {",", kNone}}, ",,,\0"s},
        {"a,b", {{",", 0}, {kNull, 2}, {",", kNone}}, "a\0b\0"s},
        {"a,b;c", {{",", 0}, {";", 2}, {";", 4}, {";", kNone}}, "a\0b\0c\0"s},
        {"a,", {{",", 0}, {",", kNone}}, "a\0\0"s}, {"a b c", {{" ", 0}, {" ", 0, true}, {" ", kNone}}, "a\0b c\0"s}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        guest().reset();
        EXPECT_EQ(value("strtok", {kNull, place(",").addr}), 0u) << "no scan in progress";
        const uint32_t s = guest().put_string(row.text);
        for (const Call& call : row.calls) {
            const bool restart = call.restart || &call == row.calls.data();
            EXPECT_EQ(value("strtok", {restart ? s : kNull, place(call.delims).addr}),
                call.expected == kNone ? 0 : s + call.expected)
                << "call " << (&call - row.calls.data());
        }
        EXPECT_EQ(guest().read(s, uint32_t(row.after.size())), Bytes(row.after.begin(), row.after.end()));
    }
}

} // namespace
} // namespace vekos::test
