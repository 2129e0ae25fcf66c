// Line coverage: the DWARF line table of a real guest, executed blocks to
// line counts, and lcov tracefiles that add up over runs.
#include "coverage/lcov_tracefile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>

namespace vekos::coverage {
namespace {

namespace fs = std::filesystem;
const fs::path guest = VEKOS_COVERAGE_GUEST;
const fs::path guest_source = VEKOS_COVERAGE_GUEST_SOURCE;

// What `f` threw, or "" when it returned.
template <typename F>
std::string error_of(const F& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// The guest's line numbers by the marks in its source.
std::map<std::string, unsigned> marked_lines()
{
    std::ifstream in(guest_source);
    std::map<std::string, unsigned> marks;
    std::string text;
    for (unsigned line = 1; std::getline(in, text); ++line) {
        if (size_t at = text.find("mark:"); at != text.npos)
            marks[text.substr(at + 5, text.find(' ', at) - at - 5)] = line;
    }
    return marks;
}

// The guest's own basic block from the start of `first` to the end of
// `last`, each the n-th range of the marked line in address order.
struct BlockSpec {
    std::string first;
    int first_piece;
    std::string last;
    int last_piece;
    uint64_t count;
};

struct GuestRun {
    std::string name;
    std::vector<BlockSpec> blocks;
    std::map<std::string, uint64_t> hits;  // by mark; marked lines not named ran 0 times
};

class GuestCoverage : public testing::Test {
protected:
    const LineRange& piece(const std::string& mark, int n)
    {
        int seen = 0;
        for (const LineRange& r : table_.ranges())
            if (r.line == marks_.at(mark) && seen++ == n)
                return r;
        throw std::out_of_range(mark + " has no range " + std::to_string(n));
    }
    std::vector<ExecutedBlock> blocks(const std::vector<BlockSpec>& specs)
    {
        std::vector<ExecutedBlock> out;
        for (const BlockSpec& s : specs) {
            uint32_t begin = piece(s.first, s.first_piece).begin;
            out.push_back({begin, piece(s.last, s.last_piece).end - begin, s.count});
        }
        return out;
    }
    LineCounts expected(const std::map<std::string, uint64_t>& hits)
    {
        LineCounts lines;
        for (const auto& [mark, line] : marks_)
            if (mark != "dropped")
                lines[line] = hits.contains(mark) ? hits.at(mark) : 0;
        return lines;
    }

    std::map<std::string, unsigned> marks_ = marked_lines();
    LineTable table_ = LineTable::from_elf(guest);
};

TEST_F(GuestCoverage, TheLineTableHoldsExactlyTheMarkedLines)
{
    ASSERT_EQ(table_.files(), std::vector<std::string>{guest_source.lexically_normal().string()});
    LineCounts lines = count_lines(table_, {}).at(table_.files()[0]);
    EXPECT_EQ(lines, expected({}));
    const fs::path nowhere[] = {"/nonexistent"};
    EXPECT_TRUE(LineTable::from_elf(guest, nowhere).ranges().empty());
}

TEST_F(GuestCoverage, BranchTakenAndNotTaken)
{
    const std::vector<GuestRun> runs = {
        {"positive argument: then taken",
         {{"main", 0, "call", 0, 1}, {"if", 0, "if", 0, 1}, {"then", 0, "then", 0, 1}, {"call", 1, "main-close", 0, 1}},
         {{"main", 1}, {"call", 2}, {"if", 1}, {"then", 1}, {"main-close", 1}}},
        {"zero three times: else taken",
         {{"main", 0, "call", 0, 3}, {"if", 0, "if", 0, 3}, {"else", 0, "close", 0, 3}, {"call", 1, "main-close", 0, 3}},
         {{"main", 3}, {"call", 6}, {"if", 3}, {"else", 3}, {"close", 3}, {"main-close", 3}}},
    };
    for (const GuestRun& run : runs) {
        SCOPED_TRACE(run.name);
        EXPECT_EQ(count_lines(table_, blocks(run.blocks)).at(table_.files()[0]), expected(run.hits));
    }
}

TEST_F(GuestCoverage, RunsAddUpInOneTracefile)
{
    fs::path file = fs::path(testing::TempDir()) / "runs.info";
    fs::remove(file);
    for (uint64_t times : {1, 2}) {
        Tracefile run;
        run.add("", count_lines(table_, blocks({{"if", 0, "if", 0, times}, {"else", 0, "close", 0, times}})));
        merge_into_tracefile(file, run);
    }
    std::ostringstream text;
    text << std::ifstream(file).rdbuf();
    std::string lines = "TN:\nSF:" + table_.files()[0] + "\n";
    for (const auto& [line, count] : expected({{"if", 3}, {"else", 3}, {"close", 3}}))
        lines += "DA:" + std::to_string(line) + "," + std::to_string(count) + "\n";
    EXPECT_EQ(text.str(), lines + "LF:7\nLH:3\nend_of_record\n");
}

TEST(LineTable, FilesThatCannotBeUsed)
{
    const std::vector<std::pair<fs::path, std::string>> rows = {
        {"/nonexistent/prog", "/nonexistent/prog: No such file or directory"},
        {VEKOS_NO_DEBUG_INFO_GUEST, std::string(VEKOS_NO_DEBUG_INFO_GUEST) + ": no DWARF line table (build it with -g)"},
    };
    for (const auto& [path, message] : rows) {
        SCOPED_TRACE(path);
        EXPECT_EQ(error_of([&] { LineTable::from_elf(path); }).substr(0, message.size()), message);
    }
}

TEST(LineCoverage, BlocksCountOncePerLineTheyTouch)
{
    constexpr uint64_t most = std::numeric_limits<uint64_t>::max();
    const LineTable table({"/s/a.c"}, {{0x10, 0x14, 0, 1}, {0x14, 0x18, 0, 2}, {0x18, 0x1c, 0, 1},
                                       {0x30, 0x40, 0, 3}, {0x3c, 0x44, 0, 4}});
    const std::vector<std::pair<std::vector<ExecutedBlock>, LineCounts>> rows = {
        {{}, {{1, 0}, {2, 0}, {3, 0}, {4, 0}}},
        {{{0x10, 4, 1}}, {{1, 1}, {2, 0}, {3, 0}, {4, 0}}},
        {{{0x10, 0xc, 2}}, {{1, 2}, {2, 2}, {3, 0}, {4, 0}}},    // two pieces of line 1, once per run
        {{{0x13, 2, 1}}, {{1, 1}, {2, 1}, {3, 0}, {4, 0}}},
        {{{0x0c, 4, 5}, {0x1c, 0x14, 5}}, {{1, 0}, {2, 0}, {3, 0}, {4, 0}}},  // ends where code begins; a gap
        {{{0x3b, 1, 1}, {0x3c, 1, 2}}, {{1, 0}, {2, 0}, {3, 1}, {4, 2}}},    // the overlap belongs to line 4
        {{{0x43, 1, most}, {0x40, 1, 1}}, {{1, 0}, {2, 0}, {3, 0}, {4, most}}},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(count_lines(table, rows[i].first).at("/s/a.c"), rows[i].second);
    }
}

TEST(LcovTracefile, ParsesAndRefuses)
{
    Tracefile good = parse_tracefile("TN:t\nSF:/a.c\nFNF:0\nDA:2,1,abc\nDA:2,2\r\nDA:3,0\nLF:2\nLH:1\nend_of_record\n", "f");
    EXPECT_EQ(good, (Tracefile{{{"t", {{"/a.c", {{2, 3}, {3, 0}}}}}}}));
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"DA:1,1\n", "f:1: DA outside a record (no SF before it)"},
        {"SF:a\nDA:x,1\n", "f:2: DA wants LINE,COUNT with a line from 1 and a count from 0"},
        {"SF:a\nDA:0,1\n", "f:2: DA wants LINE,COUNT with a line from 1 and a count from 0"},
        {"SF:a\nDA:1,18446744073709551616\n", "f:2: DA wants LINE,COUNT with a line from 1 and a count from 0"},
        {"SF:a\nDA:1,-1\n", "f:2: DA wants LINE,COUNT with a line from 1 and a count from 0"},
        {"SF:a\nDA:1,1\nLF:2\nend_of_record\n", "f:4: LF/LH say 2/1 but the DA records give 1/1"},
        {"SF:a\nLH:x\n", "f:2: LF and LH want a number"},
        {"SF:a\nSF:b\n", "f:2: SF inside the record for a (no end_of_record before it)"},
        {"SF:a\nFN:1,f\n", "f:2: FN: only line coverage (DA) is kept; merge function and branch data with lcov -a"},
        {"SF:a\nBRF:2\n", "f:2: BRF: only line coverage (DA) is kept; merge function and branch data with lcov -a"},
        {"SF:a\nXY:1\n", "f:2: unknown record XY"},
        {"SF:\n", "f:1: SF names no file"},
        {"garbage\n", "f:1: 'garbage' is not KEY:VALUE"},
        {"end_of_record\n", "f:1: end_of_record outside a record"},
        {"SF:a\nDA:1,1\n", "f:2: the file ends inside the record for a (no end_of_record)"},
    };
    for (const auto& [text, message] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(error_of([&] { parse_tracefile(text, "f"); }), message);
    }
}

TEST(SourceRoots, FilesUnderARoot)
{
    const std::vector<std::tuple<fs::path, std::vector<fs::path>, bool>> rows = {
        {"/a/b/c.c", {}, true}, {"/a/b/c.c", {"/a/b"}, true}, {"/a/b/c.c", {"/x", "/a/b/"}, true},
        {"/a/bc/d.c", {"/a/b"}, false}, {"/a/b/../x.c", {"/a/b"}, false}, {"/a/x.c", {"/a/b/.."}, true},
    };
    for (const auto& [file, roots, expected] : rows) {
        SCOPED_TRACE(file);
        EXPECT_EQ(under_source_roots(file, roots), expected);
    }
}

} // namespace
} // namespace vekos::coverage
