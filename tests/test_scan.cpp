// Formatted input on the real i386 code: sscanf and vsscanf over a table of
// inputs and formats, every argument cell checked byte for byte (canaries
// wherever nothing may be written), and fscanf on the console input with
// the stream's pos and eof and the read calls checked.
#include "harness.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

constexpr uint8_t kFill = 0xCC;
constexpr uint32_t kCell = 300;     // room for a 255-byte word, and canaries after it
constexpr uint32_t kSpareCells = 2; // cells after the expected ones: no conversion may reach them
constexpr uint32_t kReadCall = 3, kFileWords = 11, kPosOffset = 36, kEofOffset = 40;

// What one argument cell must hold after the call.
struct Cell {
    enum class Kind { Untouched, Word, Byte, Text, Null } kind = Kind::Untouched;
    uint32_t word = 0;
    std::string text;
};
Cell untouched() { return {}; }
Cell word(int64_t v) { return {Cell::Kind::Word, uint32_t(v), {}}; }
Cell byte(char c) { return {Cell::Kind::Byte, uint8_t(c), {}}; }
Cell text(std::string s) { return {Cell::Kind::Text, 0, std::move(s)}; }
Cell null_pointer() { return {Cell::Kind::Null, 0, {}}; } // a null argument; nothing to look at

struct ScanRow {
    std::string input;
    std::string format;
    int32_t result;
    std::vector<Cell> cells;
};

std::string shown(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        char esc[8];
        std::snprintf(esc, sizeof esc, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
        out += esc;
    }
    return out;
}

class ScanTest : public GuestTest {
protected:
    // Fresh cells for the row plus the spare ones; their guest addresses (0 for a null argument).
    std::vector<uint32_t> make_cells(const std::vector<Cell>& cells)
    {
        std::vector<uint32_t> addresses;
        for (const Cell& c : cells)
            addresses.push_back(c.kind == Cell::Kind::Null ? 0 : guest().alloc(kCell, kFill));
        for (uint32_t i = 0; i < kSpareCells; ++i)
            addresses.push_back(guest().alloc(kCell, kFill));
        return addresses;
    }

    void check_cells(const std::vector<Cell>& cells, const std::vector<uint32_t>& addresses, const std::string& what)
    {
        for (size_t i = 0; i < addresses.size(); ++i) {
            if (addresses[i] == 0)
                continue;
            Cell c = i < cells.size() ? cells[i] : untouched();
            std::vector<uint8_t> want(kCell, kFill);
            if (c.kind == Cell::Kind::Word)
                for (int k = 0; k < 4; ++k)
                    want[k] = uint8_t(c.word >> (8 * k));
            if (c.kind == Cell::Kind::Byte)
                want[0] = uint8_t(c.word);
            if (c.kind == Cell::Kind::Text) {
                std::copy(c.text.begin(), c.text.end(), want.begin());
                want[c.text.size()] = 0;
            }
            std::vector<uint8_t> got = guest().read(addresses[i], kCell);
            if (got != want) {
                size_t k = 0;
                while (got[k] == want[k])
                    ++k;
                ADD_FAILURE() << what << ": argument " << i + 1 << " differs at byte " << k << " (got 0x" << std::hex
                              << int(got[k]) << ", expected 0x" << int(want[k]) << std::dec << ")"
                              << (c.kind == Cell::Kind::Text
                                         ? ", got text '" + shown(guest().read_cstring(addresses[i])) + "'"
                                         : std::string());
            }
        }
    }

    // sscanf with the row's cells as its variable arguments, then vsscanf
    // with a list of fresh cell pointers made by hand.
    void run_row(const ScanRow& row)
    {
        const std::string what = "('" + shown(row.input) + "', \"" + shown(row.format) + "\")";
        for (bool listed : {false, true}) {
            std::vector<uint32_t> cells = make_cells(row.cells);
            std::vector<uint32_t> args = {guest().put_string(row.input), guest().put_string(row.format)};
            if (listed) {
                uint32_t list = guest().alloc(uint32_t(4 * cells.size()));
                for (size_t i = 0; i < cells.size(); ++i)
                    guest().write_u32(list + uint32_t(4 * i), cells[i]);
                args.push_back(list);
            } else {
                args.insert(args.end(), cells.begin(), cells.end());
            }
            const std::string call = (listed ? "vsscanf" : "sscanf") + what;
            CallResult r = guest().call(listed ? "vsscanf" : "sscanf", args);
            ASSERT_TRUE(r.returned()) << call;
            EXPECT_EQ(r.value(), row.result) << call;
            check_cells(row.cells, cells, call);
        }
    }
};

const std::vector<ScanRow>& rows()
{
    const Cell none = untouched();
    static const std::vector<ScanRow> table = {
        // Whitespace directives and what numbers skip.
        {"12 34", "%d %d", 2, {word(12), word(34)}},
        {"12\n34", "%d%d", 1, {word(12), none}},
        {"12\n34", "%d %d", 2, {word(12), word(34)}},
        {"\n5", "%d", 0, {none}},
        {"\n5", " %d", 1, {word(5)}},
        {" \t -7", "%d", 1, {word(-7)}},
        {"\t\t5", "%u", 1, {word(5)}},
        {"\r5", "%d", 0, {none}},
        {"\v5", "%d", 0, {none}},
        {"\f5", "%d", 0, {none}},
        {"\r5", " %d", 0, {none}},
        {"1\r2", "%d %d", 1, {word(1), none}},
        {"1\v2", "%d %d", 1, {word(1), none}},
        {"1 \t\n\n 2", "%d \t\n %d", 2, {word(1), word(2)}},
        {"12", "%d\n\n%c", 1, {word(12), none}},
        {"a\t\n b", "%c %c", 2, {byte('a'), byte('b')}},
        {"ab", "%c %c", 2, {byte('a'), byte('b')}},
        // Integers: bases, prefixes, signs, wrap-around.
        {"0x1f", "%x", 1, {word(0)}},
        {"0x1f", "%x%c", 2, {word(0), byte('x')}},
        {"0x1f", "%i", 1, {word(31)}},
        {"0X1F", "%i", 1, {word(31)}},
        {"+0x1f", "%i", 1, {word(31)}},
        {"-0x10", "%i", 1, {word(-16)}},
        {"017", "%i", 1, {word(15)}},
        {"017", "%d", 1, {word(17)}},
        {"-010", "%i", 1, {word(-8)}},
        {"08", "%i%d", 2, {word(0), word(8)}},
        {"09", "%i%d", 2, {word(0), word(9)}},
        {"0", "%i", 1, {word(0)}},
        {"0x", "%i", 0, {none}},
        {"0xg", "%i", 0, {none}},
        {"0x 5", "%i", 0, {none}},
        {"19a", "%i%c", 2, {word(19), byte('a')}},
        {"AbC", "%X", 1, {word(2748)}},
        {"1f", "%X", 1, {word(31)}},
        {"ffffffff", "%x", 1, {word(-1)}},
        {"100000001", "%x", 1, {word(1)}},
        {"0x100000001", "%i", 1, {word(1)}},
        {"-ff", "%x", 1, {word(-255)}},
        {"+1F", "%x", 1, {word(31)}},
        {"g", "%x", 0, {none}},
        {"-5", "%u", 0, {none}},
        {"+5", "%u", 0, {none}},
        {"4294967295", "%u", 1, {word(0xFFFFFFFF)}},
        {"4294967296", "%u", 1, {word(0)}},
        {"99999999999", "%u", 1, {word(99999999999ll & 0xFFFFFFFF)}},
        {"4294967297", "%d", 1, {word(1)}},
        {"2147483648", "%d", 1, {word(INT32_MIN)}},
        {"-2147483649", "%d", 1, {word(2147483647)}},
        {"+ 5", "%d", 0, {none}},
        {"-", "%d", 0, {none}},
        {"- 5", "%d", 0, {none}},
        {"--5", "%d", 0, {none}},
        {"\xb5", "%d", 0, {none}},
        {"12345", "%3d", 1, {word(12345)}},
        {"12345", "%2d%d", 1, {word(12345), none}},
        {"77", "%10u", 1, {word(77)}},
        // Conversions that do not exist end the scan.
        {"5", "%ld", 0, {none}},
        {"5", "%hd", 0, {none}},
        {"5", "%lld", 0, {none}},
        {"3.5", "%f", 0, {none}},
        {"3.5", "%e", 0, {none}},
        {"abc", "%o", 0, {none}},
        {"abc", "%p", 0, {none}},
        {"abc", "%n", 0, {none}},
        {"abc", "%[a]", 0, {none}},
        {"5", "% d", 0, {none}},
        {"5", "%5*d", 0, {none}},
        {"5 6", "%d%", 1, {word(5), none}},
        {"5 6", "%d%5", 1, {word(5), none}},
        // Words.
        {"abc def", "%s %s", 2, {text("abc"), text("def")}},
        {"abc def", "%s%s", 2, {text("abc"), text("def")}},
        {"12abc", "%d%s", 2, {word(12), text("abc")}},
        {"\nabc", "%s", 1, {text("")}},
        {"  \nabc", "%s%c", 2, {text(""), byte('\n')}},
        {"a\rb", "%s", 1, {text("a\rb")}},
        {"ab\vcd\fe f", "%s", 1, {text("ab\vcd\fe")}},
        {"\rabc", "%s", 1, {text("\rabc")}},
        {" \t abc\tdef", "%s%s", 2, {text("abc"), text("def")}},
        {"\xb5\xff\x80", "%s", 1, {text("\xb5\xff\x80")}},
        {"key=val", "key=%s", 1, {text("val")}},
        {"key =val", "key=%s", 0, {none}},
        {"   ", "%s", 0, {none}},
        {"abc def", "%s%s", 1, {null_pointer(), text("def")}},
        {"abc def", "%*s%s", 1, {text("def")}},
        // A width bounds the bytes "%s" stores (mended); the rest stays for the next directive.
        {"abc", "%2s", 1, {text("ab")}},
        {"abcdef", "%3s", 1, {text("abc")}},
        {"abcdef", "%3s%s", 2, {text("abc"), text("def")}},
        {"abcdef", "%1s%1s%1s", 3, {text("a"), text("b"), text("c")}},
        {"abcdef", "%3s%c", 2, {text("abc"), byte('d')}},
        {"abc", "%3s%c", 1, {text("abc"), none}},
        {"ab cd", "%5s%s", 2, {text("ab"), text("cd")}},
        {"abcdef", "%*2s%s", 1, {text("cdef")}},
        {"abcdef", "%2s%s", 1, {null_pointer(), text("cdef")}},
        {"abcdef", "%0s", 1, {text("abcdef")}},
        {"abcdef", "%4294967295s", 1, {text("abcdef")}},
        {"abcdef", "%99999999999999999999s", 1, {text("abcdef")}},
        {"\nabc", "%2s", 1, {text("")}},
        {"  abcdef", "%4s%d", 1, {text("abcd"), none}},
        {"ab12", "%2s%d", 2, {text("ab"), word(12)}},
        // Bytes: no blanks skipped, one byte whatever the width.
        {"  x", "%c", 1, {byte(' ')}},
        {"ab", "%c%c", 2, {byte('a'), byte('b')}},
        {"\n", "%c", 1, {byte('\n')}},
        {"abc", "%3c%c", 2, {byte('a'), byte('b')}},
        {"x", "%*c%d", 0, {none}},
        {"xy", "%*c%c", 1, {byte('y')}},
        {"", "%c", 0, {none}},
        // The escape and literals.
        {"100%", "%d%%", 1, {word(100)}},
        {"%5", "%%%d", 1, {word(5)}},
        {"  %5", "%%%d", 0, {none}},
        {"  %5", " %%%d", 1, {word(5)}},
        {"%", "%*%%d", 0, {none}},
        {"a\rb", "a\r%c", 1, {byte('b')}},
        {"\v5", "\v%d", 1, {word(5)}},
        {"5", "\v%d", 0, {none}},
        {"\f\f5", "\f%d", 0, {none}},
        {"ab", "ab%d", 0, {none}},
        {"a", "ab%d", 0, {none}},
        {"x5", "y%d", 0, {none}},
        // Suppression takes no argument.
        {"9", "%*d%d", 0, {none}},
        {"7 8", "%d%*d", 1, {word(7)}},
        {"7 8 9", "%*d%d%*d", 1, {word(8)}},
        {"1 2 3", "%d%*5d%d", 2, {word(1), word(3)}},
        {"5 abc", "%*u%*s", 0, {}},
        // The empty input.
        {"", "%d", 0, {none}},
        {"", "%s", 0, {none}},
        {"", "%u", 0, {none}},
        {"", "%%", 0, {}},
        {"", "", 0, {}},
        {"", " ", 0, {}},
        {"abc", "", 0, {none}},
    };
    return table;
}

TEST_F(ScanTest, SscanfAndVsscanfTable)
{
    for (const ScanRow& row : rows())
        run_row(row);
}

// Every byte value in front of a number and a word: each place skips its own blanks and no other byte.
TEST_F(ScanTest, EachPlaceSkipsExactlyItsOwnBlanks)
{
    const std::string meaningful = "0123456789+-%";
    uint32_t number = guest().put_string("%d"), spaced = guest().put_string(" %d"),
             word_format = guest().put_string("%s");
    for (int b = 1; b < 256; ++b) {
        if (meaningful.find(char(b)) != std::string::npos)
            continue;
        const std::string input = std::string(1, char(b)) + "5x";
        const uint32_t in = guest().put_string(input), cell = guest().alloc(8, kFill), buf = guest().alloc(8, kFill);
        bool field_blank = b == ' ' || b == '\t', directive_blank = field_blank || b == '\n';
        EXPECT_EQ(guest()("sscanf", in, number, cell).value(), field_blank ? 1 : 0) << "'%d' after byte " << b;
        EXPECT_EQ(guest()("sscanf", in, spaced, cell).value(), directive_blank ? 1 : 0) << "' %d' after byte " << b;
        EXPECT_EQ(guest()("sscanf", in, word_format, buf).value(), 1) << "'%s' after byte " << b;
        EXPECT_EQ(guest().read_cstring(buf), field_blank ? "5x" : b == '\n' ? "" : input) << "'%s' after byte " << b;
    }
}

// ---- fscanf --------------------------------------------------------------------

class FscanfTest : public ScanTest {
protected:
    uint32_t stdin_record() { return guest().global_u32("stdin"); }
    int32_t pos(uint32_t f) { return int32_t(guest().read_u32(f + kPosOffset)); }
    int32_t eof(uint32_t f) { return int32_t(guest().read_u32(f + kEofOffset)); }

    // fscanf on the record f, counting the kernel calls it makes.
    int32_t fscanf(uint32_t f, const std::string& format, std::vector<uint32_t> cells = {})
    {
        guest().kernel().clear_log();
        std::vector<uint32_t> args = {f, guest().put_string(format)};
        args.insert(args.end(), cells.begin(), cells.end());
        CallResult r = guest().call("fscanf", args);
        EXPECT_TRUE(r.returned());
        return r.value();
    }
    // fscanf into fresh cells that must then hold `want`.
    void expect_fscanf(uint32_t f, const std::string& format, int32_t result, const std::vector<Cell>& want)
    {
        std::vector<uint32_t> cells = make_cells(want);
        EXPECT_EQ(fscanf(f, format, cells), result) << format;
        check_cells(want, cells, "fscanf " + format);
    }

    // The calls since the last fscanf: all must be one-byte reads on fd.
    size_t reads(int fd = 0)
    {
        for (const CallRecord& c : guest().calls()) {
            EXPECT_EQ(c.in.eax, kReadCall) << "only read is called";
            EXPECT_EQ(c.in.ebx, uint32_t(fd));
            EXPECT_EQ(c.in.edx, 1u) << "one byte a read";
        }
        return guest().calls().size();
    }
    void expect_state(uint32_t f, int32_t want_pos, int32_t want_eof, size_t want_reads, int fd = 0)
    {
        EXPECT_EQ(pos(f), want_pos);
        EXPECT_EQ(eof(f), want_eof);
        EXPECT_EQ(reads(fd), want_reads);
    }
    uint32_t hand_record(uint32_t kind, uint32_t fd = 0)
    {
        uint32_t record = guest().alloc(4 * kFileWords);
        guest().write_u32(record, kind);
        guest().write_u32(record + 4, fd);
        return record;
    }
};

TEST_F(FscanfTest, ReadsOneWordAndItsSeparatorPerCall)
{
    guest().feed_input("  42  17\n");
    uint32_t f = stdin_record();
    expect_fscanf(f, "%d", 1, {word(42)});
    expect_state(f, 5, 0, 5);
    expect_fscanf(f, "%d", 1, {word(17)});
    expect_state(f, 9, 0, 4);
    expect_fscanf(f, "%d", -1, {untouched()});
    expect_state(f, 9, 1, 1);
}

TEST_F(FscanfTest, OneCallConvertsOnlyOneWord)
{
    guest().feed_input("1 2");
    uint32_t f = stdin_record();
    expect_fscanf(f, "%d %d", 1, {word(1), untouched()});
    expect_state(f, 2, 0, 2);
    // The '2' waits for the next call, which ends at the end of input.
    expect_fscanf(f, "%d %d", 1, {word(2)});
    expect_state(f, 3, 1, 2);
}

TEST_F(FscanfTest, SeparatorsAreTabLineFeedCarriageReturnAndSpace)
{
    guest().feed_input("\r\t \n5\r6\v7 8\f9\n");
    uint32_t f = stdin_record();
    expect_fscanf(f, "%d", 1, {word(5)});
    expect_state(f, 6, 0, 6);
    // A vertical tab and a form feed are part of the word.
    expect_fscanf(f, "%s", 1, {text("6\v7")});
    expect_fscanf(f, "%s", 1, {text("8\f9")});
    EXPECT_EQ(pos(f), 14);
    EXPECT_EQ(eof(f), 0);
}

TEST_F(FscanfTest, LongWordKeeps255BytesAndDropsTheRest)
{
    std::string word300;
    for (int i = 0; i < 300; ++i)
        word300 += char('a' + i % 26);
    guest().feed_input(word300 + " next\n");
    uint32_t f = stdin_record();
    expect_fscanf(f, "%s", 1, {text(word300.substr(0, 255))});
    expect_state(f, 301, 0, 301); // every byte of the word and its separator is read
    expect_fscanf(f, "%s", 1, {text("next")});
}

TEST_F(FscanfTest, EndOfInputSetsEofWhichIsNeitherConsultedNorCleared)
{
    guest().feed_input("abc");
    uint32_t f = stdin_record();
    expect_fscanf(f, "%d", 0, {untouched()});
    expect_state(f, 3, 1, 4);
    expect_fscanf(f, "%d", -1, {untouched()});
    expect_state(f, 3, 1, 1); // a later call reads again
    guest().feed_input("33 ");
    expect_fscanf(f, "%d", 1, {word(33)});
    expect_state(f, 6, 1, 3);
}

TEST_F(FscanfTest, MixesWithByteReadsAfterTheSeparator)
{
    guest().feed_input("12 xy 7");
    uint32_t f = stdin_record();
    expect_fscanf(f, "%d", 1, {word(12)});
    EXPECT_EQ(guest()("getchar").value(), 'x');
    EXPECT_EQ(guest()("fgetc", f).value(), 'y');
    expect_fscanf(f, "%d", 1, {word(7)});
    EXPECT_EQ(pos(f), 7);
}

TEST_F(FscanfTest, RefusesWithoutReading)
{
    uint32_t f = stdin_record();
    guest().feed_input("5 ");
    uint32_t cell = guest().alloc(4, kFill), bufp = guest().alloc(4), sizep = guest().alloc(4);
    uint32_t memory = guest()("open_memstream", bufp, sizep).eax;
    ASSERT_NE(memory, 0u);
    guest().kernel().clear_log();
    EXPECT_EQ(guest()("fscanf", 0, guest().put_string("%d"), cell).value(), -1);
    EXPECT_EQ(guest()("fscanf", f, 0, cell).value(), -1);
    EXPECT_TRUE(guest().calls().empty());
    // Records of the other kinds, and a memory stream.
    for (uint32_t record : {hand_record(2), hand_record(3), hand_record(0), hand_record(4), memory}) {
        EXPECT_EQ(fscanf(record, "%d", {cell}), -1);
        expect_state(record, 0, 0, 0);
    }
    EXPECT_EQ(guest().read_u32(cell), 0xCCCCCCCCu);
    expect_state(f, 0, 0, 0);
}

TEST_F(FscanfTest, ReadsTheStreamsOwnDescriptor)
{
    // Descriptor 7 is not open: the failed read ends the call before a word, with eof set.
    uint32_t record = hand_record(1, 7);
    expect_fscanf(record, "%d", -1, {untouched()});
    expect_state(record, 0, 1, 1, 7);
}

TEST_F(FscanfTest, FailedReadAfterTheWordBeganEndsTheWord)
{
    guest().feed_input("4567 8");
    guest().inject("read@3=-5"); // the word is "45"
    uint32_t f = stdin_record();
    expect_fscanf(f, "%d", 1, {word(45)});
    expect_state(f, 2, 1, 3);
}

// Mended: the width bounds what "%s" stores; the rest of the word is taken from the stream with it.
TEST_F(FscanfTest, WordWidthStoresAtMostThatManyBytes)
{
    guest().feed_input("abcdef ghi\n");
    uint32_t f = stdin_record();
    expect_fscanf(f, "%3s", 1, {text("abc")});
    EXPECT_EQ(pos(f), 7);
    expect_fscanf(f, "%2s%s", 2, {text("gh"), text("i")});
    EXPECT_EQ(pos(f), 11);
}

} // namespace
} // namespace vekos::test
