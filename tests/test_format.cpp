// Both formatters on the real i386 code: every byte stored or written, the
// results, the bytes around each buffer, and the kernel calls made.
#include "harness.h"

#include "cpu/layout.h"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

using namespace std::string_literals;

constexpr uint8_t kCanary = 0xEE;
constexpr uint32_t kGuard = 16; // canary bytes on each side of a buffer
constexpr int32_t kFail = -1, kIntMax = 0x7FFFFFFF;
constexpr uint32_t kWrite = 1; // kernel call number
constexpr uint32_t kRecordWords = 11, kKindField = 0, kFdField = 4, kFdKind = 1;

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
    Arg(Str s) : text(std::move(s.text)), is_text(true) { }

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
    // The head words followed by the argument words.
    std::vector<uint32_t> words(std::vector<uint32_t> head, const std::vector<Arg>& args)
    {
        for (const Arg& a : args)
            head.push_back(a.is_text ? guest().put_string(a.text) : a.word);
        return head;
    }
    // The argument words in guest memory: an i386 va_list points at them.
    uint32_t va_area(const std::vector<Arg>& args)
    {
        std::vector<uint32_t> w = words({}, args);
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
    uint32_t str(const std::string& s) { return guest().put_string(s); }

    // A buffer of size bytes between two runs of canaries.
    uint32_t buffer(uint32_t size) { return guest().alloc(size + 2 * kGuard, kCanary) + kGuard; }
    // The buffer must hold `stored` and nothing else may have changed.
    void expect_stored(uint32_t buf, uint32_t size, const std::string& stored, const std::string& what)
    {
        ASSERT_LE(stored.size(), size) << what;
        auto bytes = guest().read(buf - kGuard, size + 2 * kGuard);
        std::string want
            = std::string(kGuard, char(kCanary)) + stored + std::string(size - stored.size() + kGuard, char(kCanary));
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), want) << what;
    }
    // What a buffer of this size keeps: size - 1 bytes and a terminator; nothing for size 0.
    static std::string kept(const std::string& out, uint32_t size)
    {
        return size == 0 ? "" : out.substr(0, std::min<size_t>(out.size(), size - 1)) + '\0';
    }
    // One of the four buffer functions into a guarded buffer; checks the bytes, answers the result.
    int32_t into_buffer(const std::string& function, const Row& row, uint32_t size, const std::string& stored)
    {
        uint32_t buf = buffer(size);
        std::vector<uint32_t> head = {buf};
        if (function.ends_with("snprintf"))
            head.push_back(size);
        head.push_back(str(row.format));
        if (function[0] == 'v')
            head.push_back(va_area(row.args));
        int32_t n = run(function, function[0] == 'v' ? head : words(head, row.args));
        expect_stored(buf, size, stored, label(row) + " " + function + " size " + std::to_string(size));
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
    void expect_pieces(
        const std::string& format, const std::vector<Arg>& args, const std::vector<std::string>& pieces, int32_t result)
    {
        guest().reset();
        EXPECT_EQ(run("printf", words({str(format)}, args)), result) << format;
        std::vector<uint32_t> want_lengths;
        std::string want_output;
        for (const std::string& p : pieces) {
            want_lengths.push_back(uint32_t(p.size()));
            want_output += p;
        }
        EXPECT_EQ(console_writes(), want_lengths) << format;
        EXPECT_EQ(guest().output(), want_output) << format;
    }
};

TEST_F(FormatTest, RenderWritesTheDigitsMostSignificantFirstAndNoTerminator)
{
    struct Case {
        uint32_t value, base;
        int upper;
        std::string digits;
    } cases[] = {
        {0, 10, 0, "0"},
        {0, 16, 1, "0"},
        {7, 10, 0, "7"},
        {9, 10, 0, "9"},
        {10, 10, 0, "10"},
        {1000000, 10, 0, "1000000"},
        {4294967295u, 10, 0, "4294967295"},
        {2147483648u, 10, 1, "2147483648"},
        {15, 16, 0, "f"},
        {16, 16, 0, "10"},
        {255, 16, 0, "ff"},
        {255, 16, 1, "FF"},
        {3735928559u, 16, 0, "deadbeef"},
        {3735928559u, 16, 7, "DEADBEEF"},
        {0x80000000u, 16, 0, "80000000"},
        {0x0ABCDEF1u, 16, 1, "ABCDEF1"},
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
        // Each integer conversion takes one word: "ll" is read and ignored.
        {"%lld %d", {lo(1099511627776ull), hi(1099511627776ull)}, "0 256"},
        {"%lld|%lld", {lo(-5ll), hi(-5ll)}, "-5|-1"},
        {"%llu,%llx,%lld", {7, 5, 9}, "7,5,9"},
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

// snprintf whole and cut (canaries around each buffer), with a null buffer,
// vsnprintf, and sprintf and vsprintf into a buffer just large enough.
TEST_F(FormatTest, BufferFunctionsGiveEveryByteAndTheFullLength)
{
    for (const Row& row : buffer_rows()) {
        guest().reset();
        const int32_t len = int32_t(row.out.size());
        for (uint32_t size : {256u, 0u, 1u, 3u, 5u, 6u})
            EXPECT_EQ(into_buffer("snprintf", row, size, kept(row.out, size)), len) << label(row) << " size " << size;
        for (uint32_t size : {0u, 10u, 0xFFFFFFFFu})
            EXPECT_EQ(run("snprintf", words({0, size, str(row.format)}, row.args)), len) << label(row);
        for (uint32_t size : {64u, 3u})
            EXPECT_EQ(into_buffer("vsnprintf", row, size, kept(row.out, size)), len) << label(row);
        for (const char* function : {"sprintf", "vsprintf"})
            EXPECT_EQ(into_buffer(function, row, uint32_t(len + 1), row.out + '\0'), len) << label(row);
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

TEST_F(FormatTest, SprintfStopsStoringAfter65535Characters)
{
    for (const char* function : {"sprintf", "vsprintf"}) {
        guest().reset();
        EXPECT_EQ(into_buffer(function, {"%70000d", {7}, ""}, 70016, std::string(65535, ' ') + '\0'), 70000);
    }
}

// ---- the stream formatter ------------------------------------------------------

// None begins with "%c", so each gives the same bytes on the console and on a memory stream.
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
        {"%5s", {100}, "     "} /* below the low-address guard: length 0 */,
        {"%.3s|", {4095}, "|"},
        {"%d %s %x %c", {-1, Str{"two"}, 255, '!'}, "-1 two ff !"},
    };
    return rows;
}

// fprintf and vfprintf on a memory stream (no kernel call), printf on the console.
TEST_F(FormatTest, StreamFunctionsGiveEveryByte)
{
    for (const Row& row : stream_rows()) {
        guest().reset();
        const int32_t len = int32_t(row.out.size());
        for (bool listed : {false, true}) {
            uint32_t bufp, sizep, s = memstream(bufp, sizep);
            EXPECT_EQ(listed ? run("vfprintf", {s, str(row.format), va_area(row.args)})
                             : run("fprintf", words({s, str(row.format)}, row.args)),
                len)
                << label(row);
            EXPECT_EQ(published(bufp, sizep), row.out) << label(row);
            EXPECT_TRUE(guest().calls().empty()) << label(row);
        }
        EXPECT_EQ(run("printf", words({str(row.format)}, row.args)), len) << label(row);
        EXPECT_EQ(guest().output(), row.out) << label(row);
        uint32_t total = 0;
        for (uint32_t l : console_writes())
            total += l;
        EXPECT_EQ(total, row.out.size()) << label(row);
    }
}

TEST_F(FormatTest, EachPieceIsOneWrite)
{
    expect_pieces("hi %d!", {42}, {"h", "i", " ", "42", "!"}, 6);
    expect_pieces("%6.3d", {-42}, {" ", " ", "-", "0", "42"}, 6);
    expect_pieces("%12.8p", {4660}, {" ", " ", "0", "x", "0", "0", "0", "0", "1234"}, 12);
    expect_pieces("%lld", {lo(-1234567890123ll), hi(-1234567890123ll)}, {"-", "1234567890123"}, 14);
    expect_pieces("%4s|%s", {Str{"ab"}, Str{"xyz"}}, {" ", " ", "ab", "|", "xyz"}, 8);
    expect_pieces("%q%%", {}, {"%", "q", "%"}, 3);
    expect_pieces("%s%.0s", {Str{""}, Str{"abc"}}, {}, 0); // an empty body makes no call
    expect_pieces("x%c", {0}, {"x", "\0"s}, 2);
}

TEST_F(FormatTest, AStringBodyIsWrittenStraightFromTheArgument)
{
    uint32_t text = str("abcdef");
    EXPECT_EQ(run("printf", {str("[%.3s]%s"), text, text + 4}), 7);
    ASSERT_EQ(console_writes(), (std::vector<uint32_t>{1, 3, 1, 2}));
    EXPECT_EQ(guest().calls()[1].in.ecx, text);
    EXPECT_EQ(guest().calls()[3].in.ecx, text + 4);
    EXPECT_EQ(guest().output(), "[abc]ef");
}

TEST_F(FormatTest, PrintfFollowsTheCurrentStdoutAndStderrIsTheConsole)
{
    uint32_t bufp, sizep, s = memstream(bufp, sizep);
    guest().write_u32(guest().symbol("stdout"), s);
    EXPECT_EQ(run("printf", {str("n=%d"), 5}), 3);
    EXPECT_EQ(published(bufp, sizep), "n=5");
    EXPECT_TRUE(guest().calls().empty());
    EXPECT_EQ(run("fprintf", {standard("stderr"), str("e%d"), 1}), 2);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{1, 1}));
    EXPECT_EQ(guest().output(), "e1");
    guest().write_u32(guest().symbol("stdout"), 0);
    EXPECT_EQ(run("printf", {str("n=%d"), 5}), kFail);
}

TEST_F(FormatTest, NullStreamOrFormatWritesNothing)
{
    uint32_t fmt = str("x");
    EXPECT_EQ(run("fprintf", {0, fmt}), kFail);
    EXPECT_EQ(run("vfprintf", {0, fmt, 0}), kFail);
    EXPECT_EQ(run("fprintf", {standard("stdout"), 0}), kFail);
    EXPECT_EQ(run("printf", {0}), kFail);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(FormatTest, ConsoleControlRecordComesFirstAndIsNotCounted)
{
    expect_pieces("%cHello", {17, 34, 51}, {"\xFF\x11\x22\x33", "H", "e", "l", "l", "o"}, 5);
    // Only the low byte of each argument; the format goes on after "%c".
    expect_pieces("%c%d", {0x1FF, 0x100, -2, 7}, {"\xFF\xFF\x00\xFE"s, "7"}, 1);
    expect_pieces("%c", {1, 2, 3}, {"\xFF\x01\x02\x03"}, 0);
    expect_pieces("%c%c", {1, 2, 3, 'A'}, {"\xFF\x01\x02\x03", "A"}, 1);
    // Anything before the "%c" makes it an ordinary conversion.
    expect_pieces("%5c", {65}, {"A"}, 1);
    expect_pieces(" %c", {65}, {" ", "A"}, 2);
    // Every descriptor-1 stream sends it, and so does stderr.
    guest().reset();
    EXPECT_EQ(run("fprintf", {hand_record(kFdKind, 1), str("%cA"), 4, 5, 6}), 1);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{4, 1}));
    EXPECT_EQ(guest().output(),
        "\xFF\x04\x05\x06"
        "A");
    guest().reset();
    EXPECT_EQ(run("fprintf", {standard("stderr"), str("%c"), 7, 8, 9}), 0);
    EXPECT_EQ(guest().output(), "\xFF\x07\x08\x09");
    // A failed record ends the call.
    guest().reset();
    guest().inject("write@1=-5");
    EXPECT_EQ(run("printf", {str("%cHello"), 1, 2, 3}), kFail);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{4}));
    EXPECT_EQ(guest().output(), "");
}

TEST_F(FormatTest, OnAMemoryStreamALeadingCIsAnOrdinaryConversion)
{
    uint32_t bufp, sizep, s = memstream(bufp, sizep);
    EXPECT_EQ(run("fprintf", {s, str("%cHello"), 17, 34, 51}), 6);
    EXPECT_EQ(published(bufp, sizep), "\x11Hello");
    EXPECT_EQ(run("fprintf", {s, str("%c|"), 0}), 2);
    EXPECT_EQ(published(bufp, sizep), "\x11Hello\0|"s);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(FormatTest, ADescriptorTwoStreamRefusesOutput)
{
    uint32_t s = hand_record(kFdKind, 2);
    for (const char* f : {"hi", "%d", "%s", "%%", "%c"})
        EXPECT_EQ(run("fprintf", {s, str(f), str("x"), 1, 3}), kFail) << f;
    // Formats that produce nothing succeed before any write is tried.
    for (const char* f : {"", "%5", "%.0s", "%ll"})
        EXPECT_EQ(run("fprintf", {s, str(f), str("x")}), 0) << f;
    EXPECT_EQ(run("fprintf", {standard("stdin"), str("hi")}), kFail);
    EXPECT_TRUE(guest().calls().empty());
}

TEST_F(FormatTest, AFailedWriteEndsTheCallWithTheEarlierBytesKept)
{
    guest().inject("write@3=0");
    EXPECT_EQ(run("printf", {str("ab%5d"), 7}), kFail);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{1, 1, 1}));
    EXPECT_EQ(guest().output(), "ab");
    // A failure in the digits, the last piece.
    guest().reset();
    guest().inject("write@2=-1");
    EXPECT_EQ(run("printf", {str("-%d-"), 123}), kFail);
    EXPECT_EQ(console_writes(), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(guest().output(), "-");
    // On a memory stream: the heap runs out, what was appended stays.
    guest().reset();
    uint32_t bufp, sizep, s = memstream(bufp, sizep);
    EXPECT_EQ(run("fputs", {str("ab"), s}), 2);
    for (uint32_t size = 0x100000; size > 0; size /= 2)
        while (run("malloc", {size}) != 0) { }
    EXPECT_EQ(run("fprintf", {s, str("%300d"), 1}), kFail);
    EXPECT_EQ(published(bufp, sizep), "ab" + std::string(253, ' '));
}

// ---- mended faults ---------------------------------------------------------------

TEST_F(FormatTest, APrecisionBoundsTheBytesAStringArgumentReads)
{
    // Arrays without a terminator, ending at the last mapped byte of scratch memory.
    for (const std::string text : {"abc", "abcd", "abcdefgh", "x"}) {
        guest().reset();
        uint32_t p = kScratchBase + kScratchSize - uint32_t(text.size()), n = uint32_t(text.size());
        ASSERT_TRUE(guest().machine().memory().poke(p, std::vector<uint8_t>(text.begin(), text.end())));
        EXPECT_THROW(guest().read(kScratchBase + kScratchSize, 1), std::out_of_range);
        const std::string want = "[" + text + "]";
        const Row bracketed{"[%.*s]", {n, p}, want};
        EXPECT_EQ(into_buffer("snprintf", bracketed, 32, want + '\0'), int32_t(want.size()));
        const std::string padded = "     " + text.substr(0, 1) + "|" + text + std::string(n < 5 ? 5 - n : 0, ' ') + "|";
        EXPECT_EQ(into_buffer("snprintf", {"%6.1s|%-5.*s|", {p, n, p}, ""}, 32, padded + '\0'), int32_t(padded.size()));
        uint32_t bufp, sizep, s = memstream(bufp, sizep);
        EXPECT_EQ(run("fprintf", words({s, str(bracketed.format)}, bracketed.args)), int32_t(want.size())) << text;
        EXPECT_EQ(published(bufp, sizep), want) << text;
        EXPECT_EQ(run("printf", words({str(bracketed.format)}, bracketed.args)), int32_t(want.size())) << text;
        EXPECT_EQ(guest().output(), want) << text;
    }
}

TEST_F(FormatTest, LowAddressStringsAreEmptyInBothEngines)
{
    for (uint32_t p : {1u, 100u, 4095u}) {
        guest().reset();
        EXPECT_EQ(into_buffer("snprintf", {"%5s|%.2s|%-3s|", {p, p, p}, ""}, 32, "     ||   |\0"s), 11) << p;
        uint32_t bufp, sizep, s = memstream(bufp, sizep);
        EXPECT_EQ(run("fprintf", {s, str("%5s|%.2s|"), p, p}), 7) << p;
        EXPECT_EQ(published(bufp, sizep), "     ||") << p;
    }
}

TEST_F(FormatTest, HugeWidthsAreCountedWithoutStoringThem)
{
    struct Case {
        std::string format;
        std::vector<Arg> args;
        std::string stored; // in a buffer of 8 bytes
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
        // A few thousand instructions, not one step per generated character.
        guest().machine().set_instruction_limit(20000);
        const Row row{c.format, c.args, ""};
        EXPECT_EQ(into_buffer("snprintf", row, 8, c.stored), c.result) << c.format;
        EXPECT_EQ(into_buffer("snprintf", row, 1, "\0"s), c.result) << c.format;
        EXPECT_EQ(run("snprintf", words({0, 0, str(c.format)}, c.args)), c.result) << c.format;
    }
}

TEST_F(FormatTest, CountsTooLargeFor32BitsSaturateInTheStreamEngine)
{
    // Saturated, the precision lets the whole string through; wrapped it would be 2 and 1215752191.
    uint32_t bufp, sizep, s = memstream(bufp, sizep);
    EXPECT_EQ(run("fprintf", {s, str("%.4294967298s|%.99999999999s|"), str("abcdef"), str("xy")}), 10);
    EXPECT_EQ(published(bufp, sizep), "abcdef|xy|");
    // A saturated width fills with spaces (cut short by a failing write);
    // wrapped, 4294967296 would be no width at all.
    guest().reset();
    guest().inject("write@4=-1");
    EXPECT_EQ(run("printf", {str("%4294967296d"), 5}), kFail);
    EXPECT_EQ(guest().output(), "   ");
    // 4294967298 as a precision would wrap to 2 and print "07".
    guest().reset();
    guest().inject("write@6=-1");
    EXPECT_EQ(run("printf", {str("%.4294967298d"), 7}), kFail);
    EXPECT_EQ(guest().output(), "00000");
}

} // namespace
} // namespace vekos::test
