// Both formatters on the real i386 code: every byte stored or written, the
// results, the bytes around each buffer, and the kernel calls made.
#include "harness.h"

#include "layout.h"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

using namespace std::string_literals;

constexpr uint8_t kCanary = 0xEE;
constexpr uint32_t kGuard = 16;  // canary bytes on each side of a buffer
constexpr int32_t kFail = -1;
constexpr int32_t kIntMax = 0x7FFFFFFF;
constexpr uint32_t kWrite = 1;   // kernel call number
constexpr uint32_t kRecordWords = 11;
constexpr uint32_t kKindField = 0, kFdField = 4;
constexpr uint32_t kFdKind = 1;

// A string argument, placed in guest memory for the call.
struct Str {
    std::string text;
};

// One argument word, or a string whose guest address becomes the word.
struct Arg {
    template <std::integral T>
    Arg(T v) : word(uint32_t(v))
    {
        static_assert(sizeof(T) <= 4, "pass 64-bit values as lo() and hi()");
    }
    Arg(Str s) : text(std::move(s.text)), is_text(true) {}

    uint32_t word = 0;
    std::string text;
    bool is_text = false;
};

uint32_t lo(uint64_t v) { return uint32_t(v); }
uint32_t hi(uint64_t v) { return uint32_t(v >> 32); }

// A format, its arguments, and every byte of the output it must give.
struct Row {
    std::string format;
    std::vector<Arg> args;
    std::string out;
};

std::string label(const Row& row) { return "format '" + row.format + "'"; }

class FormatTest : public GuestTest {
protected:
    std::vector<uint32_t> words(const std::vector<Arg>& args)
    {
        std::vector<uint32_t> w;
        for (const Arg& a : args)
            w.push_back(a.is_text ? guest().put_string(a.text) : a.word);
        return w;
    }
    // The argument words in guest memory: an i386 va_list points at them.
    uint32_t va_area(const std::vector<Arg>& args)
    {
        std::vector<uint32_t> w = words(args);
        uint32_t area = guest().alloc(uint32_t(4 * w.size() + 4), 0x77);
        for (size_t i = 0; i < w.size(); ++i)
            guest().write_u32(area + uint32_t(4 * i), w[i]);
        return area;
    }
    int32_t run(std::string_view function, std::vector<uint32_t> args)
    {
        CallResult r = guest().call(function, args);
        EXPECT_TRUE(r.returned()) << function << (r.stop.fault ? ": " + r.stop.fault->message() : "");
        return r.value();
    }
    std::vector<uint32_t> concat(std::vector<uint32_t> head, const std::vector<uint32_t>& tail)
    {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    }

    // A buffer of size bytes between two runs of canaries.
    uint32_t buffer(uint32_t size) { return guest().alloc(size + 2 * kGuard, kCanary) + kGuard; }
    // The buffer must hold `stored` and nothing else may have changed.
    void expect_stored(uint32_t buf, uint32_t size, const std::string& stored, const std::string& what)
    {
        ASSERT_LE(stored.size(), size) << what;
        auto bytes = guest().read(buf - kGuard, size + 2 * kGuard);
        std::string want = std::string(kGuard, char(kCanary)) + stored +
                           std::string(size - stored.size() + kGuard, char(kCanary));
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), want) << what;
    }
    // What a buffer of this size keeps of the full output: the first
    // size - 1 bytes and a terminator; nothing at all for size 0.
    static std::string kept(const std::string& out, uint32_t size)
    {
        return size == 0 ? "" : out.substr(0, std::min<size_t>(out.size(), size - 1)) + '\0';
    }

    // snprintf into a guarded buffer; checks the bytes and answers the result.
    int32_t snprintf_checked(const Row& row, uint32_t size, const std::string& stored)
    {
        uint32_t buf = buffer(size);
        uint32_t fmt = guest().put_string(row.format);
        int32_t n = run("snprintf", concat({buf, size, fmt}, words(row.args)));
        expect_stored(buf, size, stored, label(row) + " size " + std::to_string(size));
        return n;
    }

    uint32_t memstream(uint32_t& bufp, uint32_t& sizep)
    {
        bufp = guest().alloc(4, 0xAB);
        sizep = guest().alloc(4, 0xAB);
        uint32_t s = uint32_t(run("open_memstream", {bufp, sizep}));
        EXPECT_NE(s, 0u);
        guest().kernel().clear_log();
        return s;
    }
    // Everything a memory stream holds, its terminator checked too.
    std::string published(uint32_t bufp, uint32_t sizep)
    {
        uint32_t data = guest().read_u32(bufp), len = guest().read_u32(sizep);
        if (data == 0) {
            EXPECT_EQ(len, 0u);
            return "";
        }
        auto bytes = guest().read(data, len + 1);
        EXPECT_EQ(bytes.back(), 0) << "no terminator after the stream's bytes";
        return std::string(bytes.begin(), bytes.end() - 1);
    }
    uint32_t hand_record(uint32_t kind, uint32_t fd)
    {
        uint32_t s = uint32_t(run("calloc", {1, 4 * kRecordWords}));
        guest().write_u32(s + kKindField, kind);
        guest().write_u32(s + kFdField, fd);
        return s;
    }
    uint32_t standard(const char* name) { return guest().global_u32(name); }

    // Lengths of the kernel calls so far; every one must be a write to descriptor 1.
    std::vector<uint32_t> console_writes()
    {
        std::vector<uint32_t> lengths;
        for (const CallRecord& c : guest().calls()) {
            EXPECT_EQ(c.in.eax, kWrite);
            EXPECT_EQ(c.in.ebx, 1u);
            lengths.push_back(c.in.edx);
        }
        return lengths;
    }
    // printf must make exactly these writes, one piece each, and answer `result`.
    void expect_pieces(const Row& row, const std::vector<std::string>& pieces, int32_t result)
    {
        guest().reset();
        int32_t n = run("printf", concat({guest().put_string(row.format)}, words(row.args)));
        EXPECT_EQ(n, result) << label(row);
        std::vector<uint32_t> want_lengths;
        std::string want_output;
        for (const std::string& p : pieces) {
            want_lengths.push_back(uint32_t(p.size()));
            want_output += p;
        }
        EXPECT_EQ(console_writes(), want_lengths) << label(row);
        EXPECT_EQ(guest().output(), want_output) << label(row);
    }
};

// ---- the digit renderer ------------------------------------------------------

TEST_F(FormatTest, RenderWritesTheDigitsMostSignificantFirstAndNoTerminator)
{
    struct Case {
        uint32_t value, base;
        int upper;
        std::string digits;
    } cases[] = {
        {0, 10, 0, "0"},           {0, 16, 1, "0"},          {7, 10, 0, "7"},
        {9, 10, 0, "9"},           {10, 10, 0, "10"},        {1000000, 10, 0, "1000000"},
        {4294967295u, 10, 0, "4294967295"}, {2147483648u, 10, 1, "2147483648"},
        {15, 16, 0, "f"},          {16, 16, 0, "10"},        {255, 16, 0, "ff"},
        {255, 16, 1, "FF"},        {3735928559u, 16, 0, "deadbeef"}, {3735928559u, 16, 7, "DEADBEEF"},
        {0x80000000u, 16, 0, "80000000"}, {0x0ABCDEF1u, 16, 1, "ABCDEF1"},
    };
    for (const Case& c : cases) {
        guest().reset();
        uint32_t area = buffer(12);
        uint32_t count = guest().alloc(4, 0x55);
        run("snbuf_render_unsigned", {area, count, c.value, c.base, uint32_t(c.upper)});
        EXPECT_EQ(guest().read_u32(count), c.digits.size()) << c.value;
        expect_stored(area, 12, c.digits, std::to_string(c.value));
    }
}

// ---- the buffer formatter ----------------------------------------------------

// Every example of the buffer formatter, and more of the same kind.
const std::vector<Row>& buffer_rows()
{
    static const std::vector<Row> rows = {
        {"hello", {}, "hello"},
        {"", {}, ""},
        {"abc%", {}, "abc"},
        {"%", {}, ""},
        {"x%5", {}, "x"},
        {"x%-", {}, "x"},
        {"x%.", {}, "x"},
        {"x%l", {}, "x"},
        {"x%ll", {}, "x"},
        {"x%z", {}, "x"},
        {"x%*", {7}, "x"},
        {"x%-0+12.*l", {7}, "x"},
        {"100%%", {}, "100%"},
        {"%5%", {}, "%"},
        {"%-05.3%|", {}, "%|"},
        {"%q", {}, "%q"},
        {"%-5q", {}, "%q"},
        {"%q%d", {5}, "%q5"},
        {"%hd", {}, "%hd"},
        {"%hhd", {}, "%hhd"},
        {"%jd %td %Lf", {}, "%jd %td %Lf"},
        {"% d", {}, "% d"},
        {"%#x", {}, "%#x"},
        {"%f", {}, "%f"},
        {"%5.2lq", {}, "%q"},
        {"%zzd", {}, "%zd"},
        {"%lz", {}, "%z"},
        {"%n%o%e", {}, "%n%o%e"},
        {"%d", {-2147483647 - 1}, "-2147483648"},
        {"%i", {2147483647}, "2147483647"},
        {"%d", {0}, "0"},
        {"%u", {4294967295u}, "4294967295"},
        {"%u", {-1}, "4294967295"},
        {"%x", {3735928559u}, "deadbeef"},
        {"%X", {3735928559u}, "DEADBEEF"},
        {"%ld %lu %lx", {-3, 3, 0xabcu}, "-3 3 abc"},
        {"%zu %zX", {8, 0xabcu}, "8 ABC"},
        {"%*d", {-5, 42}, "42"},
        {"%-*d|", {-5, 42}, "42|"},
        {"%*d", {5, 42}, "   42"},
        {"%.*d", {-1, 42}, "42"},
        {"%.*d", {4, 42}, "0042"},
        {"%0*.*d", {5, -1, 42}, "00042"},
        {"%*.*s|", {-4, -9, Str{"abc"}}, "abc|"},
        {"%lld %d", {lo(1099511627776ull), hi(1099511627776ull)}, "0 256"},
        {"%lld|%lld", {lo(-5ll), hi(-5ll)}, "-5|-1"},
        {"%c|", {0}, "\0|"s},
        {"%c%c%c", {'a', 0x142, -1}, "aB\xff"},
        {"%5c", {65}, "A"},
        {"%-5.3c|", {65}, "A|"},
        {"%10p", {4660}, "0x1234"},
        {"%-+010.8p|", {4660}, "0x1234|"},
        {"%p", {0}, "0x0"},
        {"%p", {0xFFFFFFFFu}, "0xffffffff"},
        {"%+5u", {42}, "   42"},
        {"%+x", {255}, "ff"},
        {"%+X", {255}, "FF"},
        {"%5d", {42}, "   42"},
        {"%-5d", {42}, "42   "},
        {"%05d", {-42}, "-0042"},
        {"%+05d", {42}, "+0042"},
        {"%5.3d", {-42}, " -042"},
        {"%05.3d", {42}, "  042"},
        {"%+d", {0}, "+0"},
        {"%+d", {-7}, "-7"},
        {"%08X", {2748}, "00000ABC"},
        {"%8.4x", {255}, "    00ff"},
        {"%-05d|", {42}, "42   |"},
        {"%0-5d|", {42}, "42   |"},
        {"%-+-+5d|", {42}, "+42  |"},
        {"%-8.4x|", {255}, "00ff    |"},
        {"%.0d", {0}, "0"},
        {"%5.0d", {0}, "    0"},
        {"%.0x", {0}, "0"},
        {"%2d", {12345}, "12345"},
        {"%5.5d", {-1}, "-00001"},
        {"%010u", {4294967295u}, "4294967295"},
        {"%011u", {4294967295u}, "04294967295"},
        {"%5s", {Str{"abc"}}, "  abc"},
        {"%-5s|", {Str{"abc"}}, "abc  |"},
        {"%.2s", {Str{"abc"}}, "ab"},
        {"%5.2s", {Str{"abc"}}, "   ab"},
        {"%.3s", {0}, "(nu"},
        {"%8s", {0}, "  (null)"},
        {"%-8s|", {0}, "(null)  |"},
        {"%s", {0}, "(null)"},
        {"%05s|%+s", {Str{"ab"}, Str{"cd"}}, "   ab|cd"},
        {"%.0s|", {Str{"abc"}}, "|"},
        {"%.9s|", {Str{"abc"}}, "abc|"},
        {"%3s|", {Str{""}}, "   |"},
        {"[%s]", {Str{"with\ttab"}}, "[with\ttab]"},
        {"%d%s%c%x", {1, Str{"two"}, '3', 4}, "1two34"},
    };
    return rows;
}

TEST_F(FormatTest, SnprintfGivesEveryByteAndTheFullLength)
{
    for (const Row& row : buffer_rows()) {
        guest().reset();
        EXPECT_EQ(snprintf_checked(row, 256, row.out + '\0'), int32_t(row.out.size())) << label(row);
    }
}

TEST_F(FormatTest, CutOutputsKeepSizeMinusOneBytesAndCountTheRest)
{
    for (const Row& row : buffer_rows())
        for (uint32_t size : {0u, 1u, 3u, 6u}) {
            guest().reset();
            EXPECT_EQ(snprintf_checked(row, size, kept(row.out, size)), int32_t(row.out.size()))
                << label(row) << " size " << size;
        }
}

TEST_F(FormatTest, HelloAtEachSize)
{
    const Row hello{"hello", {}, "hello"};
    EXPECT_EQ(snprintf_checked(hello, 3, "he\0"s), 5);
    EXPECT_EQ(snprintf_checked(hello, 6, "hello\0"s), 5);
    EXPECT_EQ(snprintf_checked(hello, 1, "\0"s), 5);
    EXPECT_EQ(snprintf_checked(hello, 0, ""), 5);
    EXPECT_EQ(snprintf_checked(hello, 5, "hell\0"s), 5);
}

TEST_F(FormatTest, ANullBufferStoresNothingWhateverTheSize)
{
    for (const Row& row : buffer_rows())
        for (uint32_t size : {0u, 10u, 0xFFFFFFFFu}) {
            guest().reset();
            EXPECT_EQ(run("snprintf", concat({0, size, guest().put_string(row.format)}, words(row.args))),
                      int32_t(row.out.size()))
                << label(row);
        }
}

TEST_F(FormatTest, ANullFormatGivesTheEmptyOutput)
{
    uint32_t buf = buffer(8);
    EXPECT_EQ(run("snprintf", {buf, 8, 0}), 0);
    expect_stored(buf, 8, "\0"s, "null format");
    buf = buffer(8);
    EXPECT_EQ(run("snprintf", {buf, 0, 0}), 0);
    expect_stored(buf, 8, "", "null format, size 0");
    EXPECT_EQ(run("snprintf", {0, 8, 0}), 0);
    buf = buffer(8);
    EXPECT_EQ(run("vsnprintf", {buf, 8, 0, 0}), 0);
    expect_stored(buf, 8, "\0"s, "null format through vsnprintf");
}

TEST_F(FormatTest, VsnprintfReadsTheArgumentWordsItIsPointedAt)
{
    for (const Row& row : buffer_rows()) {
        guest().reset();
        uint32_t buf = buffer(64);
        uint32_t fmt = guest().put_string(row.format);
        EXPECT_EQ(run("vsnprintf", {buf, 64, fmt, va_area(row.args)}), int32_t(row.out.size())) << label(row);
        expect_stored(buf, 64, row.out + '\0', label(row));
        buf = buffer(3);
        EXPECT_EQ(run("vsnprintf", {buf, 3, fmt, va_area(row.args)}), int32_t(row.out.size())) << label(row);
        expect_stored(buf, 3, kept(row.out, 3), label(row));
    }
}

TEST_F(FormatTest, SprintfAndVsprintfStoreTheWholeShortOutput)
{
    for (const Row& row : buffer_rows()) {
        guest().reset();
        uint32_t size = uint32_t(row.out.size() + 1);
        uint32_t buf = buffer(size);
        uint32_t fmt = guest().put_string(row.format);
        EXPECT_EQ(run("sprintf", concat({buf, fmt}, words(row.args))), int32_t(row.out.size())) << label(row);
        expect_stored(buf, size, row.out + '\0', label(row));
        buf = buffer(size);
        EXPECT_EQ(run("vsprintf", {buf, fmt, va_area(row.args)}), int32_t(row.out.size())) << label(row);
        expect_stored(buf, size, row.out + '\0', label(row));
    }
}

TEST_F(FormatTest, SprintfStopsStoringAfter65535Characters)
{
    const uint32_t size = 70016;
    for (const char* function : {"sprintf", "vsprintf"}) {
        guest().reset();
        uint32_t buf = buffer(size);
        uint32_t fmt = guest().put_string("%70000d");
        std::vector<uint32_t> args = {buf, fmt};
        args.push_back(std::string(function) == "sprintf" ? 7u : va_area({7}));
        EXPECT_EQ(run(function, args), 70000) << function;
        expect_stored(buf, size, std::string(65535, ' ') + '\0', function);
    }
}

TEST_F(FormatTest, BufferEnginePrintsTheLowWordOfA64BitArgument)
{
    // Each integer conversion takes one word: "ll" is read and ignored.
    const uint64_t v = 0x0000000500000007ull;
    Row row{"%llu,%llx,%lld", {lo(v), hi(v), 9}, "7,5,9"};
    EXPECT_EQ(snprintf_checked(row, 16, row.out + '\0'), 5);
}

// ---- the stream formatter ------------------------------------------------------

// Every example of the stream formatter and more; none begins with "%c", so
// each gives the same bytes on the console and on a memory stream.
const std::vector<Row>& stream_rows()
{
    static const std::vector<Row> rows = {
        {"hi %d!", {42}, "hi 42!"},
        {"", {}, ""},
        {"%05d", {42}, "   42"},
        {"%00005d|", {42}, "   42|"},
        {"%0d", {42}, "42"},
        {"%-5d", {42}, "%-5d"},
        {"%+d", {42}, "%+d"},
        {"% d", {42}, "% d"},
        {"%#x", {42}, "%#x"},
        {"%X", {255}, "%X"},
        {"%zd", {42}, "%zd"},
        {"%hd", {42}, "%hd"},
        {"%q%d", {5}, "%q5"},
        {"%5.2q", {}, "%q"},
        {"%lq", {}, "%q"},
        {"%llq", {}, "%q"},
        {"%lllu", {7}, "%lu"},
        {"%lld", {lo(0x8000000000000000ull), hi(0x8000000000000000ull)}, "-9223372036854775808"},
        {"%lld", {lo(0x7FFFFFFFFFFFFFFFull), hi(0x7FFFFFFFFFFFFFFFull)}, "9223372036854775807"},
        {"%lli", {lo(-1ll), hi(-1ll)}, "-1"},
        {"%llu", {lo(~0ull), hi(~0ull)}, "18446744073709551615"},
        {"%llu", {lo(10000000000000000000ull), hi(10000000000000000000ull)}, "10000000000000000000"},
        {"%llx", {lo(0x1122334455ull), hi(0x1122334455ull)}, "1122334455"},
        {"%llx", {lo(~0ull), hi(~0ull)}, "ffffffffffffffff"},
        {"%llu", {0, 0}, "0"},
        {"%lld|%d", {lo(-5ll), hi(-5ll), 9}, "-5|9"},
        {"%25.22lld|", {lo(-12345ll), hi(-12345ll)}, "  -0000000000000000012345|"},
        {"%llp", {lo(0xAB00001234ull), hi(0xAB00001234ull)}, "0xab00001234"},
        {"%llc%lls", {'z', Str{"ok"}}, "zok"},
        {"%ld", {42}, "42"},
        {"%lu %lx", {4294967295u, 4294967295u}, "4294967295 ffffffff"},
        {"%d", {-2147483647 - 1}, "-2147483648"},
        {"%u", {-1}, "4294967295"},
        {"%x", {3735928559u}, "deadbeef"},
        {"%i", {-7}, "-7"},
        {"%p", {0}, "0x0"},
        {"%p", {0xFFFFFFFFu}, "0xffffffff"},
        {"%10p|", {4660}, "    0x1234|"},
        {"%.8p", {4660}, "0x00001234"},
        {"%12.8p", {4660}, "  0x00001234"},
        {"%3p", {4660}, "0x1234"},
        {"%6.3d", {-42}, "  -042"},
        {"%*d|", {-5, 42}, "42|"},
        {"%*d|", {5, 42}, "   42|"},
        {"%.*d", {-1, 42}, "42"},
        {"%.*d", {3, 42}, "042"},
        {"%*.*d|", {-6, -2, -42}, "-42|"},
        {"%.0d", {0}, "0"},
        {"%.d", {0}, "0"},
        {"%5.0u", {0}, "    0"},
        {"x%5c", {65}, "xA"},
        {"x%.3c", {66}, "xB"},
        {"x%c|", {0}, "x\0|"s},
        {"x%c", {0x141}, "xA"},
        {"%8s", {0}, "  (null)"},
        {"%s", {0}, "(null)"},
        {"%.2s", {0}, "(n"},
        {"%.0s|", {Str{"abc"}}, "|"},
        {"%5s|", {Str{""}}, "     |"},
        {"%5s|", {Str{"abc"}}, "  abc|"},
        {"%5.1s|", {Str{"abc"}}, "    a|"},
        {"%2s|", {Str{"abcd"}}, "abcd|"},
        {"%.*s|", {-1, Str{"abc"}}, "abc|"},
        {"%*s|", {-4, Str{"abc"}}, "abc|"},
        {"100%%", {}, "100%"},
        {"%5%", {}, "%"},
        {"abc%", {}, "abc"},
        {"ab%ll", {}, "ab"},
        {"ab%l", {}, "ab"},
        {"%5", {}, ""},
        {"a%.", {}, "a"},
        {"a%*", {3}, "a"},
        {"a%.*", {3}, "a"},
        {"%5s", {100}, "     "},     // below the low-address guard: length 0
        {"%.3s|", {4095}, "|"},
        {"%d %s %x %c", {-1, Str{"two"}, 255, '!'}, "-1 two ff !"},
    };
    return rows;
}

TEST_F(FormatTest, FprintfOnAMemoryStreamGivesEveryByte)
{
    for (const Row& row : stream_rows()) {
        guest().reset();
        uint32_t bufp, sizep;
        uint32_t s = memstream(bufp, sizep);
        int32_t n = run("fprintf", concat({s, guest().put_string(row.format)}, words(row.args)));
        EXPECT_EQ(n, int32_t(row.out.size())) << label(row);
        EXPECT_EQ(published(bufp, sizep), row.out) << label(row);
        EXPECT_TRUE(guest().calls().empty()) << label(row);
    }
}

TEST_F(FormatTest, PrintfOnTheConsoleGivesEveryByte)
{
    for (const Row& row : stream_rows()) {
        guest().reset();
        int32_t n = run("printf", concat({guest().put_string(row.format)}, words(row.args)));
        EXPECT_EQ(n, int32_t(row.out.size())) << label(row);
        EXPECT_EQ(guest().output(), row.out) << label(row);
        uint32_t total = 0;
        for (uint32_t len : console_writes())
            total += len;
        EXPECT_EQ(total, row.out.size()) << label(row);
    }
}

TEST_F(FormatTest, VfprintfReadsTheArgumentWordsItIsPointedAt)
{
    for (const Row& row : stream_rows()) {
        guest().reset();
        uint32_t bufp, sizep;
        uint32_t s = memstream(bufp, sizep);
        int32_t n = run("vfprintf", {s, guest().put_string(row.format), va_area(row.args)});
        EXPECT_EQ(n, int32_t(row.out.size())) << label(row);
        EXPECT_EQ(published(bufp, sizep), row.out) << label(row);
    }
}

TEST_F(FormatTest, EachPieceIsOneWrite)
{
    expect_pieces({"hi %d!", {42}, ""}, {"h", "i", " ", "42", "!"}, 6);
    expect_pieces({"%6.3d", {-42}, ""}, {" ", " ", "-", "0", "42"}, 6);
    expect_pieces({"%12.8p", {4660}, ""}, {" ", " ", "0", "x", "0", "0", "0", "0", "1234"}, 12);
    expect_pieces({"%lld", {lo(-1234567890123ll), hi(-1234567890123ll)}, ""}, {"-", "1234567890123"}, 14);
    expect_pieces({"%4s|%s", {Str{"ab"}, Str{"xyz"}}, ""}, {" ", " ", "ab", "|", "xyz"}, 8);
    expect_pieces({"%q%%", {}, ""}, {"%", "q", "%"}, 3);
    // The empty body of "s" is a write of nothing: no call at all.
    expect_pieces({"%s%.0s", {Str{""}, Str{"abc"}}, ""}, {}, 0);
    expect_pieces({"x%c", {0}, ""}, {"x", "\0"s}, 2);
}

TEST_F(FormatTest, AStringBodyIsWrittenStraightFromTheArgument)
{
    uint32_t text = guest().put_string("abcdef");
    EXPECT_EQ(run("printf", {guest().put_string("[%.3s]%s"), text, text + 4}), 7);
    ASSERT_EQ(guest().calls().size(), 4u);
    const CallRegs& body = guest().calls()[1].in;
    EXPECT_EQ(body.eax, kWrite);
    EXPECT_EQ(body.ebx, 1u);
    EXPECT_EQ(body.ecx, text);
    EXPECT_EQ(body.edx, 3u);
    EXPECT_EQ(guest().calls()[3].in.ecx, text + 4);
    EXPECT_EQ(guest().calls()[3].in.edx, 2u);
    EXPECT_EQ(guest().output(), "[abc]ef");
}

TEST_F(FormatTest, PrintfFollowsTheCurrentStdout)
{
    uint32_t bufp, sizep;
    uint32_t s = memstream(bufp, sizep);
    guest().write_u32(guest().symbol("stdout"), s);
    EXPECT_EQ(run("printf", {guest().put_string("n=%d"), 5}), 3);
    EXPECT_EQ(published(bufp, sizep), "n=5");
    EXPECT_TRUE(guest().calls().empty());
    guest().write_u32(guest().symbol("stdout"), 0);
    EXPECT_EQ(run("printf", {guest().put_string("n=%d"), 5}), kFail);
}

TEST_F(FormatTest, StderrWritesToTheConsoleToo)
{
    EXPECT_EQ(run("fprintf", {standard("stderr"), guest().put_string("e%d"), 1}), 2);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{1, 1}));
    EXPECT_EQ(guest().output(), "e1");
}

TEST_F(FormatTest, NullStreamOrFormatWritesNothing)
{
    uint32_t fmt = guest().put_string("x");
    EXPECT_EQ(run("fprintf", {0, fmt}), kFail);
    EXPECT_EQ(run("vfprintf", {0, fmt, 0}), kFail);
    EXPECT_EQ(run("fprintf", {standard("stdout"), 0}), kFail);
    EXPECT_EQ(run("printf", {0}), kFail);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(FormatTest, ConsoleControlRecordComesFirstAndIsNotCounted)
{
    expect_pieces({"%cHello", {17, 34, 51}, ""}, {"\xFF\x11\x22\x33", "H", "e", "l", "l", "o"}, 5);
    // Only the low byte of each argument; the format goes on after "%c".
    expect_pieces({"%c%d", {0x1FF, 0x100, -2, 7}, ""}, {"\xFF\xFF\x00\xFE"s, "7"}, 1);
    expect_pieces({"%c", {1, 2, 3}, ""}, {"\xFF\x01\x02\x03"}, 0);
    expect_pieces({"%c%c", {1, 2, 3, 'A'}, ""}, {"\xFF\x01\x02\x03", "A"}, 1);
    // Anything before the "%c" makes it an ordinary conversion.
    expect_pieces({"%5c", {65}, ""}, {"A"}, 1);
    expect_pieces({" %c", {65}, ""}, {" ", "A"}, 2);
}

TEST_F(FormatTest, ControlRecordGoesToEveryDescriptorOneStream)
{
    uint32_t s = hand_record(kFdKind, 1);
    EXPECT_EQ(run("fprintf", {s, guest().put_string("%cA"), 4, 5, 6}), 1);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{4, 1}));
    EXPECT_EQ(guest().output(), "\xFF\x04\x05\x06" "A");
    guest().reset();
    EXPECT_EQ(run("fprintf", {standard("stderr"), guest().put_string("%c"), 7, 8, 9}), 0);
    EXPECT_EQ(guest().output(), "\xFF\x07\x08\x09");
}

TEST_F(FormatTest, OnAMemoryStreamALeadingCIsAnOrdinaryConversion)
{
    uint32_t bufp, sizep;
    uint32_t s = memstream(bufp, sizep);
    EXPECT_EQ(run("fprintf", {s, guest().put_string("%cHello"), 17, 34, 51}), 6);
    EXPECT_EQ(published(bufp, sizep), "\x11Hello");
    EXPECT_EQ(run("fprintf", {s, guest().put_string("%c|"), 0}), 2);
    EXPECT_EQ(published(bufp, sizep), "\x11Hello\0|"s);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(FormatTest, AFailedControlRecordEndsTheCall)
{
    guest().inject("write@1=-5");
    EXPECT_EQ(run("printf", {guest().put_string("%cHello"), 1, 2, 3}), kFail);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{4}));
    EXPECT_EQ(guest().output(), "");
}

TEST_F(FormatTest, ADescriptorTwoStreamRefusesOutput)
{
    uint32_t s = hand_record(kFdKind, 2);
    for (const char* f : {"hi", "%d", "%s", "%%", "%c"})
        EXPECT_EQ(run("fprintf", {s, guest().put_string(f), guest().put_string("x"), 1, 3}), kFail) << f;
    // Formats that produce nothing succeed before any write is tried.
    for (const char* f : {"", "%5", "%.0s", "%ll"})
        EXPECT_EQ(run("fprintf", {s, guest().put_string(f), guest().put_string("x")}), 0) << f;
    EXPECT_EQ(run("fprintf", {standard("stdin"), guest().put_string("hi")}), kFail);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(FormatTest, AFailedWriteEndsTheCallWithTheEarlierBytesKept)
{
    guest().inject("write@3=0");
    EXPECT_EQ(run("printf", {guest().put_string("ab%5d"), 7}), kFail);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{1, 1, 1}));
    EXPECT_EQ(guest().output(), "ab");

    // A failure in the digits, the last piece.
    guest().reset();
    guest().inject("write@2=-1");
    EXPECT_EQ(run("printf", {guest().put_string("-%d-"), 123}), kFail);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(guest().output(), "-");

    // On a memory stream: the heap runs out, what was appended stays.
    guest().reset();
    uint32_t bufp, sizep;
    uint32_t s = memstream(bufp, sizep);
    EXPECT_EQ(run("fputs", {guest().put_string("ab"), s}), 2);
    for (uint32_t size = 0x100000; size > 0; size /= 2)
        while (run("malloc", {size}) != 0) {
        }
    EXPECT_EQ(run("fprintf", {s, guest().put_string("%300d"), 1}), kFail);
    EXPECT_EQ(published(bufp, sizep), "ab" + std::string(253, ' '));
}

// ---- mended faults ---------------------------------------------------------------

// Bytes placed so that the last one is the last mapped byte of scratch memory.
uint32_t at_end_of_mapping(GuestMachine& g, const std::string& bytes)
{
    uint32_t addr = kScratchBase + kScratchSize - uint32_t(bytes.size());
    std::vector<uint8_t> b(bytes.begin(), bytes.end());
    EXPECT_TRUE(g.machine().memory().poke(addr, b));
    EXPECT_THROW(g.read(kScratchBase + kScratchSize, 1), std::out_of_range);
    return addr;
}

TEST_F(FormatTest, APrecisionBoundsTheBytesAStringArgumentReads)
{
    // Arrays without a terminator, right before unmapped memory.
    for (const char* array : {"abc", "abcd", "abcdefgh", "x"}) {
        guest().reset();
        const std::string text = array;
        uint32_t p = at_end_of_mapping(guest(), text);
        const uint32_t n = uint32_t(text.size());
        const std::string want = "[" + text + "]";

        uint32_t buf = buffer(32);
        EXPECT_EQ(run("snprintf", {buf, 32, guest().put_string("[%.*s]"), n, p}), int32_t(want.size())) << text;
        expect_stored(buf, 32, want + '\0', text);
        // With a width: five columns, the string on the left.
        const std::string padded = "     " + text.substr(0, 1) + "|" + text + std::string(n < 5 ? 5 - n : 0, ' ') + "|";
        buf = buffer(32);
        EXPECT_EQ(run("snprintf", {buf, 32, guest().put_string("%6.1s|%-5.*s|"), p, n, p}),
                  int32_t(padded.size()))
            << text;
        expect_stored(buf, 32, padded + '\0', text);
        uint32_t bufp, sizep;
        uint32_t s = memstream(bufp, sizep);
        EXPECT_EQ(run("fprintf", {s, guest().put_string("[%.*s]"), n, p}), int32_t(want.size())) << text;
        EXPECT_EQ(published(bufp, sizep), want) << text;
        EXPECT_EQ(run("printf", {guest().put_string("[%.*s]"), n, p}), int32_t(want.size())) << text;
        EXPECT_EQ(guest().output(), want) << text;
    }
}

TEST_F(FormatTest, LowAddressStringsAreEmptyInBothEngines)
{
    for (uint32_t p : {1u, 100u, 4095u}) {
        guest().reset();
        Row row{"%5s|%.2s|%-3s|", {p, p, p}, "     ||   |"};
        EXPECT_EQ(snprintf_checked(row, 32, row.out + '\0'), int32_t(row.out.size())) << p;
        uint32_t bufp, sizep;
        uint32_t s = memstream(bufp, sizep);
        EXPECT_EQ(run("fprintf", {s, guest().put_string("%5s|%.2s|"), p, p}), 7) << p;
        EXPECT_EQ(published(bufp, sizep), "     ||") << p;
    }
}

TEST_F(FormatTest, HugeWidthsAreCountedWithoutStoringThem)
{
    struct Case {
        std::string format;
        std::vector<Arg> args;
        std::string stored;  // in a buffer of 8 bytes
        int32_t result;
    } cases[] = {
        {"%.4294967298s|", {Str{"abcdef"}}, "abcdef|\0"s, 7},
        {"%.99999999999s|", {Str{"abcdef"}}, "abcdef|\0"s, 7},
        {"%.4294967298d", {7}, "0000000\0"s, kIntMax},
        {"%4294967298d", {7}, "       \0"s, kIntMax},
        {"%-99999999999d|", {-7}, "-7     \0"s, kIntMax},
        {"%099999999999d", {-7}, "-000000\0"s, kIntMax},
        {"%2147483646d", {7}, "       \0"s, kIntMax - 1},
        {"%-2147483646s|", {Str{"ab"}}, "ab     \0"s, kIntMax},
        {"%*d", {kIntMax, 7}, "       \0"s, kIntMax},
        // Longer than a signed 32-bit count: the answer stays at its largest.
        {"%2147483647d%2147483647d%2147483647d", {1, 2, 3}, "       \0"s, kIntMax},
        {"%2147483647dab", {1}, "       \0"s, kIntMax},
    };
    for (const Case& c : cases) {
        guest().reset();
        Row row{c.format, c.args, ""};
        // Storing a few bytes and counting the rest takes a few thousand
        // instructions, not one step per generated character.
        guest().machine().set_instruction_limit(20000);
        EXPECT_EQ(snprintf_checked(row, 8, c.stored), c.result) << c.format;
        EXPECT_EQ(run("snprintf", concat({0, 0, guest().put_string(c.format)}, words(c.args))), c.result)
            << c.format;
        uint32_t buf = buffer(1);
        EXPECT_EQ(run("snprintf", concat({buf, 1, guest().put_string(c.format)}, words(c.args))), c.result)
            << c.format;
        expect_stored(buf, 1, "\0"s, c.format);
    }
}

TEST_F(FormatTest, CountsTooLargeFor32BitsSaturateInTheStreamEngine)
{
    // Saturated, the precision lets the whole string through; wrapped it would
    // be 2 and 1215752191.
    uint32_t bufp, sizep;
    uint32_t s = memstream(bufp, sizep);
    EXPECT_EQ(run("fprintf", {s, guest().put_string("%.4294967298s|%.99999999999s|"), guest().put_string("abcdef"),
                              guest().put_string("xy")}),
              10);
    EXPECT_EQ(published(bufp, sizep), "abcdef|xy|");

    // A saturated width fills with spaces (cut short here by a failing
    // write); wrapped, 4294967296 would be no width at all.
    guest().reset();
    guest().inject("write@4=-1");
    EXPECT_EQ(run("printf", {guest().put_string("%4294967296d"), 5}), kFail);
    EXPECT_EQ(guest().output(), "   ");
    // 4294967298 as a precision would wrap to 2 and print "07".
    guest().reset();
    guest().inject("write@6=-1");
    EXPECT_EQ(run("printf", {guest().put_string("%.4294967298d"), 7}), kFail);
    EXPECT_EQ(guest().output(), "00000");
}

} // namespace
} // namespace vekos::test
