// The string and memory routines on the real i386 code: exact answers, end
// positions, the bytes around every destination, and the low-address guard.
#include "harness.h"

#include "cpu/layout.h"

#include <unicorn/unicorn.h>

#include <cstring>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace vekos::test {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNull = 0;
constexpr uint32_t kLow = 100;      // below the guard
constexpr uint32_t kLastLow = 4095; // the highest guarded address
constexpr uint8_t kCanary = 0xEE;
constexpr uint32_t kMargin = 8;                               // canary bytes on each side of a destination
constexpr uint32_t kScratchEnd = kScratchBase + kScratchSize; // the page above is unmapped
constexpr int kNone = -1;                                     // "null" where a table holds an offset

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// An operand: text placed in guest memory, or a raw address.
struct Operand {
    Operand(std::string t) : text(std::move(t)) { }
    Operand(const char* t) : text(t) { }
    Operand(uint32_t address) : raw(address) { }
    std::optional<std::string> text;
    uint32_t raw = 0;
};

class StringTest : public GuestTest {
protected:
    uint32_t place(const Operand& o) { return o.text ? guest().put_string(*o.text) : o.raw; }

    int32_t value(std::string_view fn, std::vector<uint32_t> args)
    {
        CallResult r = guest().call(fn, args);
        EXPECT_TRUE(r.returned()) << fn << (r.stop.fault ? ": " + r.stop.fault->message() : "");
        return r.value();
    }

    // `size` bytes starting with `initial`, canary after it and in kMargin bytes on each side.
    uint32_t destination(uint32_t size, const Bytes& initial = {})
    {
        uint32_t base = guest().alloc(size + 2 * kMargin, kCanary);
        guest().machine().memory().poke(base + kMargin, initial);
        return base + kMargin;
    }
    Bytes around(uint32_t dst, uint32_t size) { return guest().read(dst - kMargin, size + 2 * kMargin); }
    static Bytes framed(const Bytes& inside, uint32_t size)
    {
        Bytes all(size + 2 * kMargin, kCanary);
        for (size_t i = 0; i < inside.size() && i < size; ++i)
            all[kMargin + i] = inside[i];
        return all;
    }

    // Places bytes so that the last one is the last mapped byte of scratch.
    uint32_t at_region_end(const Bytes& bytes)
    {
        guest().machine().memory().poke(kScratchEnd - uint32_t(bytes.size()), bytes);
        return kScratchEnd - uint32_t(bytes.size());
    }
};

TEST_F(StringTest, LengthsAndScansStopAtTheTerminatorOrTheLimit)
{
    struct Row {
        std::string text;
        uint32_t max, strlen, strnlen;
    } rows[] = {{"", 5, 0, 0}, {"a", 0, 1, 0}, {"abc", 2, 3, 2}, {"abc", 3, 3, 3}, {"abc", 4, 3, 3},
        {"abcd", 0xFFFFFFFF, 4, 4}, {"\x80\x81\xFF\x01", 9, 4, 4}, {"\x01\x01\x80", 9, 3, 3}, {"abcdefghijk", 7, 11, 7},
        {std::string(300, 'x'), 299, 300, 299}};
    for (const Row& row : rows)
        for (uint32_t shift = 0; shift < 4; ++shift) {
            uint32_t s = guest().alloc(uint32_t(row.text.size()) + 8) + shift;
            guest().machine().memory().poke(s, bytes_of(row.text + '\0'));
            EXPECT_EQ(uint32_t(value("strlen", {s})), row.strlen) << row.text << " +" << shift;
            EXPECT_EQ(uint32_t(value("strnlen", {s, row.max})), row.strnlen) << row.text << " +" << shift;
        }
    for (uint32_t p : {kNull, 1u, kLow, kLastLow}) { // guarded pointers
        EXPECT_EQ(value("strlen", {p}), 0) << p;
        EXPECT_EQ(value("strnlen", {p, 10}), 0) << p;
    }
    EXPECT_EQ(guest()("strlen", 4096).stop.why, Stop::Why::Faulted);
    for (uint32_t len = 0; len < 12; ++len) { // scans ending on the last mapped byte do not fault
        Bytes text(len, 'q');
        text.push_back(0);
        uint32_t s = at_region_end(text);
        EXPECT_EQ(uint32_t(value("strlen", {s})), len);
        EXPECT_EQ(uint32_t(value("strnlen", {s, 0xFFFFFFFF})), len);
        EXPECT_EQ(uint32_t(value("strchr", {s, 0})), s + len);
        EXPECT_EQ(uint32_t(value("strrchr", {s, 'q'})), len ? s + len - 1 : 0);
        uint32_t copy = destination(len + 1);
        EXPECT_EQ(uint32_t(value("strcpy", {copy, s})), copy);
        EXPECT_EQ(guest().read_cstring(copy), std::string(len, 'q'));
        uint32_t open = at_region_end(Bytes(len, 'r'));
        EXPECT_EQ(uint32_t(value("strnlen", {open, len})), len); // unterminated: only the limit stops
        uint32_t tail = destination(16, Bytes{'a', 'b', 0});
        EXPECT_EQ(uint32_t(value("strncat", {tail, open, len})), tail);
        EXPECT_EQ(guest().read_cstring(tail), "ab" + std::string(len, 'r'));
    }
}

TEST_F(StringTest, ComparisonsAnswerTheDifferenceOfTheDecidingBytes)
{
    struct Row {
        const char* fn;
        Operand a, b;
        uint32_t n; // passed to all, used by those that take it
        int32_t expected;
    } rows[] = {
        {"strcmp", "abc", "abc", 0, 0},
        {"strcmp", "a", "ab", 0, -98},
        {"strcmp", "ab", "a", 0, 98},
        {"strcmp", "abc", "abd", 0, -1},
        {"strcmp", "\xFF", "a", 0, 158},
        {"strcmp", "", "\x80", 0, -128},
        {"strcmp", "", "", 0, 0},
        {"strcmp", kLow, "x", 0, -1},
        {"strcmp", kLastLow, "", 0, -1},
        {"strcmp", "x", kLow, 0, 1},
        {"strcmp", "", kNull, 0, 1},
        {"strcmp", kNull, kLow, 0, -1},
        {"strcmp", kLow, kNull, 0, -1},
        {"strncmp", "abc", "abd", 2, 0},
        {"strncmp", "abc", "abd", 3, -1},
        {"strncmp", "abc", "abcd", 3, 0},
        {"strncmp", "abc", "abcd", 4, -100},
        {"strncmp", "a", "a", 50, 0},
        {"strncmp", "\xFF", "\x01", 1, 254},
        {"strncmp", kLow, "x", 0, 0},
        {"strncmp", kLow, "x", 1, -1},
        {"strncmp", "x", kNull, 1, 1},
        {"strcasecmp", "ABC", "abd", 0, -1},
        {"strcasecmp", "a[", "A{", 0, -32},
        {"strcasecmp", "HeLLo", "hEllO", 0, 0},
        {"strcasecmp", "Z", "a", 0, 25},
        {"strcasecmp", "@", "`", 0, -32},
        {"strcasecmp", "\xC4", "\xE4", 0, -32},
        {"strcasecmp", "abc", "AB", 0, 99},
        {"strcasecmp", "AB", "abC", 0, -99},
        {"strcasecmp", "A", "", 0, 97},
        {"strcasecmp", kNull, kNull, 0, 0},
        {"strcasecmp", kNull, "x", 0, -1},
        {"strcasecmp", kNull, "", 0, -1},
        {"strcasecmp", "x", kNull, 0, 1},
        {"strncasecmp", "ABCx", "abcy", 3, 0},
        {"strncasecmp", "ABCx", "abcy", 4, -1},
        {"strncasecmp", "a", "A", 10, 0},
        {"strncasecmp", "ab", "A", 2, 98},
        {"strncasecmp", "A", "aB", 2, -98},
        {"strncasecmp", "a[", "A{", 2, -32},
        {"strncasecmp", "x", kNull, 5, 1},
        {"strncasecmp", kNull, "x", 5, -1},
        {"strncasecmp", kNull, kNull, 5, 0},
        {"strncasecmp", kNull, "x", 0, 0},
        {"strncasecmp", kLow, kLow + 1, 0, 0},
        {"memcmp", "ab\0d"s, "ab\0e"s, 3, 0},
        {"memcmp", "ab\0d"s, "ab\0e"s, 4, -1},
        {"memcmp", "\xFF", "\x01", 1, 254},
        {"memcmp", "abc", "abc", 4, 0},
        {"memcmp", kNull, kNull, 0, 0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(value(row.fn, {place(row.a), place(row.b), row.n}), row.expected)
            << row.fn << " row " << (&row - rows);
    uint32_t s = guest().put_string("same");
    for (uint32_t p : {kNull, kLow, kLastLow, s}) { // the same pointer is equal before any guard
        EXPECT_EQ(value("strcmp", {p, p}), 0) << p;
        EXPECT_EQ(value("strncmp", {p, p, 4}), 0) << p;
        EXPECT_EQ(value("strncasecmp", {p, p, 4}), 0) << p;
    }
    // strcasecmp refuses only null: a pointer of 100 is read, and faults.
    EXPECT_EQ(guest()("strcasecmp", kLow, guest().put_string("x")).stop.why, Stop::Why::Faulted);
    for (uint32_t len = 0; len < 12; ++len) // word scanning compares every position
        for (uint32_t at = 0; at <= len; ++at) {
            std::string a(len, 'k'), b(len, 'k');
            if (at < len)
                b[at] = '\xF0';
            int32_t want = at < len ? int32_t('k') - 0xF0 : 0;
            EXPECT_EQ(value("strcmp", {guest().put_string(a), guest().put_string(b)}), want) << len << "/" << at;
            EXPECT_EQ(value("memcmp", {guest().put_string(a), guest().put_string(b), len}), want);
        }
}

TEST_F(StringTest, CopiesWriteExactlyTheirBytesAtEveryAlignment)
{
    struct Row {
        const char* fn;
        std::string initial; // the destination's first bytes
        std::optional<std::string> src;
        uint32_t n;
        std::string written; // the destination afterwards; canary beyond
    } rows[] = {
        {"strcpy", "", "hello", 0, "hello\0"s},
        {"strcpy", "zzz", "", 0, "\0zz"s},
        {"strcpy", "zzz", std::nullopt, 0, "\0zz"s},
        {"strncpy", "", "ab", 5, "ab\0\0\0"s},
        {"strncpy", "", "abcdef", 3, "abc"},
        {"strncpy", "", "abc", 3, "abc"},
        {"strncpy", "", "abc", 4, "abc\0"s},
        {"strncpy", "zz", "abc", 0, "zz"},
        {"strncpy", "", std::nullopt, 4, "\0\0\0\0"s},
        {"strcat", "xy\0"s, "abc", 0, "xyabc\0"s},
        {"strcat", "xy\0q"s, "", 0, "xy\0q"s},
        {"strcat", "xy\0q"s, std::nullopt, 0, "xy\0q"s},
        {"strcat", "\0q"s, "a", 0, "a\0"s},
        {"strncat", "ab\0"s, "xyz", 2, "abxy\0"s},
        {"strncat", "ab\0"s, "xyz", 9, "abxyz\0"s},
        {"strncat", "ab\0q"s, "xyz", 0, "ab\0q"s},
        {"strncat", "ab\0q"s, std::nullopt, 5, "ab\0q"s},
        {"strncat", "ab\0qq"s, "", 5, "ab\0qq"s},
    };
    constexpr uint32_t kSize = 16;
    for (const Row& row : rows) {
        uint32_t dst = destination(kSize, bytes_of(row.initial));
        uint32_t src = row.src ? guest().put_string(*row.src) : kNull;
        EXPECT_EQ(uint32_t(value(row.fn, {dst, src, row.n})), dst) << row.fn << " row " << (&row - rows);
        EXPECT_EQ(around(dst, kSize), framed(bytes_of(row.written), kSize)) << row.fn << " row " << (&row - rows);
    }
    // Refused destinations: null, and below the guard for appending.
    uint32_t src = guest().put_string("abc");
    for (auto [fn, dst] : {std::pair{"strcpy", kNull}, {"strncpy", kNull}, {"strcat", kNull}, {"strncat", kNull},
             {"strcat", kLow}, {"strncat", kLastLow}})
        EXPECT_EQ(value(fn, {dst, src, 3}), 0) << fn << " " << dst;
    for (uint32_t shift = 0; shift < 4; ++shift) // strcpy at every alignment and length
        for (uint32_t len = 0; len < 40; ++len) {
            std::string text(len, 0);
            std::iota(text.begin(), text.end(), char(0x80));
            uint32_t src = guest().alloc(len + 8) + shift;
            guest().machine().memory().poke(src, bytes_of(text + '\0'));
            uint32_t dst = destination(len + 1);
            value("strcpy", {dst, src});
            ASSERT_EQ(around(dst, len + 1), framed(bytes_of(text + '\0'), len + 1)) << shift << "/" << len;
        }
}

TEST_F(StringTest, SearchesFindTheRightPosition)
{
    struct Row {
        const char* fn;
        std::string s;
        Operand what; // a character, or the needle
        int expected; // offset in s, or kNone
    } rows[] = {{"strchr", "abca", 'a', 0}, {"strchr", "abca", 'c', 2}, {"strchr", "abca", 'z', kNone},
        {"strchr", "abca", 0u, 4}, {"strchr", "", 0u, 0}, {"strchr", "", 'a', kNone},
        {"strchr", "ab\xFF", 0xFFFFFFFF, 2}, {"strchr", "xab", 0x161, 1}, {"strchr", "ab", 0x100, 2},
        {"strrchr", "abca", 'a', 3}, {"strrchr", "abca", 'b', 1}, {"strrchr", "abca", 'z', kNone},
        {"strrchr", "abca", 0u, 4}, {"strrchr", "", 0u, 0}, {"strrchr", "a\x80\x80", 0x80, 2},
        {"strrchr", "aXa", 0x158, 1}, {"strstr", "hello", "ll", 2}, {"strstr", "hello", "", 0}, {"strstr", "", "", 0},
        {"strstr", "", "a", kNone}, {"strstr", "aaab", "aab", 1}, {"strstr", "abc", "abcd", kNone},
        {"strstr", "abcabc", "cab", 2}, {"strstr", "abc", "c", 2}, {"strstr", "abcabc", "abc", 0},
        {"strstr", "ab\xFF", "\xFF", 2}, {"strstr", "abd", "abc", kNone}};
    for (const Row& row : rows) {
        uint32_t s = guest().put_string(row.s);
        uint32_t want = row.expected == kNone ? 0 : s + uint32_t(row.expected);
        EXPECT_EQ(uint32_t(value(row.fn, {s, place(row.what)})), want) << row.fn << " row " << (&row - rows);
    }
    uint32_t x = guest().put_string("x");
    for (auto [fn, a, b] : {std::tuple{"strchr", kNull, uint32_t('a')}, {"strchr", kNull, 0u}, {"strrchr", kNull, 0u},
             {"strstr", kNull, x}, {"strstr", x, kNull}, {"strstr", kNull, kNull}})
        EXPECT_EQ(value(fn, {a, b}), 0) << fn;
}

Bytes pattern(uint32_t n, uint8_t seed)
{
    Bytes b(n);
    for (uint32_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

TEST_F(StringTest, MemoryRoutinesAtEveryAlignmentKeepTheirBounds)
{
    std::vector<uint32_t> lengths(71);
    std::iota(lengths.begin(), lengths.end(), 0u);
    lengths.insert(lengths.end(), {255, 1024, 4095, 4096, 4099, 65537});
    uint32_t src_base = guest().alloc(65537 + 8), dst_base = guest().alloc(65537 + 8 + 2 * kMargin) + kMargin;
    for (uint32_t n : lengths)
        for (uint32_t sa = 0; sa < 4; ++sa)
            for (uint32_t da = 0; da < 8; ++da) { // the bulk goes in aligned 8-byte units
                uint32_t src = src_base + sa, dst = dst_base + da;
                Bytes data = pattern(n, uint8_t(n + sa));
                guest().machine().memory().poke(src, data);
                for (const char* fn : {"memcpy", "memmove"}) {
                    guest().machine().memory().poke(dst - kMargin, framed({}, n));
                    ASSERT_EQ(uint32_t(value(fn, {dst, src, n})), dst);
                    ASSERT_EQ(around(dst, n), framed(data, n)) << fn << " n " << n << " src+" << sa << " dst+" << da;
                }
                if (sa != 0)
                    continue;
                guest().machine().memory().poke(dst - kMargin, framed({}, n));
                ASSERT_EQ(uint32_t(value("memset", {dst, 0x1A5, n})), dst);
                ASSERT_EQ(around(dst, n), framed(Bytes(n, 0xA5), n)) << "memset n " << n << " dst+" << da;
            }
}

TEST_F(StringTest, OverlappingMovesInBothDirections)
{
    constexpr uint32_t kSpan = 128;
    uint32_t base = guest().alloc(kSpan + 2 * kMargin, kCanary) + kMargin;
    for (int gap = -9; gap <= 9; ++gap)
        for (uint32_t n : {0u, 1u, 3u, 4u, 5u, 8u, 13u, 33u, 64u})
            for (uint32_t start : {20u, 21u, 22u, 23u}) {
                Bytes whole = pattern(kSpan, uint8_t(n));
                guest().machine().memory().poke(base, whole);
                uint32_t src = base + start, dst = src + uint32_t(gap);
                Bytes moved = whole, copied = whole;
                std::memmove(&moved[start + gap], &whole[start], n);
                for (uint32_t i = 0; i < n; ++i) // memcpy copies forward, byte after byte
                    copied[start + gap + i] = copied[start + i];
                ASSERT_EQ(uint32_t(value("memmove", {dst, src, n})), dst);
                ASSERT_EQ(around(base, kSpan), framed(moved, kSpan)) << "memmove gap " << gap << " n " << n;
                ASSERT_EQ(guest().machine().reg(UC_X86_REG_EFLAGS) & 0x400, 0u) << "direction flag left set";
                guest().machine().memory().poke(base, whole);
                ASSERT_EQ(uint32_t(value("memcpy", {dst, src, n})), dst);
                ASSERT_EQ(around(base, kSpan), framed(copied, kSpan)) << "memcpy gap " << gap << " n " << n;
            }
}

TEST_F(StringTest, EveryEightBytePatternSurvivesTheBulkUnitsAndSideStateIsLeftAlone)
{
    // Extreme integers, and bit patterns that read as infinities or NaNs as doubles.
    const uint64_t values[] = {0, ~0ull, 0x8000000000000000ull, 0x7FFFFFFFFFFFFFFFull, 0x8000000000000001ull,
        0x7FF8000000000000ull, 0xFFF0000000000000ull, 1, 0xFFFFFFFFull, 0x123456789ABCDEF0ull};
    Bytes data;
    for (uint64_t v : values)
        for (int i = 0; i < 8; ++i)
            data.push_back(uint8_t(v >> (8 * i)));
    const uint32_t n = uint32_t(data.size());
    uint32_t src = guest().put_bytes(data), dst = destination(n);
    for (const char* fn : {"memcpy", "memmove"}) {
        guest().machine().memory().poke(dst - kMargin, framed({}, n));
        value(fn, {dst, src, n});
        EXPECT_EQ(around(dst, n), framed(data, n)) << fn;
    }
    uint32_t area = destination(n + 8); // backward, over an overlap
    guest().machine().memory().poke(area, data);
    value("memmove", {area + 8, area, n});
    EXPECT_EQ(guest().read(area + 8, n), data);
    for (uint32_t byte = 0; byte < 256; ++byte) {
        value("memset", {dst, byte, 24});
        ASSERT_EQ(guest().read(dst, 24), Bytes(24, uint8_t(byte))) << byte;
    }
    // Side state is left as found: errno, the x87 stack, and memory of empty or self moves.
    constexpr uint32_t kMark = 0x5A5A5A5A;
    guest().write_u32(guest().symbol("errno"), kMark);
    uint32_t s = guest().put_string("a,b"), d = destination(16);
    for (auto [fn, a, b, n] : {std::tuple{"strlen", kNull, 0u, 0u}, {"strcmp", kNull, s, 0u}, {"strcpy", kNull, s, 0u},
             {"strncat", kLow, s, 2u}, {"strtok", s, kNull, 0u}, {"strtok", kNull, kNull, 0u}, {"memmove", d, s, 3u},
             {"strdup", kNull, 0u, 0u}, {"strstr", s, kNull, 0u}})
        value(fn, {a, b, n});
    EXPECT_EQ(guest().global_u32("errno"), kMark);
    Machine& m = guest().machine();
    const uint32_t tag = m.reg(UC_X86_REG_FPTAG), top = m.reg(UC_X86_REG_FPSW) & 0x3800;
    uint32_t a = guest().alloc(256, 1), b = guest().alloc(256, 2);
    for (auto [fn, x, y] :
        {std::tuple{"memcpy", a, b}, {"memmove", a + 8, a}, {"memmove", a, a + 8}, {"memset", b, 7u}})
        value(fn, {x, y, 200});
    EXPECT_EQ(m.reg(UC_X86_REG_FPTAG), tag);
    EXPECT_EQ(m.reg(UC_X86_REG_FPSW) & 0x3800, top);
    EXPECT_EQ(m.fpu_control_word(), 0x037F);
    // The code segment is read-only: a store there would fault.
    uint32_t code = guest().symbol("strlen");
    for (auto [fn, src, n] :
        {std::tuple{"memmove", code, 64u}, {"memmove", kNull, 0u}, {"memcpy", kNull, 0u}, {"memset", 0u, 0u}})
        EXPECT_EQ(uint32_t(value(fn, {code, src, n})), code) << fn;
}

TEST_F(StringTest, DuplicatesAreFreshHeapStrings)
{
    struct Row {
        const char* fn;
        Operand s;
        uint32_t n;
        std::optional<std::string> expected; // nullopt: answers null
    } rows[] = {{"strdup", "hello", 0, "hello"}, {"strdup", "", 0, ""}, {"strdup", kLow, 0, ""},
        {"strdup", kNull, 0, std::nullopt}, {"strndup", "abcdef", 3, "abc"}, {"strndup", "abcdef", 0, ""},
        {"strndup", "abc", 99, "abc"}, {"strndup", "abc", 3, "abc"}, {"strndup", kLastLow, 5, ""},
        {"strndup", kNull, 3, std::nullopt}};
    uint32_t heap = guest().symbol("g_heap");
    for (const Row& row : rows) {
        uint32_t s = place(row.s), used = guest().global_u32("g_heap_used");
        uint32_t copy = uint32_t(value(row.fn, {s, row.n}));
        std::string label = std::string(row.fn) + " row " + std::to_string(&row - rows);
        if (!row.expected) {
            EXPECT_EQ(copy, 0u) << label;
            EXPECT_EQ(guest().global_u32("g_heap_used"), used) << label;
            continue;
        }
        EXPECT_GE(copy, heap + used) << label; // newly taken from the arena
        EXPECT_LE(copy + row.expected->size() + 1, heap + guest().global_u32("g_heap_used")) << label;
        EXPECT_EQ(guest().read(copy, uint32_t(row.expected->size()) + 1), bytes_of(*row.expected + '\0')) << label;
    }
    // A full heap: null.
    for (uint32_t size = 1u << 20; size != 0;)
        if (value("malloc", {size}) == 0)
            size /= 2;
    for (uint32_t s = guest().put_string("hello");
         auto [fn, p] : {std::pair{"strdup", s}, {"strdup", kLow}, {"strndup", s}})
        EXPECT_EQ(value(fn, {p, 2}), 0) << fn << " " << p;
}

TEST_F(StringTest, TokensComeOneCallAtATime)
{
    struct Call {
        bool restart; // pass the string instead of null
        std::optional<std::string> delims;
        int expected; // offset of the token, or kNone
    };
    struct Row {
        std::string text;
        std::vector<Call> calls;
        std::string after; // the string's bytes after the last call
    } rows[] = {
        {"  a,,b  ", {{true, " ,", 2}, {false, " ,", 5}, {false, " ,", kNone}, {false, " ,", kNone}}, "  a\0,b\0 \0"s},
        {"abc", {{true, std::nullopt, 0}, {false, ",", kNone}}, "abc\0"s},
        {"a,b", {{true, "", 0}, {false, ",", kNone}}, "a,b\0"s},
        {"", {{true, ",", kNone}, {false, std::nullopt, kNone}}, "\0"s},
        {",,,", {{true, ",", kNone}, {false, ",", kNone}}, ",,,\0"s},
        {"a,b", {{true, ",", 0}, {false, std::nullopt, 2}, {false, ",", kNone}}, "a\0b\0"s},
        {"a,b;c", {{true, ",", 0}, {false, ";", 2}, {false, ";", 4}, {false, ";", kNone}}, "a\0b\0c\0"s},
        {"a,", {{true, ",", 0}, {false, ",", kNone}}, "a\0\0"s},
        {"a b c", {{true, " ", 0}, {true, " ", 0}, {false, " ", kNone}}, "a\0b c\0"s}, // a new string restarts
    };
    for (const Row& row : rows) {
        guest().reset();
        EXPECT_EQ(value("strtok", {kNull, guest().put_string(",")}), 0) << "no scan in progress";
        uint32_t s = guest().put_string(row.text);
        for (const Call& call : row.calls) {
            uint32_t delims = call.delims ? guest().put_string(*call.delims) : kNull;
            uint32_t want = call.expected == kNone ? 0 : s + uint32_t(call.expected);
            EXPECT_EQ(uint32_t(value("strtok", {call.restart ? s : kNull, delims})), want)
                << row.text << " call " << (&call - row.calls.data());
        }
        EXPECT_EQ(guest().read(s, uint32_t(row.after.size())), bytes_of(row.after)) << row.text;
    }
}

} // namespace
} // namespace vekos::test
