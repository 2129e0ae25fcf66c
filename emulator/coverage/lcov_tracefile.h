// lcov tracefiles (the format of lcov, genhtml and most coverage viewers):
//
//   TN:<test name>
//   SF:<source file>
//   DA:<line>,<count>
//   LF:<lines with code>
//   LH:<lines that ran>
//   end_of_record
//
// Several runs add up in one file: the file is read, each run's counts are
// added line by line to the counts for the same test name and source file,
// and the sum is written back.  Only line coverage is kept: a file with
// function or branch records (FN, BRDA, ...) is refused rather than
// rewritten without them; totals of none (FNF:0, as lcov -a writes) pass.  A DA checksum (a third field) is accepted and
// not written back.
#pragma once

#include "coverage/line_coverage.h"

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vekos::coverage {

// A tracefile that cannot be read: names the file, the line and the problem.
class TracefileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Tracefile {
    std::map<std::string, SourceCounts> tests;  // test name ("" when none) -> its sources

    // Adds `counts` to those of `test`: a line in both gets the sum.
    void add(const std::string& test, const SourceCounts& counts);
    void add(const Tracefile& other);
    bool operator==(const Tracefile&) const = default;
};

// `origin` names the text in errors (the file name).
Tracefile parse_tracefile(std::string_view text, std::string_view origin);
std::string format_tracefile(const Tracefile& tracefile);

// Adds `run` to the tracefile at `path` (none there: a new one).  The sum is
// written to a temporary file beside it and renamed into place, so the old
// counts stay whole if anything fails.  Throws TracefileError for a file
// that cannot be read, std::runtime_error for one that cannot be written.
void merge_into_tracefile(const std::filesystem::path& path, const Tracefile& run);

} // namespace vekos::coverage
