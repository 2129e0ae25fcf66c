// Both formatters on the real i386 code: every byte stored or written, the
// results, the canaries around each buffer, and the kernel calls made.  One
// table gives each format's output from the buffer engine (snprintf and its
// siblings) and from the stream engine (fprintf, vfprintf, printf).
// Over 350 lines: one table of formats is the file's length, and a table
// split in two files would hide the rows a change has to keep in step.
#include "harness.h"

#include "cpu/layout.h"

#include <algorithm>
#include <concepts>
#include <numeric>
#include <optional>
#include <tuple>

namespace vekos::test {
namespace {

using namespace std::string_literals;

constexpr uint8_t kCanary = 0xEE;
constexpr uint32_t kGuard = 16; // canary bytes on each side of a buffer
constexpr int32_t kFail = -1, kIntMax = 0x7FFFFFFF;
constexpr uint32_t kWrite = 1, kRecordWords = 11, kFdKind = 1;

// One argument word, or a string whose guest address becomes the word.
struct Arg {
    template <std::integral T>
    Arg(T v) : word(uint32_t(v))
    {
        static_assert(sizeof(T) <= 4, "pass 64-bit values as lo() and hi()");
    }
    Arg(const char* s) : text(s), is_text(true) { }

    uint32_t word = 0;
    std::string text;
    bool is_text = false;
};

uint32_t lo(uint64_t v) { return uint32_t(v); }
uint32_t hi(uint64_t v) { return uint32_t(v >> 32); }

// A format, its arguments, and every byte of the output of each engine.
struct Row {
    std::string format;
    std::vector<Arg> args;
    std::string buffer;
    std::optional<std::string> stream = {}; // none: the same as the buffer engine's
};

class FormatTest : public GuestTest {
protected:
    // The head words followed by the argument words.
    std::vector<uint32_t> words(std::vector<uint32_t> head, const std::vector<Arg>& args)
    {
        for (const Arg& a : args)
            head.push_back(a.is_text ? guest().put_string(a.text) : a.word);
        return head;
    }
    // The argument words in guest memory, as an i386 va_list points at them.
    uint32_t va_area(const std::vector<Arg>& args)
    {
        std::vector<uint32_t> w = words({}, args);
        w.push_back(0x77777777);
        return guest().put_words(w);
    }
    int32_t run(std::string_view function, std::vector<uint32_t> args)
    {
        CallResult r = guest().call(function, args);
        EXPECT_TRUE(r.returned()) << function << (r.stop.fault ? ": " + r.stop.fault->message() : "");
        return r.value();
    }
    uint32_t str(const std::string& s) { return guest().put_string(s); }

    // A buffer of size bytes between two runs of canaries.
    uint32_t buffer(uint32_t size) { return guest().alloc(size + 2 * kGuard, kCanary) + kGuard; }
    // The buffer must hold `stored` and nothing else may have changed.
    void expect_stored(uint32_t buf, uint32_t size, const std::string& stored)
    {
        const auto bytes = guest().read(buf - kGuard, size + 2 * kGuard);
        const std::string after(size - stored.size() + kGuard, char(kCanary));
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), after.substr(0, kGuard) + stored + after) << "size " << size;
    }
    // One of the four buffer functions into a guarded buffer of this size;
    // it keeps size - 1 bytes of the output and a terminator (nothing for size 0).
    int32_t into_buffer(const std::string& function, const Row& row, uint32_t size)
    {
        const uint32_t buf = buffer(size);
        std::vector<uint32_t> head = {buf};
        if (function.ends_with("snprintf"))
            head.push_back(size);
        head.push_back(str(row.format));
        if (function[0] == 'v')
            head.push_back(va_area(row.args));
        const int32_t n = run(function, function[0] == 'v' ? head : words(head, row.args));
        expect_stored(
            buf, size, size ? row.buffer.substr(0, std::min<size_t>(row.buffer.size(), size - 1)) + '\0' : "");
        return n;
    }

    // A fresh memory stream; published() gives what it holds.
    uint32_t memstream()
    {
        cells_ = guest().alloc(8, 0xAB);
        const uint32_t s = uint32_t(run("open_memstream", {cells_, cells_ + 4}));
        guest().kernel().clear_log();
        return s;
    }
    std::string published()
    {
        const uint32_t data = guest().read_u32(cells_), len = guest().read_u32(cells_ + 4);
        if (data == 0)
            return len ? "a length without a buffer" : "";
        const auto bytes = guest().read(data, len + 1);
        return bytes.back() == 0 ? std::string(bytes.begin(), bytes.end() - 1) : "no terminator";
    }
    uint32_t record(uint32_t kind, uint32_t fd)
    {
        const uint32_t s = guest().alloc(4 * kRecordWords);
        guest().write_u32(s, kind);
        guest().write_u32(s + 4, fd);
        return s;
    }
    // Lengths of the kernel calls so far; every one must be a write to descriptor 1.
    std::vector<uint32_t> console_writes()
    {
        std::vector<uint32_t> lengths;
        for (const CallRecord& c : guest().calls()) {
            EXPECT_TRUE(c.in.eax == kWrite && c.in.ebx == 1) << "a call other than write(1, ...)";
            lengths.push_back(c.in.edx);
        }
        return lengths;
    }

    uint32_t cells_ = 0;
};

const std::vector<Row>& rows()
{
    static const std::vector<Row> table = {
        // Literals, partial directives at the end, "%%" and unrecognised conversions.
        {"hello", {}, "hello"}, {"", {}, ""}, {"abc%", {}, "abc"}, {"%", {}, ""}, {"x%5", {}, "x"},
        {"x%-", {}, "x", "x%-"}, {"x%.", {}, "x"}, {"x%l", {}, "x"}, {"ab%ll", {}, "ab"}, {"x%z", {}, "x", "x%z"},
        {"x%*", {7}, "x"}, {"a%.*", {3}, "a"}, {"x%-0+12.*l", {7}, "x", "x%-0+12.*l"}, {"100%%", {}, "100%"},
        {"%5%", {}, "%"}, {"%-05.3%|", {}, "%|", "%-05.3%|"}, {"%-5q", {}, "%q", "%-5q"}, {"%q%d", {5}, "%q5"},
        {"%hd%hhd %jd %td %Lf % d %#x %f %n%o%e", {}, "%hd%hhd %jd %td %Lf % d %#x %f %n%o%e"}, {"%5.2lq", {}, "%q"},
        {"%zzd", {}, "%zd", "%zzd"}, {"%lz", {}, "%z"}, {"%lllu", {7}, "%lu"},
        // Integers: values, flags, widths, precisions.
        {"%d", {-2147483647 - 1}, "-2147483648"}, {"%i", {2147483647}, "2147483647"}, {"%d", {0}, "0"},
        {"%u", {4294967295u}, "4294967295"}, {"%u", {-1}, "4294967295"}, {"%x", {3735928559u}, "deadbeef"},
        {"%X", {3735928559u}, "DEADBEEF", "%X"}, {"%ld %lu %lx", {-3, 3, 0xabcu}, "-3 3 abc"},
        {"%zu %zX", {8, 0xabcu}, "8 ABC", "%zu %zX"}, {"hi %d!", {42}, "hi 42!"}, {"%5d", {42}, "   42"},
        {"%-5d", {42}, "42   ", "%-5d"}, {"%05d", {-42}, "-0042", "  -42"}, {"%00005d|", {42}, "00042|", "   42|"},
        {"%0d", {42}, "42"}, {"%+05d", {42}, "+0042", "%+05d"}, {"%5.3d", {-42}, " -042"}, {"%05.3d", {42}, "  042"},
        {"%6.3d", {-42}, "  -042"}, {"%+d", {0}, "+0", "%+d"}, {"%+d", {-7}, "-7", "%+d"},
        {"%+5u", {42}, "   42", "%+5u"}, {"%+x", {255}, "ff", "%+x"}, {"%+X", {255}, "FF", "%+X"},
        {"%08X", {2748}, "00000ABC", "%X"}, {"%8.4x", {255}, "    00ff"}, {"%-05d|", {42}, "42   |", "%-05d|"},
        {"%0-5d|", {42}, "42   |", "%-5d|"}, {"%-+-+5d|", {42}, "+42  |", "%-+-+5d|"},
        {"%-8.4x|", {255}, "00ff    |", "%-8.4x|"}, {"%.0d", {0}, "0"}, {"%.d", {0}, "0"}, {"%5.0d", {0}, "    0"},
        {"%.0x", {0}, "0"}, {"%5.0u", {0}, "    0"}, {"%2d", {12345}, "12345"}, {"%5.5d", {-1}, "-00001"},
        {"%010u", {4294967295u}, "4294967295"}, {"%011u", {4294967295u}, "04294967295", " 4294967295"},
        {"%zd", {42}, "42", "%zd"},
        // "*" counts: a negative width means no fill, a negative precision none.
        {"%*d|", {-5, 42}, "42|"}, {"%-*d|", {-5, 42}, "42|", "%-*d|"}, {"%*d", {5, 42}, "   42"},
        {"%.*d", {-1, 42}, "42"}, {"%.*d", {4, 42}, "0042"}, {"%*.*d|", {-6, -2, -42}, "-42|"},
        {"%0*.*d", {5, -1, 42}, "00042", "%*.*d"}, {"%*.*s|", {-4, -9, "abc"}, "abc|"},
        // "ll": one word for the buffer engine, two (low word first) for the stream engine.
        {"%lld %d", {lo(1099511627776ull), hi(1099511627776ull), 9}, "0 256", "1099511627776 9"},
        {"%lld|%d", {lo(-5ll), hi(-5ll), 9}, "-5|-1", "-5|9"}, {"%llu,%llx,%lld", {7, 0, 5, 0, 9, 0}, "7,0,5", "7,5,9"},
        {"%lld", {lo(0x8000000000000000ull), hi(0x8000000000000000ull)}, "0", "-9223372036854775808"},
        {"%lld", {lo(0x7FFFFFFFFFFFFFFFull), hi(0x7FFFFFFFFFFFFFFFull)}, "-1", "9223372036854775807"},
        {"%lli", {lo(-1ll), hi(-1ll)}, "-1"}, {"%llu", {lo(~0ull), hi(~0ull)}, "4294967295", "18446744073709551615"},
        {"%llu", {lo(10000000000000000000ull), hi(10000000000000000000ull)}, "2313682944", "10000000000000000000"},
        {"%llx", {lo(0x1122334455ull), hi(0x1122334455ull)}, "22334455", "1122334455"},
        {"%llx", {lo(~0ull), hi(~0ull)}, "ffffffff", "ffffffffffffffff"}, {"%llu", {0, 0}, "0"},
        {"%25.22lld|", {lo(-12345ll), hi(-12345ll)}, "  -0000000000000000012345|"},
        {"%llp", {lo(0xAB00001234ull), hi(0xAB00001234ull)}, "0x1234", "0xab00001234"},
        {"%llc%lls", {'z', "ok"}, "zok"},
        // Characters and pointers.
        {"%c|", {0}, "\0|"s}, {"%c%c%c", {'a', 0x142, -1}, "aB\xff"}, {"x%c|", {0}, "x\0|"s}, {"x%5c", {65}, "xA"},
        {"x%.3c", {66}, "xB"}, {"%-5.3c|", {65}, "A|", "%-5.3c|"}, {"%p", {0}, "0x0"},
        {"%p", {0xFFFFFFFFu}, "0xffffffff"}, {"%10p|", {4660}, "0x1234|", "    0x1234|"},
        {"%.8p", {4660}, "0x1234", "0x00001234"}, {"%12.8p", {4660}, "0x1234", "  0x00001234"},
        {"%3p", {4660}, "0x1234"}, {"%-+010.8p|", {4660}, "0x1234|", "%-+010.8p|"},
        // Strings: null, cut by a precision, filled to a width; below 4096 an address reads as "".
        {"%5s|", {"abc"}, "  abc|"}, {"%-5s|", {"abc"}, "abc  |", "%-5s|"}, {"%.2s", {"abc"}, "ab"},
        {"%5.2s", {"abc"}, "   ab"}, {"%.3s", {0}, "(nu"}, {"%8s", {0}, "  (null)"}, {"%s", {0}, "(null)"},
        {"%-8s|", {0}, "(null)  |", "%-8s|"}, {"%05s|%+s", {"ab", "cd"}, "   ab|cd", "   ab|%+s"},
        {"%.0s|", {"abc"}, "|"}, {"%.9s|", {"abc"}, "abc|"}, {"%3s|", {""}, "   |"}, {"%2s|", {"abcd"}, "abcd|"},
        {"%.*s|", {-1, "abc"}, "abc|"}, {"[%s]", {"with\ttab"}, "[with\ttab]"},
        {"%5s|%.2s|%-3s|", {1, 100, 4095}, "     ||   |", "     ||%-3s|"},
        {"%d %s %x %c", {-1, "two", 255, '!'}, "-1 two ff !"}};
    return table;
}

// snprintf whole and cut, with a null buffer, vsnprintf, sprintf and vsprintf;
// fprintf, vfprintf and printf on a memory stream (no kernel call).
TEST_F(FormatTest, EveryFunctionGivesEveryByteAndItsCount)
{
    for (const Row& row : rows()) {
        SCOPED_TRACE("format '" + row.format + "'");
        guest().reset();
        const int32_t len = int32_t(row.buffer.size());
        for (uint32_t size : {256u, 0u, 1u, 3u, 5u, 6u})
            EXPECT_EQ(into_buffer("snprintf", row, size), len) << "snprintf of " << size;
        for (uint32_t size : {0u, 10u, 0xFFFFFFFFu})
            EXPECT_EQ(run("snprintf", words({0, size, str(row.format)}, row.args)), len) << "null buffer of " << size;
        for (uint32_t size : {64u, 3u})
            EXPECT_EQ(into_buffer("vsnprintf", row, size), len) << "vsnprintf of " << size;
        for (const char* function : {"sprintf", "vsprintf"})
            EXPECT_EQ(into_buffer(function, row, uint32_t(len + 1)), len) << function;
        const std::string& out = row.stream.value_or(row.buffer);
        for (const std::string function : {"fprintf", "vfprintf", "printf"}) {
            const uint32_t s = memstream(), format = str(row.format);
            guest().write_u32(guest().symbol("stdout"), s); // printf follows stdout wherever it points
            const int32_t n = function == "printf" ? run(function, words({format}, row.args))
                : function == "fprintf"            ? run(function, words({s, format}, row.args))
                                                   : run(function, {s, format, va_area(row.args)});
            EXPECT_EQ(n, int32_t(out.size())) << function;
            EXPECT_EQ(published(), out) << function;
            EXPECT_TRUE(guest().calls().empty()) << function;
        }
    }
}

// printf on the console: one write per literal byte, fill byte, sign, prefix
// character and zero, one for the digits or a string's body; a leading "%c"
// writes the four-byte control record first, outside the count.
TEST_F(FormatTest, PrintfWritesEachPieceInOneCall)
{
    // The format and its arguments, the bytes of each write, and the count.
    const std::tuple<std::string, std::vector<Arg>, std::vector<std::string>, int32_t> cases[] = {
        {"hi %d!", {42}, {"h", "i", " ", "42", "!"}, 6}, {"%6.3d", {-42}, {" ", " ", "-", "0", "42"}, 6},
        {"%12.8p", {4660}, {" ", " ", "0", "x", "0", "0", "0", "0", "1234"}, 12},
        {"%lld", {lo(-1234567890123ll), hi(-1234567890123ll)}, {"-", "1234567890123"}, 14},
        {"%4s|%s", {"ab", "xyz"}, {" ", " ", "ab", "|", "xyz"}, 8}, {"%q%%", {}, {"%", "q", "%"}, 3},
        {"%s%.0s", {"", "abc"}, {}, 0}, {"x%c", {0}, {"x", "\0"s}, 2},
        {"%cHello", {17, 34, 51}, {"\xFF\x11\x22\x33", "H", "e", "l", "l", "o"}, 5},
        {"%c%d", {0x1FF, 0x100, -2, 7}, {"\xFF\xFF\x00\xFE"s, "7"}, 1}, {"%c", {1, 2, 3}, {"\xFF\x01\x02\x03"}, 0},
        {"%c%c", {1, 2, 3, 'A'}, {"\xFF\x01\x02\x03", "A"}, 1}, {"%5c", {65}, {"A"}, 1}, {" %c", {65}, {" ", "A"}, 2}};
    for (const auto& [format, args, pieces, result] : cases) {
        SCOPED_TRACE("format '" + format + "'");
        guest().reset();
        EXPECT_EQ(run("printf", words({str(format)}, args)), result);
        std::vector<uint32_t> lengths;
        for (const std::string& p : pieces)
            lengths.push_back(uint32_t(p.size()));
        EXPECT_EQ(console_writes(), lengths);
        EXPECT_EQ(guest().output(), std::accumulate(pieces.begin(), pieces.end(), std::string()));
    }
}

TEST_F(FormatTest, TheControlRecordGoesToDescriptorOneStreamsOnly)
{
    EXPECT_EQ(run("fprintf", {record(kFdKind, 1), str("%cA"), 4, 5, 6}), 1);
    EXPECT_EQ(run("fprintf", {guest().global_u32("stderr"), str("%cE"), 7, 8, 9}), 1);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{4, 1, 4, 1}));
    EXPECT_EQ(guest().output(), "\xFF\x04\x05\x06"s + "A\xFF\x07\x08\x09" + "E");
    const uint32_t s = memstream();
    EXPECT_EQ(run("fprintf", {s, str("%cHello"), 17, 34, 51}), 6);
    EXPECT_EQ(published(), "\x11Hello");
    // A failed record ends the call.
    guest().reset();
    guest().inject("write@1=-5");
    EXPECT_EQ(run("printf", {str("%cHello"), 1, 2, 3}), kFail);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{4}));
}

TEST_F(FormatTest, ANullFormatIsEmptyForBuffersAndRefusedByStreams)
{
    const uint32_t buf = buffer(8);
    EXPECT_EQ(run("snprintf", {buf, 0, 0}), 0);
    EXPECT_EQ(run("snprintf", {0, 8, 0}), 0);
    expect_stored(buf, 8, "");
    EXPECT_EQ(run("snprintf", {buf, 8, 0}), 0);
    EXPECT_EQ(run("vsnprintf", {buf + 1, 7, 0, 0}), 0);
    expect_stored(buf, 8, "\0\0"s);
    EXPECT_EQ(run("fprintf", {0, str("x")}), kFail);
    EXPECT_EQ(run("fprintf", {guest().global_u32("stdout"), 0}), kFail);
    EXPECT_EQ(run("vfprintf", {0, str("x"), 0}), kFail);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(FormatTest, ADescriptorTwoStreamRefusesOutputButNotAnEmptyOne)
{
    const uint32_t s = record(kFdKind, 2);
    for (const char* f : {"hi", "%d", "%s", "%%", "%c"})
        EXPECT_EQ(run("fprintf", {s, str(f), str("x"), 1, 3}), kFail) << f;
    for (const char* f : {"", "%5", "%.0s", "%ll"})
        EXPECT_EQ(run("fprintf", {s, str(f), str("x")}), 0) << f;
    EXPECT_EQ(run("fprintf", {guest().global_u32("stdin"), str("hi")}), kFail);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(FormatTest, AFailedWriteEndsTheCallWithTheEarlierBytesKept)
{
    // The format (of 7), the write that fails, and the bytes written before it.
    const std::tuple<std::string, std::string, std::string> cases[]
        = {{"ab%5d", "write@3=0", "ab"}, {"-%d-", "write@2=-1", "-"},
            {"%4294967296d", "write@4=-1", "   "},     // a saturated width fills; wrapped it would be none
            {"%.4294967298d", "write@6=-1", "00000"}}; // a saturated precision too; wrapped it would be 2
    for (const auto& [format, inject, kept] : cases) {
        SCOPED_TRACE(format);
        guest().reset();
        guest().inject(inject);
        EXPECT_EQ(run("printf", {str(format), 7}), kFail);
        EXPECT_EQ(console_writes(), std::vector<uint32_t>(kept.size() + 1, 1)); // one byte a write
        EXPECT_EQ(guest().output(), kept);
    }
    guest().reset();
    // On a memory stream: the heap runs out, what was appended stays.
    const uint32_t s = memstream();
    EXPECT_EQ(run("fputs", {str("ab"), s}), 2);
    for (uint32_t size = 0x100000; size > 0; size /= 2)
        while (run("malloc", {size}) != 0) { }
    EXPECT_EQ(run("fprintf", {s, str("%300d"), 1}), kFail);
    EXPECT_EQ(published(), "ab" + std::string(253, ' '));
}

// A few thousand instructions, not one step per character: huge counts are
// counted without storing them, and the count stops at the largest int.
TEST_F(FormatTest, HugeWidthsAreCountedWithoutStoringThem)
{
    // The format, its arguments and the output's first 7 bytes; the count.
    const std::tuple<Row, int32_t> cases[]
        = {{{"%.4294967298s|", {"abcdef"}, "abcdef|"}, 7}, {{"%.99999999999s|", {"abcdef"}, "abcdef|"}, 7},
            {{"%.4294967298d", {7}, "0000000"}, kIntMax}, {{"%4294967298d", {7}, "       "}, kIntMax},
            {{"%-99999999999d|", {-7}, "-7     "}, kIntMax}, {{"%099999999999d", {-7}, "-000000"}, kIntMax},
            {{"%2147483646d", {7}, "       "}, kIntMax - 1}, {{"%-2147483646s|", {"ab"}, "ab     "}, kIntMax},
            {{"%*d", {kIntMax, 7}, "       "}, kIntMax}, // beyond a signed 32-bit count it stays at the largest
            {{"%2147483647d%2147483647d%2147483647d", {1, 2, 3}, "       "}, kIntMax},
            {{"%2147483647dab", {1}, "       "}, kIntMax}};
    for (const auto& [row, result] : cases) {
        SCOPED_TRACE("format '" + row.format + "'");
        guest().reset();
        guest().machine().set_instruction_limit(20000);
        for (uint32_t size : {8u, 1u})
            EXPECT_EQ(into_buffer("snprintf", row, size), result);
        EXPECT_EQ(run("snprintf", words({0, 0, str(row.format)}, row.args)), result);
    }
}

TEST_F(FormatTest, SprintfStopsStoringAfter65535Characters)
{
    for (const char* function : {"sprintf", "vsprintf"}) {
        guest().reset();
        const uint32_t buf = buffer(70000);
        EXPECT_EQ(run(function, {buf, str("%70000d"), function[0] == 'v' ? va_area({7}) : 7}), 70000);
        expect_stored(buf, 70000, std::string(65535, ' ') + '\0');
    }
}

} // namespace
} // namespace vekos::test
