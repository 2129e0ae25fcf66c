// The string and memory routines on the real i386 code: exact answers, end
// positions, the bytes around every destination, and the low-address guard.
#include "harness.h"

#include "layout.h"

#include <unicorn/unicorn.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNull = 0;
constexpr uint32_t kLow = 100;          // below the guard
constexpr uint32_t kLastLow = 4095;     // the highest guarded address
constexpr uint8_t kCanary = 0xEE;
constexpr uint32_t kMargin = 8;         // canary bytes on each side of a destination
constexpr uint32_t kScratchEnd = kScratchBase + kScratchSize;  // the page above is unmapped
constexpr int kNone = -1;               // "null" where a table holds an offset

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// An operand: text placed in guest memory, or a raw address.
struct Operand {
    std::optional<std::string> text;
    uint32_t raw = 0;
};
Operand txt(std::string text) { return {std::move(text), 0}; }
Operand ptr(uint32_t address) { return {std::nullopt, address}; }

class StringTest : public GuestTest {
protected:
    uint32_t place(const Operand& o) { return o.text ? guest().put_string(*o.text) : o.raw; }

    int32_t value(std::string_view fn, std::vector<uint32_t> args)
    {
        CallResult r = guest().call(fn, args);
        EXPECT_TRUE(r.returned()) << fn << (r.stop.fault ? ": " + r.stop.fault->message() : "");
        return r.value();
    }

    // A destination of `size` bytes filled with `initial` (canary where it
    // runs out), with kMargin canary bytes before and after it.
    uint32_t destination(uint32_t size, const Bytes& initial = {})
    {
        uint32_t base = guest().alloc(size + 2 * kMargin, kCanary);
        guest().machine().memory().poke(base + kMargin, initial);
        return base + kMargin;
    }
    // The destination with its margins: what was written, and what was not.
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
        uint32_t addr = kScratchEnd - uint32_t(bytes.size());
        if (!bytes.empty()) {
            EXPECT_TRUE(guest().machine().memory().poke(addr, bytes));
        }
        return addr;
    }
};

// ---- lengths ------------------------------------------------------------

TEST_F(StringTest, LengthsStopAtTheTerminatorOrTheLimit)
{
    struct Row {
        std::string text;
        uint32_t max, strlen, strnlen;
    } rows[] = {
        {"", 5, 0, 0},           {"a", 0, 1, 0},          {"abc", 2, 3, 2},     {"abc", 3, 3, 3},
        {"abc", 4, 3, 3},        {"abcd", 0xFFFFFFFF, 4, 4}, {"\x80\x81\xFF\x01", 9, 4, 4},
        {"\x01\x01\x80", 9, 3, 3}, {"abcdefghijk", 7, 11, 7}, {std::string(300, 'x'), 299, 300, 299},
    };
    for (const Row& row : rows)
        for (uint32_t shift = 0; shift < 4; ++shift) {
            uint32_t s = guest().alloc(uint32_t(row.text.size()) + 8) + shift;
            guest().machine().memory().poke(s, bytes_of(row.text + '\0'));
            EXPECT_EQ(uint32_t(value("strlen", {s})), row.strlen) << row.text << " +" << shift;
            EXPECT_EQ(uint32_t(value("strnlen", {s, row.max})), row.strnlen) << row.text << " +" << shift;
        }
}

TEST_F(StringTest, LengthsOfGuardedPointersAreZeroUpToTheGuard)
{
    for (uint32_t p : {kNull, 1u, kLow, kLastLow}) {
        EXPECT_EQ(value("strlen", {p}), 0) << p;
        EXPECT_EQ(value("strnlen", {p, 10}), 0) << p;
    }
    // 4096 is past the guard: it is read, and page 1 is not mapped.
    EXPECT_EQ(guest()("strlen", 4096).stop.why, Stop::Why::Faulted);
}

TEST_F(StringTest, ScansEndingOnTheLastMappedByteDoNotFault)
{
    for (uint32_t len = 0; len < 12; ++len) {
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
        // Unterminated bytes up to the end: the limit is all that stops the scan.
        uint32_t open = at_region_end(Bytes(len, 'r'));
        EXPECT_EQ(uint32_t(value("strnlen", {open, len})), len);
        uint32_t tail = destination(16, Bytes{'a', 'b', 0});
        EXPECT_EQ(uint32_t(value("strncat", {tail, open, len})), tail);
        EXPECT_EQ(guest().read_cstring(tail), "ab" + std::string(len, 'r'));
    }
}

// ---- comparisons --------------------------------------------------------

TEST_F(StringTest, ComparisonsAnswerTheDifferenceOfTheDecidingBytes)
{
    struct Row {
        const char* fn;
        Operand a, b;
        uint32_t n;
        int32_t expected;
    } rows[] = {
        {"strcmp", txt("abc"), txt("abc"), 0, 0},
        {"strcmp", txt("a"), txt("ab"), 0, -98},
        {"strcmp", txt("ab"), txt("a"), 0, 98},
        {"strcmp", txt("abc"), txt("abd"), 0, -1},
        {"strcmp", txt("\xFF"), txt("a"), 0, 158},
        {"strcmp", txt(""), txt("\x80"), 0, -128},
        {"strcmp", txt(""), txt(""), 0, 0},
        {"strcmp", ptr(kLow), txt("x"), 0, -1},
        {"strcmp", ptr(kLastLow), txt(""), 0, -1},
        {"strcmp", txt("x"), ptr(kLow), 0, 1},
        {"strcmp", txt(""), ptr(kNull), 0, 1},
        {"strcmp", ptr(kNull), ptr(kLow), 0, -1},
        {"strcmp", ptr(kLow), ptr(kNull), 0, -1},
        {"strncmp", txt("abc"), txt("abd"), 2, 0},
        {"strncmp", txt("abc"), txt("abd"), 3, -1},
        {"strncmp", txt("abc"), txt("abcd"), 3, 0},
        {"strncmp", txt("abc"), txt("abcd"), 4, -100},
        {"strncmp", txt("a"), txt("a"), 50, 0},
        {"strncmp", txt("\xFF"), txt("\x01"), 1, 254},
        {"strncmp", ptr(kLow), txt("x"), 0, 0},
        {"strncmp", ptr(kLow), txt("x"), 1, -1},
        {"strncmp", txt("x"), ptr(kNull), 1, 1},
        {"strcasecmp", txt("ABC"), txt("abd"), 0, -1},
        {"strcasecmp", txt("a["), txt("A{"), 0, -32},
        {"strcasecmp", txt("HeLLo"), txt("hEllO"), 0, 0},
        {"strcasecmp", txt("Z"), txt("a"), 0, 25},
        {"strcasecmp", txt("@"), txt("`"), 0, -32},
        {"strcasecmp", txt("\xC4"), txt("\xE4"), 0, -32},
        {"strcasecmp", txt("abc"), txt("AB"), 0, 99},
        {"strcasecmp", txt("AB"), txt("abC"), 0, -99},
        {"strcasecmp", txt("A"), txt(""), 0, 97},
        {"strcasecmp", ptr(kNull), ptr(kNull), 0, 0},
        {"strcasecmp", ptr(kNull), txt("x"), 0, -1},
        {"strcasecmp", ptr(kNull), txt(""), 0, -1},
        {"strcasecmp", txt("x"), ptr(kNull), 0, 1},
        {"strncasecmp", txt("ABCx"), txt("abcy"), 3, 0},
        {"strncasecmp", txt("ABCx"), txt("abcy"), 4, -1},
        {"strncasecmp", txt("a"), txt("A"), 10, 0},
        {"strncasecmp", txt("ab"), txt("A"), 2, 98},
        {"strncasecmp", txt("A"), txt("aB"), 2, -98},
        {"strncasecmp", txt("a["), txt("A{"), 2, -32},
        {"strncasecmp", txt("x"), ptr(kNull), 5, 1},
        {"strncasecmp", ptr(kNull), txt("x"), 5, -1},
        {"strncasecmp", ptr(kNull), ptr(kNull), 5, 0},
        {"strncasecmp", ptr(kNull), txt("x"), 0, 0},
        {"strncasecmp", ptr(kLow), ptr(kLow + 1), 0, 0},
        {"memcmp", txt(std::string("ab\0d", 4)), txt(std::string("ab\0e", 4)), 3, 0},
        {"memcmp", txt(std::string("ab\0d", 4)), txt(std::string("ab\0e", 4)), 4, -1},
        {"memcmp", txt("\xFF"), txt("\x01"), 1, 254},
        {"memcmp", txt("abc"), txt("abc"), 4, 0},
        {"memcmp", ptr(kNull), ptr(kNull), 0, 0},
    };
    for (const Row& row : rows) {
        uint32_t a = place(row.a), b = place(row.b);
        std::vector<uint32_t> args = {a, b};
        if (std::string_view(row.fn).starts_with("strn") || std::string_view(row.fn) == "memcmp")
            args.push_back(row.n);
        EXPECT_EQ(value(row.fn, args), row.expected) << row.fn << " row " << (&row - rows);
    }
}

TEST_F(StringTest, SamePointerIsEqualBeforeAnyGuard)
{
    uint32_t s = guest().put_string("same");
    for (uint32_t p : {kNull, kLow, kLastLow, s}) {
        EXPECT_EQ(value("strcmp", {p, p}), 0) << p;
        EXPECT_EQ(value("strncmp", {p, p, 4}), 0) << p;
        EXPECT_EQ(value("strncasecmp", {p, p, 4}), 0) << p;
    }
}

TEST_F(StringTest, CaseInsensitiveComparisonRefusesOnlyNull)
{
    // No low-address guard here: a pointer of 100 is read, and faults.
    EXPECT_EQ(guest()("strcasecmp", kLow, guest().put_string("x")).stop.why, Stop::Why::Faulted);
}

TEST_F(StringTest, WordScanningComparesEveryPosition)
{
    // Bytes above 127 and zeros at each offset of the aligned words.
    for (uint32_t len = 0; len < 12; ++len)
        for (uint32_t at = 0; at <= len; ++at) {
            std::string a(len, 'k'), b(len, 'k');
            if (at < len)
                b[at] = '\xF0';
            int32_t want = at < len ? int32_t('k') - 0xF0 : 0;
            EXPECT_EQ(value("strcmp", {guest().put_string(a), guest().put_string(b)}), want) << len << "/" << at;
            EXPECT_EQ(value("memcmp", {guest().put_string(a), guest().put_string(b), len}), want);
        }
}

// ---- string copies --------------------------------------------------------

TEST_F(StringTest, CopiesWriteExactlyTheirBytes)
{
    struct Row {
        const char* fn;
        std::string initial;  // the destination's first bytes
        std::optional<std::string> src;
        uint32_t n;
        Bytes written;  // the destination afterwards; canary beyond
    } rows[] = {
        {"strcpy", "", "hello", 0, bytes_of(std::string("hello\0", 6))},
        {"strcpy", "zzz", "", 0, Bytes{0, 'z', 'z'}},
        {"strcpy", "zzz", std::nullopt, 0, Bytes{0, 'z', 'z'}},
        {"strncpy", "", "ab", 5, Bytes{'a', 'b', 0, 0, 0}},
        {"strncpy", "", "abcdef", 3, Bytes{'a', 'b', 'c'}},
        {"strncpy", "", "abc", 3, Bytes{'a', 'b', 'c'}},
        {"strncpy", "", "abc", 4, Bytes{'a', 'b', 'c', 0}},
        {"strncpy", "zz", "abc", 0, Bytes{'z', 'z'}},
        {"strncpy", "", std::nullopt, 4, Bytes{0, 0, 0, 0}},
        {"strcat", std::string("xy\0", 3), "abc", 0, bytes_of(std::string("xyabc\0", 6))},
        {"strcat", std::string("xy\0q", 4), "", 0, bytes_of(std::string("xy\0q", 4))},
        {"strcat", std::string("xy\0q", 4), std::nullopt, 0, bytes_of(std::string("xy\0q", 4))},
        {"strcat", std::string("\0q", 2), "a", 0, Bytes{'a', 0}},
        {"strncat", std::string("ab\0", 3), "xyz", 2, bytes_of(std::string("abxy\0", 5))},
        {"strncat", std::string("ab\0", 3), "xyz", 9, bytes_of(std::string("abxyz\0", 6))},
        {"strncat", std::string("ab\0q", 4), "xyz", 0, bytes_of(std::string("ab\0q", 4))},
        {"strncat", std::string("ab\0q", 4), std::nullopt, 5, bytes_of(std::string("ab\0q", 4))},
        {"strncat", std::string("ab\0qq", 5), "", 5, bytes_of(std::string("ab\0qq", 5))},
    };
    constexpr uint32_t kSize = 16;
    for (const Row& row : rows) {
        uint32_t dst = destination(kSize, bytes_of(row.initial));
        uint32_t src = row.src ? guest().put_string(*row.src) : kNull;
        std::vector<uint32_t> args = {dst, src};
        if (std::string_view(row.fn).starts_with("strn"))
            args.push_back(row.n);
        EXPECT_EQ(uint32_t(value(row.fn, args)), dst) << row.fn << " row " << (&row - rows);
        EXPECT_EQ(around(dst, kSize), framed(row.written, kSize)) << row.fn << " row " << (&row - rows);
    }
}

TEST_F(StringTest, RefusedDestinationsAreNotWritten)
{
    uint32_t src = guest().put_string("abc");
    EXPECT_EQ(value("strcpy", {kNull, src}), 0);
    EXPECT_EQ(value("strncpy", {kNull, src, 3}), 0);
    EXPECT_EQ(value("strcat", {kNull, src}), 0);
    EXPECT_EQ(value("strncat", {kNull, src, 3}), 0);
    // Below the guard, appending is refused like null.
    EXPECT_EQ(value("strcat", {kLow, src}), 0);
    EXPECT_EQ(value("strncat", {kLastLow, src, 3}), 0);
}

TEST_F(StringTest, StringCopiesAtEveryAlignmentAndLength)
{
    for (uint32_t shift = 0; shift < 4; ++shift)
        for (uint32_t len = 0; len < 40; ++len) {
            std::string text;
            for (uint32_t i = 0; i < len; ++i)
                text += char(0x80 + i);
            uint32_t src = guest().alloc(len + 8) + shift;
            guest().machine().memory().poke(src, bytes_of(text + '\0'));
            uint32_t dst = destination(len + 1) ;
            value("strcpy", {dst, src});
            Bytes want = bytes_of(text);
            want.push_back(0);
            ASSERT_EQ(around(dst, len + 1), framed(want, len + 1)) << shift << "/" << len;
        }
}

// ---- searching ------------------------------------------------------------

TEST_F(StringTest, SearchesFindTheRightPosition)
{
    struct Row {
        const char* fn;
        std::string s;
        uint32_t ch;
        int expected;  // offset in s, or kNone
    } rows[] = {
        {"strchr", "abca", 'a', 0},     {"strchr", "abca", 'c', 2},      {"strchr", "abca", 'z', kNone},
        {"strchr", "abca", 0, 4},       {"strchr", "", 0, 0},            {"strchr", "", 'a', kNone},
        {"strchr", "ab\xFF", 0xFFFFFFFF, 2}, {"strchr", "xab", 0x161, 1}, {"strchr", "ab", 0x100, 2},
        {"strrchr", "abca", 'a', 3},    {"strrchr", "abca", 'b', 1},     {"strrchr", "abca", 'z', kNone},
        {"strrchr", "abca", 0, 4},      {"strrchr", "", 0, 0},           {"strrchr", "a\x80\x80", 0x80, 2},
        {"strrchr", "aXa", 0x158, 1},
    };
    for (const Row& row : rows) {
        uint32_t s = guest().put_string(row.s);
        uint32_t want = row.expected == kNone ? 0 : s + uint32_t(row.expected);
        EXPECT_EQ(uint32_t(value(row.fn, {s, row.ch})), want) << row.fn << " row " << (&row - rows);
    }
    EXPECT_EQ(value("strchr", {kNull, 'a'}), 0);
    EXPECT_EQ(value("strchr", {kNull, 0}), 0);
    EXPECT_EQ(value("strrchr", {kNull, 0}), 0);
}

TEST_F(StringTest, SubstringSearchFindsTheFirstOccurrence)
{
    struct Row {
        std::string hay, needle;
        int expected;
    } rows[] = {
        {"hello", "ll", 2},   {"hello", "", 0},     {"", "", 0},          {"", "a", kNone},
        {"aaab", "aab", 1},   {"abc", "abcd", kNone}, {"abcabc", "cab", 2}, {"abc", "c", 2},
        {"abcabc", "abc", 0}, {"ab\xFF", "\xFF", 2}, {"abd", "abc", kNone},
    };
    for (const Row& row : rows) {
        uint32_t hay = guest().put_string(row.hay);
        uint32_t want = row.expected == kNone ? 0 : hay + uint32_t(row.expected);
        EXPECT_EQ(uint32_t(value("strstr", {hay, guest().put_string(row.needle)})), want)
            << row.hay << " / " << row.needle;
    }
    uint32_t s = guest().put_string("x");
    EXPECT_EQ(value("strstr", {kNull, s}), 0);
    EXPECT_EQ(value("strstr", {s, kNull}), 0);
    EXPECT_EQ(value("strstr", {kNull, kNull}), 0);
}

// ---- memory ---------------------------------------------------------------

Bytes pattern(uint32_t n, uint8_t seed)
{
    Bytes b(n);
    for (uint32_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

TEST_F(StringTest, MemoryRoutinesAtEveryAlignmentKeepTheirBounds)
{
    std::vector<uint32_t> lengths;
    for (uint32_t n = 0; n <= 70; ++n)
        lengths.push_back(n);
    lengths.insert(lengths.end(), {255, 1024, 4095, 4096, 4099, 65537});
    uint32_t src_base = guest().alloc(65537 + 8);
    uint32_t dst_base = guest().alloc(65537 + 8 + 2 * kMargin) + kMargin;
    for (uint32_t n : lengths)
        for (uint32_t sa = 0; sa < 4; ++sa)
            for (uint32_t da = 0; da < 8; ++da) {  // the bulk goes in aligned 8-byte units
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
                for (uint32_t i = 0; i < n; ++i)  // memcpy copies forward, byte after byte
                    copied[start + gap + i] = copied[start + i];

                ASSERT_EQ(uint32_t(value("memmove", {dst, src, n})), dst);
                ASSERT_EQ(around(base, kSpan), framed(moved, kSpan)) << "memmove gap " << gap << " n " << n;
                ASSERT_EQ(guest().machine().reg(UC_X86_REG_EFLAGS) & 0x400, 0u) << "direction flag left set";

                guest().machine().memory().poke(base, whole);
                ASSERT_EQ(uint32_t(value("memcpy", {dst, src, n})), dst);
                ASSERT_EQ(around(base, kSpan), framed(copied, kSpan)) << "memcpy gap " << gap << " n " << n;
            }
}

TEST_F(StringTest, EveryEightBytePatternSurvivesTheBulkUnits)
{
    // Extreme integers, and bit patterns that read as infinities or NaNs as doubles.
    const uint64_t values[] = {0,
                               ~0ull,
                               0x8000000000000000ull,
                               0x7FFFFFFFFFFFFFFFull,
                               0x8000000000000001ull,
                               0x7FF8000000000000ull,
                               0xFFF0000000000000ull,
                               0x0000000000000001ull,
                               0x00000000FFFFFFFFull,
                               0x123456789ABCDEF0ull};
    Bytes data;
    for (uint64_t v : values)
        for (int i = 0; i < 8; ++i)
            data.push_back(uint8_t(v >> (8 * i)));
    const uint32_t n = uint32_t(data.size());
    uint32_t src = guest().put_bytes(data);
    uint32_t dst = destination(n);
    for (const char* fn : {"memcpy", "memmove"}) {
        guest().machine().memory().poke(dst - kMargin, framed({}, n));
        value(fn, {dst, src, n});
        EXPECT_EQ(around(dst, n), framed(data, n)) << fn;
    }
    // Backward, over an overlap.
    uint32_t area = destination(n + 8);
    guest().machine().memory().poke(area, data);
    value("memmove", {area + 8, area, n});
    EXPECT_EQ(guest().read(area + 8, n), data);

    for (uint32_t byte = 0; byte < 256; ++byte) {
        value("memset", {dst, byte, 24});
        ASSERT_EQ(guest().read(dst, 24), Bytes(24, uint8_t(byte))) << byte;
    }
}

TEST_F(StringTest, X87StackIsLeftAsFound)
{
    Machine& m = guest().machine();
    const uint32_t tag = m.reg(UC_X86_REG_FPTAG), top = m.reg(UC_X86_REG_FPSW) & 0x3800;
    uint32_t a = guest().alloc(256, 1), b = guest().alloc(256, 2);
    value("memcpy", {a, b, 200});
    value("memmove", {a + 8, a, 200});
    value("memmove", {a, a + 8, 200});
    value("memset", {b, 7, 200});
    EXPECT_EQ(m.reg(UC_X86_REG_FPTAG), tag);
    EXPECT_EQ(m.reg(UC_X86_REG_FPSW) & 0x3800, top);
    EXPECT_EQ(m.fpu_control_word(), 0x037F);
}

TEST_F(StringTest, EmptyAndSelfMovesTouchNothing)
{
    // The code segment is read-only: any store there would fault.
    uint32_t code = guest().symbol("strlen");
    EXPECT_EQ(uint32_t(value("memmove", {code, code, 64})), code);
    EXPECT_EQ(uint32_t(value("memmove", {code, kNull, 0})), code);
    EXPECT_EQ(uint32_t(value("memcpy", {code, kNull, 0})), code);
    EXPECT_EQ(uint32_t(value("memset", {code, 0, 0})), code);
}

// ---- heap copies ----------------------------------------------------------

TEST_F(StringTest, DuplicatesAreFreshHeapStrings)
{
    struct Row {
        const char* fn;
        Operand s;
        uint32_t n;
        std::optional<std::string> expected;  // nullopt: answers null
    } rows[] = {
        {"strdup", txt("hello"), 0, "hello"},   {"strdup", txt(""), 0, ""},
        {"strdup", ptr(kLow), 0, ""},           {"strdup", ptr(kNull), 0, std::nullopt},
        {"strndup", txt("abcdef"), 3, "abc"},   {"strndup", txt("abcdef"), 0, ""},
        {"strndup", txt("abc"), 99, "abc"},     {"strndup", txt("abc"), 3, "abc"},
        {"strndup", ptr(kLastLow), 5, ""},      {"strndup", ptr(kNull), 3, std::nullopt},
    };
    uint32_t heap = guest().symbol("g_heap");
    for (const Row& row : rows) {
        uint32_t s = place(row.s);
        uint32_t used = guest().global_u32("g_heap_used");
        uint32_t copy = uint32_t(value(row.fn, {s, row.n}));
        std::string label = std::string(row.fn) + " row " + std::to_string(&row - rows);
        if (!row.expected) {
            EXPECT_EQ(copy, 0u) << label;
            EXPECT_EQ(guest().global_u32("g_heap_used"), used) << label;
            continue;
        }
        EXPECT_GE(copy, heap + used) << label;  // newly taken from the arena
        EXPECT_LE(copy + row.expected->size() + 1, heap + guest().global_u32("g_heap_used")) << label;
        EXPECT_EQ(guest().read(copy, uint32_t(row.expected->size()) + 1), bytes_of(*row.expected + '\0')) << label;
    }
}

TEST_F(StringTest, DuplicatesAnswerNullWhenTheHeapIsFull)
{
    for (uint32_t size = 1u << 20; size != 0;)
        if (value("malloc", {size}) == 0)
            size /= 2;
    uint32_t s = guest().put_string("hello");
    EXPECT_EQ(value("strdup", {s}), 0);
    EXPECT_EQ(value("strdup", {kLow}), 0);
    EXPECT_EQ(value("strndup", {s, 2}), 0);
}

// ---- tokens ---------------------------------------------------------------

TEST_F(StringTest, TokensComeOneCallAtATime)
{
    struct Call {
        bool restart;                // pass the string instead of null
        std::optional<std::string> delims;
        int expected;                // offset of the token, or kNone
    };
    struct Row {
        std::string text;
        std::vector<Call> calls;
        Bytes after;  // the string's bytes after the last call
    } rows[] = {
        {"  a,,b  ", {{true, " ,", 2}, {false, " ,", 5}, {false, " ,", kNone}, {false, " ,", kNone}},
         bytes_of(std::string("  a\0,b\0 \0", 9))},
        {"abc", {{true, std::nullopt, 0}, {false, ",", kNone}}, bytes_of(std::string("abc\0", 4))},
        {"a,b", {{true, "", 0}, {false, ",", kNone}}, bytes_of(std::string("a,b\0", 4))},
        {"", {{true, ",", kNone}, {false, std::nullopt, kNone}}, Bytes{0}},
        {",,,", {{true, ",", kNone}, {false, ",", kNone}}, bytes_of(std::string(",,,\0", 4))},
        {"a,b", {{true, ",", 0}, {false, std::nullopt, 2}, {false, ",", kNone}}, bytes_of(std::string("a\0b\0", 4))},
        {"a,b;c", {{true, ",", 0}, {false, ";", 2}, {false, ";", 4}, {false, ";", kNone}},
         bytes_of(std::string("a\0b\0c\0", 6))},
        {"a,", {{true, ",", 0}, {false, ",", kNone}}, bytes_of(std::string("a\0\0", 3))},
        // A new string drops the scan in progress.
        {"a b c", {{true, " ", 0}, {true, " ", 0}, {false, " ", kNone}}, bytes_of(std::string("a\0b c\0", 6))},
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
        EXPECT_EQ(guest().read(s, uint32_t(row.after.size())), row.after) << row.text;
    }
}

// ---- errno ----------------------------------------------------------------

TEST_F(StringTest, NoRoutineTouchesErrno)
{
    constexpr uint32_t kMark = 0x5A5A5A5A;
    guest().write_u32(guest().symbol("errno"), kMark);
    uint32_t s = guest().put_string("a,b"), d = destination(16);
    value("strlen", {kNull});
    value("strcmp", {kNull, s});
    value("strcpy", {kNull, s});
    value("strncat", {kLow, s, 2});
    value("strtok", {s, kNull});
    value("strtok", {kNull, kNull});
    value("memmove", {d, s, 3});
    value("strdup", {kNull});
    value("strstr", {s, kNull});
    EXPECT_EQ(guest().global_u32("errno"), kMark);
}

} // namespace
} // namespace vekos::test
