// Formatted input on the real i386 code: sscanf and vsscanf over a table of
// inputs and formats, every argument cell checked byte for byte (canaries
// wherever nothing may be written, and in spare cells after the last one),
// and fscanf on descriptor streams with their pos and eof and every read call.
#include "harness.h"

#include <tuple>

namespace vekos::test {
namespace {

constexpr uint8_t kFill = 0xCC;
constexpr uint32_t kCell = 300; // room for a 255-byte word, and canaries after it
constexpr uint32_t kReadCall = 3, kRecordWords = 11, kPosOffset = 36, kEofOffset = 40;

// What one argument cell must hold after the call.
struct Cell {
    enum Kind { Untouched, Word, Byte, Text, Null } kind = Untouched;
    uint32_t word = 0;
    std::string text;
};
const Cell none{};
const Cell null_pointer{Cell::Null, 0, {}}; // a null argument: nothing to look at
Cell word(int64_t v) { return {Cell::Word, uint32_t(v), {}}; }
Cell byte(char c) { return {Cell::Byte, uint8_t(c), {}}; }
Cell text(std::string s) { return {Cell::Text, 0, std::move(s)}; }

class ScanTest : public GuestTest {
protected:
    // Cells for `want` and two spare ones after them; 0 stands for a null argument.
    std::vector<uint32_t> make_cells(const std::vector<Cell>& want)
    {
        std::vector<uint32_t> at;
        for (size_t i = 0; i < want.size() + 2; ++i)
            at.push_back(i < want.size() && want[i].kind == Cell::Null ? 0 : guest().alloc(kCell, kFill));
        return at;
    }
    void check_cells(const std::vector<Cell>& want, const std::vector<uint32_t>& at)
    {
        for (size_t i = 0; i < at.size(); ++i) {
            const Cell c = i < want.size() ? want[i] : none;
            const size_t n = c.kind == Cell::Word ? 4 : c.kind == Cell::Byte ? 1 : 0;
            const std::string value = c.kind == Cell::Text ? c.text + '\0' : std::string((const char*)&c.word, n);
            if (at[i] == 0)
                continue; // a null argument
            const auto bytes = guest().read(at[i], kCell);
            const std::string got(bytes.begin(), bytes.end());
            EXPECT_EQ(got.substr(0, value.size()), value) << "argument " << i + 1;
            EXPECT_EQ(got.find_first_not_of(char(kFill), value.size()), std::string::npos) << "past argument " << i + 1;
        }
    }
};

// sscanf with the cells as its arguments, then vsscanf with a list of fresh cells.
TEST_F(ScanTest, SscanfAndVsscanfStoreExactlyTheConvertedValues)
{
    // The input and the format; the count and what each argument cell must hold.
    const std::tuple<std::string, std::string, int32_t, std::vector<Cell>> rows[] = {
        // Whitespace directives and what numbers skip.
        {"12 34", "%d %d", 2, {word(12), word(34)}}, {"12\n34", "%d%d", 1, {word(12), none}},
        {"12\n34", "%d %d", 2, {word(12), word(34)}}, {"\n5", "%d", 0, {none}}, {"\n5", " %d", 1, {word(5)}},
        {" \t -7", "%d", 1, {word(-7)}}, {"\t\t5", "%u", 1, {word(5)}}, {"\r5", " %d", 0, {none}},
        {"1\r2", "%d %d", 1, {word(1), none}}, {"1\v2", "%d %d", 1, {word(1), none}},
        {"1 \t\n\n 2", "%d \t\n %d", 2, {word(1), word(2)}}, {"12", "%d\n\n%c", 1, {word(12), none}},
        {"a\t\n b", "%c %c", 2, {byte('a'), byte('b')}}, {"ab", "%c %c", 2, {byte('a'), byte('b')}},
        {"\b5", "%d", 0, {none}}, {"\r5", "%d", 0, {none}}, {"\v5", "%u", 0, {none}}, {"\x1f\x35", " %d", 0, {none}},
        {"!5", " %x", 0, {none}}, {"\xa0\x35", "%i", 0, {none}}, {"\f5", " %s", 1, {text("\f5")}},
        {"\x1f"
         "a\bb!c\xa0"
         "d\x89 e",
            "%s", 1,
            {text("\x1f"
                  "a\bb!c\xa0"
                  "d\x89")}},
        // Integers: bases, prefixes, signs, wrap-around.
        {"0x1f", "%x", 1, {word(0)}}, {"0x1f", "%x%c", 2, {word(0), byte('x')}}, {"0x1f", "%i", 1, {word(31)}},
        {"0X1F", "%i", 1, {word(31)}}, {"+0x1f", "%i", 1, {word(31)}}, {"-0x10", "%i", 1, {word(-16)}},
        {"017", "%i", 1, {word(15)}}, {"017", "%d", 1, {word(17)}}, {"-010", "%i", 1, {word(-8)}},
        {"08", "%i%d", 2, {word(0), word(8)}}, {"09", "%i%d", 2, {word(0), word(9)}}, {"0", "%i", 1, {word(0)}},
        {"0x", "%i", 0, {none}}, {"0xg", "%i", 0, {none}}, {"0x 5", "%i", 0, {none}},
        {"19a", "%i%c", 2, {word(19), byte('a')}}, {"AbC", "%X", 1, {word(2748)}}, {"1f", "%X", 1, {word(31)}},
        {"ffffffff", "%x", 1, {word(-1)}}, {"100000001", "%x", 1, {word(1)}}, {"0x100000001", "%i", 1, {word(1)}},
        {"-ff", "%x", 1, {word(-255)}}, {"+1F", "%x", 1, {word(31)}}, {"g", "%x", 0, {none}}, {"-5", "%u", 0, {none}},
        {"+5", "%u", 0, {none}}, {"4294967295", "%u", 1, {word(0xFFFFFFFF)}}, {"4294967296", "%u", 1, {word(0)}},
        {"99999999999", "%u", 1, {word(99999999999ll)}}, {"4294967297", "%d", 1, {word(1)}},
        {"2147483648", "%d", 1, {word(INT32_MIN)}}, {"-2147483649", "%d", 1, {word(2147483647)}},
        {"+ 5", "%d", 0, {none}}, {"-", "%d", 0, {none}}, {"- 5", "%d", 0, {none}}, {"--5", "%d", 0, {none}},
        {"\xb5", "%d", 0, {none}}, {"12345", "%3d", 1, {word(12345)}}, {"12345", "%2d%d", 1, {word(12345), none}},
        {"77", "%10u", 1, {word(77)}},
        // Conversions that do not exist end the scan.
        {"5", "%ld", 0, {none}}, {"5", "%hd", 0, {none}}, {"3.5", "%f", 0, {none}}, {"abc", "%o", 0, {none}},
        {"abc", "%p", 0, {none}}, {"abc", "%n", 0, {none}}, {"abc", "%[a]", 0, {none}}, {"5", "% d", 0, {none}},
        {"5", "%5*d", 0, {none}}, {"5 6", "%d%", 1, {word(5), none}}, {"5 6", "%d%5", 1, {word(5), none}},
        // Words.
        {"abc def", "%s %s", 2, {text("abc"), text("def")}}, {"abc def", "%s%s", 2, {text("abc"), text("def")}},
        {"12abc", "%d%s", 2, {word(12), text("abc")}}, {"\nabc", "%s", 1, {text("")}},
        {"  \nabc", "%s%c", 2, {text(""), byte('\n')}}, {"a\rb", "%s", 1, {text("a\rb")}},
        {"ab\vcd\fe f", "%s", 1, {text("ab\vcd\fe")}}, {" \t abc\tdef", "%s%s", 2, {text("abc"), text("def")}},
        {"\xb5\xff\x80", "%s", 1, {text("\xb5\xff\x80")}}, {"key=val", "key=%s", 1, {text("val")}},
        {"key =val", "key=%s", 0, {none}}, {"12x", "%dy%d", 1, {word(12), none}}, {"5   ", "%d%s", 1, {word(5), none}},
        {"abc def", "%s%s", 1, {null_pointer, text("def")}}, {"abc def", "%*s%s", 1, {text("def")}},
        // A width bounds the bytes "%s" stores; the rest stays for the next directive.
        {"abc", "%2s", 1, {text("ab")}}, {"abcdef", "%3s%s", 2, {text("abc"), text("def")}},
        {"abcdef", "%1s%1s%1s", 3, {text("a"), text("b"), text("c")}}, {"abcdef", "%3s%c", 2, {text("abc"), byte('d')}},
        {"abc", "%3s%c", 1, {text("abc"), none}}, {"ab cd", "%5s%s", 2, {text("ab"), text("cd")}},
        {"abcdef", "%*2s%s", 1, {text("cdef")}}, {"abcdef", "%2s%s", 1, {null_pointer, text("cdef")}},
        {"abcdef", "%0s", 1, {text("abcdef")}}, {"abcdef", "%4294967295s", 1, {text("abcdef")}},
        {"abcdef", "%99999999999999999999s", 1, {text("abcdef")}}, {"\nabc", "%2s", 1, {text("")}},
        {"  abcdef", "%4s%d", 1, {text("abcd"), none}}, {"ab12", "%2s%d", 2, {text("ab"), word(12)}},
        // Bytes: no blanks skipped, one byte whatever the width.
        {"  x", "%c", 1, {byte(' ')}}, {"\n", "%c", 1, {byte('\n')}}, {"abc", "%3c%c", 2, {byte('a'), byte('b')}},
        {"x", "%*c%d", 0, {none}}, {"xy", "%*c%c", 1, {byte('y')}}, {"", "%c", 0, {none}},
        // The escape and literals.
        {"100%", "%d%%", 1, {word(100)}}, {"%5", "%%%d", 1, {word(5)}}, {"  %5", "%%%d", 0, {none}},
        {"  %5", " %%%d", 1, {word(5)}}, {"%", "%*%%d", 0, {none}}, {"a\rb", "a\r%c", 1, {byte('b')}},
        {"\x01\x35", "\x01%d", 1, {word(5)}}, {"\v5", "\v%d", 1, {word(5)}}, {"5", "\v%d", 0, {none}},
        {"\f\f5", "\f%d", 0, {none}}, {"ab", "ab%d", 0, {none}}, {"a", "ab%d", 0, {none}}, {"x5", "y%d", 0, {none}},
        // Suppression takes no argument.
        {"9", "%*d%d", 0, {none}}, {"7 8", "%d%*d", 1, {word(7)}}, {"7 8 9", "%*d%d%*d", 1, {word(8)}},
        {"1 2 3", "%d%*5d%d", 2, {word(1), word(3)}}, {"5 abc", "%*u%s", 1, {text("abc")}},
        // The empty input and the empty format.
        {"", "%d", 0, {none}}, {"", "%s", 0, {none}}, {"", "%u", 0, {none}}, {"", "%%", 0, {}}, {"", " ", 0, {}},
        {"abc", "", 0, {none}}};
    for (const auto& [input, format, result, want] : rows)
        for (const char* function : {"sscanf", "vsscanf"}) {
            SCOPED_TRACE(function + testing::PrintToString(std::pair(input, format)));
            const std::vector<uint32_t> cells = make_cells(want);
            std::vector<uint32_t> args = {guest().put_string(input), guest().put_string(format)};
            if (function[0] == 'v')
                args.push_back(guest().put_words(cells));
            else
                args.insert(args.end(), cells.begin(), cells.end());
            CallResult r = guest().call(function, args);
            ASSERT_TRUE(r.returned());
            EXPECT_EQ(r.value(), result);
            check_cells(want, cells);
        }
}

// ---- fscanf ------------------------------------------------------------------------

// One call after another on one stream: what each stores, and the stream's pos, eof and reads after it.
struct FscanfStep {
    std::string feed, format;
    int32_t result;
    std::vector<Cell> cells;
    uint32_t pos, eof, reads;
};
struct FscanfRow {
    std::string name;
    uint32_t kind, fd; // kind 1, fd 0: the stdin record
    std::string inject;
    std::vector<FscanfStep> steps;
};

TEST_F(ScanTest, FscanfReadsOneWordAndItsSeparatorOnlyFromADescriptorStream)
{
    std::string long_word;
    for (int i = 0; i < 300; ++i)
        long_word += char('a' + i % 26);
    const FscanfRow rows[] = {{"words and separators", 1, 0, "",
                                  {{"  42  17\n", "%d", 1, {word(42)}, 5, 0, 5}, {"", "%d", 1, {word(17)}, 9, 0, 4},
                                      {"", "%d", -1, {none}, 9, 1, 1}}},
        {"one word per call", 1, 0, "",
            {{"1 2", "%d %d", 1, {word(1), none}, 2, 0, 2}, {"", "%d %d", 1, {word(2)}, 3, 1, 2}}},
        {"separators are tab, line feed, carriage return and space", 1, 0, "",
            {{"\r\t \n5\r6\v7 8\f9\n", "%d", 1, {word(5)}, 6, 0, 6}, {"", "%s", 1, {text("6\v7")}, 10, 0, 4},
                {"", "%s", 1, {text("8\f9")}, 14, 0, 4}}},
        {"255 bytes of a long word kept", 1, 0, "",
            {{long_word + " next\n", "%s", 1, {text(long_word.substr(0, 255))}, 301, 0, 301},
                {"", "%s", 1, {text("next")}, 306, 0, 5}}},
        {"eof set, never consulted nor cleared", 1, 0, "",
            {{"abc", "%d", 0, {none}, 3, 1, 4}, {"", "%d", -1, {none}, 3, 1, 1},
                {"33 ", "%d", 1, {word(33)}, 6, 1, 3}}},
        {"the stream's own descriptor", 1, 7, "", {{"5 ", "%d", -1, {none}, 0, 1, 1}}},
        {"a failed read ends the word", 1, 0, "read@3=-5", {{"4567 8", "%d", 1, {word(45)}, 2, 1, 3}}},
        {"a width bounds a word", 1, 0, "",
            {{"abcdef ghi\n", "%3s", 1, {text("abc")}, 7, 0, 7}, {"", "%2s%s", 2, {text("gh"), text("i")}, 11, 0, 4}}},
        {"no descriptor stream: kind 0", 0, 0, "", {{"5 ", "%d", -1, {none}, 0, 0, 0}}},
        {"no descriptor stream: kind 2", 2, 0, "", {{"5 ", "%d", -1, {none}, 0, 0, 0}}},
        {"no descriptor stream: kind 3", 3, 0, "", {{"5 ", "%d", -1, {none}, 0, 0, 0}}},
        {"no descriptor stream: kind 4", 4, 0, "", {{"5 ", "%d", -1, {none}, 0, 0, 0}}}};
    for (const FscanfRow& row : rows) {
        SCOPED_TRACE(row.name);
        guest().reset();
        std::vector<uint32_t> record(kRecordWords);
        record[0] = row.kind, record[1] = row.fd;
        const uint32_t f = row.kind != 1 || row.fd != 0 ? guest().put_words(record) : guest().global_u32("stdin");
        if (!row.inject.empty())
            guest().inject(row.inject);
        for (const FscanfStep& step : row.steps) {
            SCOPED_TRACE(step.format);
            guest().feed_input(step.feed);
            guest().kernel().clear_log();
            std::vector<uint32_t> cells = make_cells(step.cells), args = {f, guest().put_string(step.format)};
            args.insert(args.end(), cells.begin(), cells.end());
            EXPECT_EQ(guest().call("fscanf", args).value(), step.result);
            check_cells(step.cells, cells);
            for (const CallRecord& c : guest().calls())
                EXPECT_TRUE(c.in.eax == kReadCall && c.in.ebx == row.fd && c.in.edx == 1) << "not read(fd, p, 1)";
            EXPECT_EQ(guest().read_u32(f + kPosOffset), step.pos);
            EXPECT_EQ(guest().read_u32(f + kEofOffset), step.eof);
            EXPECT_EQ(guest().calls().size(), step.reads);
        }
    }
}

TEST_F(ScanTest, FscanfRefusesANullStreamOrFormatWithoutReading)
{
    guest().feed_input("5 ");
    const uint32_t cell = guest().alloc(4, kFill);
    EXPECT_EQ(guest()("fscanf", 0, guest().put_string("%d"), cell).value(), -1);
    EXPECT_EQ(guest()("fscanf", guest().global_u32("stdin"), 0, cell).value(), -1);
    EXPECT_TRUE(guest().calls().empty());
    EXPECT_EQ(guest().read_u32(cell), 0xCCCCCCCCu);
}

} // namespace
} // namespace vekos::test
