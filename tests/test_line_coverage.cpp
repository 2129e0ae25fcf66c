// Line coverage: the DWARF line table of a real guest, executed blocks to
// line counts, and lcov tracefiles that add up over runs.
#include "coverage/lcov_tracefile.h"
#include "harness.h"

#include <fstream>

namespace vekos::coverage {
namespace {

namespace fs = std::filesystem;

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

// The guest run as vekos-run --coverage runs it: once with its branch taken
// (argc 1), three times without (argc 0), every run adding into one
// tracefile.  Each marked line has its count; the function the linker
// dropped has no lines.  In each run main's line 19 has two blocks: up to the
// call and after it.
TEST(GuestCoverage, BranchTakenAndNotTakenAddUpOverRuns)
{
    const fs::path file = fs::path(testing::TempDir()) / "guest.info";
    fs::remove(file);
    SessionOptions options;
    options.coverage = file;
    for (const auto& [argv, status] : {std::pair{std::vector<std::string>{"p"}, 2}, {{}, 0}, {{}, 0}, {{}, 0}}) {
        Session run(VEKOS_COVERAGE_GUEST, options);
        EXPECT_EQ(run.run(argv).exit_status, status) << argv.size();
    }
    const std::map<std::string, uint64_t> counts
        = {{"main", 4}, {"call", 8}, {"if", 4}, {"then", 1}, {"else", 3}, {"close", 3}, {"main-close", 4}};
    const std::string source = fs::path(VEKOS_COVERAGE_GUEST_SOURCE).lexically_normal().string();
    LineCounts lines;
    std::ifstream in(source);
    std::string text;
    for (unsigned line = 1; std::getline(in, text); ++line)
        if (size_t at = text.find("mark:"); at != text.npos && !text.ends_with("dropped */"))
            lines[line] = counts.at(text.substr(at + 5, text.find(' ', at) - at - 5));
    EXPECT_EQ(parse_tracefile(vekos::test::slurp(file), file.string()).tests.at("").at(source), lines);
}

// Files that cannot be used, and source roots that keep only the files under them.
TEST(LineTable, RefusedFilesAndSourceRoots)
{
    const std::string missing = "/nonexistent/prog", no_dwarf = VEKOS_NO_DEBUG_INFO_GUEST;
    EXPECT_EQ(error_of([&] { LineTable::from_elf(missing); }), missing + ": No such file or directory");
    const std::string error = error_of([&] { LineTable::from_elf(no_dwarf); });
    EXPECT_TRUE(error.starts_with(no_dwarf + ": no DWARF line table (build it with -g)")) << error;
    const std::vector<fs::path> roots = {"/x", "/a/b/"};
    EXPECT_TRUE(LineTable::from_elf(VEKOS_COVERAGE_GUEST, roots).ranges().empty()); // the guest's source is elsewhere
    EXPECT_TRUE(under_source_roots("/a/b/c.c", roots));
    EXPECT_FALSE(under_source_roots("/a/bc/d.c", roots)); // a root is a folder, not the start of a name
    EXPECT_FALSE(under_source_roots("/a/b/../x.c", roots));
}

TEST(LineCoverage, BlocksCountOncePerLineTheyTouch)
{
    const LineTable table({"/s/a.c"},
        {{0x10, 0x14, 0, 1}, {0x14, 0x18, 0, 2}, {0x18, 0x1c, 0, 1}, {0x30, 0x40, 0, 3}, {0x3c, 0x44, 0, 4}});
    const std::vector<std::pair<std::vector<ExecutedBlock>, LineCounts>> rows = {
        {{{0x10, 0xc, 2}}, {{1, 2}, {2, 2}, {3, 0}, {4, 0}}},                // two pieces of line 1, once per run
        {{{0x0c, 4, 5}, {0x1c, 0x14, 5}}, {{1, 0}, {2, 0}, {3, 0}, {4, 0}}}, // ends where code begins; a gap
        {{{0x3b, 1, 1}, {0x3c, 1, 2}}, {{1, 0}, {2, 0}, {3, 1}, {4, 2}}},    // the overlap belongs to line 4
        {{{0x43, 1, UINT64_MAX}, {0x40, 1, 1}}, {{1, 0}, {2, 0}, {3, 0}, {4, UINT64_MAX}}},
    };
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(count_lines(table, rows[i].first).at("/s/a.c"), rows[i].second) << "row " << i;
}

TEST(LcovTracefile, ParsesAndRefuses)
{
    Tracefile good = parse_tracefile("TN:t\nSF:a\nFNF:0\nDA:2,1,x\nDA:2,2\r\nDA:3,0\nLF:2\nLH:1\nend_of_record\n", "f");
    EXPECT_EQ(good, (Tracefile{{{"t", {{"a", {{2, 3}, {3, 0}}}}}}}));
    // One row per kind of fault (end_of_record outside a record: the merge below).
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"DA:1,1\n", "f:1: DA outside a record (no SF before it)"},
        {"SF:a\nDA:0,1\n", "f:2: DA wants LINE,COUNT with a line from 1 and a count from 0"},
        {"SF:a\nDA:1,1\nLF:2\nend_of_record\n", "f:4: LF/LH say 2/1 but the DA records give 1/1"},
        {"SF:a\nLH:x\n", "f:2: LF and LH want a number"},
        {"SF:a\nSF:b\n", "f:2: SF inside the record for a (no end_of_record before it)"},
        {"SF:a\nFN:1,f\n", "f:2: FN: only line coverage (DA) is kept; merge function and branch data with lcov -a"},
        {"SF:\n", "f:1: SF names no file"},
        {"garbage\n", "f:1: 'garbage' is not KEY:VALUE"},
        {"SF:a\nXY:1\n", "f:2: unknown record XY"},
        {"SF:a\nDA:1,1\n", "f:2: the file ends inside the record for a (no end_of_record)"},
    };
    for (const auto& [text, message] : rows)
        EXPECT_EQ(error_of([&] { parse_tracefile(text, "f"); }), message) << text;
}

// Runs add up in the file; a file that cannot be read is named with the
// line at fault and left as it was.
TEST(LcovTracefile, MergesRunsAndKeepsABadFile)
{
    const fs::path file = fs::path(testing::TempDir()) / "runs.info";
    fs::remove(file);
    const Tracefile run{{{"", {{"/a.c", {{2, 1}, {3, 0}}}}}}};
    merge_into_tracefile(file, run);
    merge_into_tracefile(file, run);
    const std::string sum = "TN:\nSF:/a.c\nDA:2,2\nDA:3,0\nLF:2\nLH:1\nend_of_record\n";
    EXPECT_EQ(test::slurp(file), sum);
    std::ofstream(file, std::ios::app) << "end_of_record\n";
    EXPECT_EQ(error_of([&] { merge_into_tracefile(file, run); }), file.string() + ":8: end_of_record outside a record");
    EXPECT_EQ(test::slurp(file), sum + "end_of_record\n");
}

} // namespace
} // namespace vekos::coverage
