#include "coverage/lcov_tracefile.h"

#include "base/unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <optional>

namespace vekos::coverage {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view end_of_record = "end_of_record";
// Function and branch totals, accepted when they say there is none.
constexpr std::array<std::string_view, 4> empty_summaries = {"FNF", "FNH", "BRF", "BRH"};
constexpr mode_t tracefile_mode = 0644;
constexpr size_t read_chunk = 64 * 1024;

template <typename Number>
std::optional<Number> parse_decimal(std::string_view text)
{
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Reads the text line by line, one record at a time.
class Parser {
public:
    explicit Parser(std::string_view origin) : origin_(origin) {}

    Tracefile parse(std::string_view text)
    {
        while (!text.empty()) {
            size_t newline = text.find('\n');
            std::string_view line = text.substr(0, newline);
            text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
            ++line_number_;
            if (line.ends_with('\r'))
                line.remove_suffix(1);
            if (!line.empty())
                parse_line(line);
        }
        if (source_)
            fail("the file ends inside the record for " + *source_ + " (no end_of_record)");
        return std::move(result_);
    }

private:
    [[noreturn]] void fail(const std::string& problem) const
    {
        throw TracefileError(std::string(origin_) + ":" + std::to_string(line_number_) + ": " + problem);
    }

    void parse_line(std::string_view line)
    {
        if (line == end_of_record)
            return finish_record();
        size_t colon = line.find(':');
        std::string_view key = line.substr(0, colon), value = colon == line.npos ? "" : line.substr(colon + 1);
        if (colon == line.npos)
            fail(std::string("'").append(line).append("' is not KEY:VALUE"));
        if (key == "TN" || key == "SF")
            return start(key, value);
        if (!source_)
            fail(std::string(key) + " outside a record (no SF before it)");
        if (key == "DA")
            return parse_hits(value);
        if (key == "LF" || key == "LH")
            return parse_total(key == "LF" ? found_ : hit_, value);
        if (std::ranges::find(empty_summaries, key) != empty_summaries.end() && value == "0")
            return;  // lcov -a writes these: no function or branch data to lose
        if (key.starts_with("FN") || key.starts_with("BR"))
            fail(std::string(key) + ": only line coverage (DA) is kept; merge function and branch data with lcov -a");
        fail("unknown record " + std::string(key));
    }

    void start(std::string_view key, std::string_view value)
    {
        if (source_)
            fail(std::string(key) + " inside the record for " + *source_ + " (no end_of_record before it)");
        if (key == "TN")
            return void(test_ = value);
        if (value.empty())
            fail("SF names no file");
        source_ = std::string(value);
        lines_.clear();
        found_ = hit_ = std::nullopt;
    }

    void parse_hits(std::string_view value)
    {
        size_t comma = value.find(',');
        std::string_view count_and_checksum = comma == value.npos ? "" : value.substr(comma + 1);
        auto line = parse_decimal<unsigned>(value.substr(0, comma));
        auto count = parse_decimal<uint64_t>(count_and_checksum.substr(0, count_and_checksum.find(',')));
        if (!line || *line == 0 || !count)
            fail("DA wants LINE,COUNT with a line from 1 and a count from 0");
        lines_[*line] = add_counts(lines_[*line], *count);
    }

    void parse_total(std::optional<size_t>& total, std::string_view value)
    {
        if (!(total = parse_decimal<size_t>(value)))
            fail("LF and LH want a number");
    }

    void finish_record()
    {
        if (!source_)
            fail("end_of_record outside a record");
        size_t hit = std::count_if(lines_.begin(), lines_.end(), [](const auto& l) { return l.second > 0; });
        if ((found_ && *found_ != lines_.size()) || (hit_ && *hit_ != hit))
            fail("LF/LH say " + std::to_string(found_.value_or(lines_.size())) + "/" +
                 std::to_string(hit_.value_or(hit)) + " but the DA records give " +
                 std::to_string(lines_.size()) + "/" + std::to_string(hit));
        result_.add(test_, SourceCounts{{*source_, lines_}});
        source_.reset();
    }

    std::string_view origin_;
    size_t line_number_ = 0;
    Tracefile result_;
    std::string test_;
    std::optional<std::string> source_;
    LineCounts lines_;
    std::optional<size_t> found_, hit_;
};

std::optional<std::string> read_all(int fd)
{
    std::string text;
    char buffer[read_chunk];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return text;
        text.append(buffer, size_t(got));
    }
}

// Opens and locks the tracefile at `path`, again if another run replaced it
// while this one waited for the lock.
UniqueFd lock_tracefile(const fs::path& path)
{
    for (;;) {
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, tracefile_mode));
        if (!fd || ::flock(fd.get(), LOCK_EX) != 0)
            throw TracefileError(path.string() + ": cannot open the tracefile: " + std::strerror(errno));
        struct stat opened, current;
        if (::fstat(fd.get(), &opened) == 0 && ::stat(path.c_str(), &current) == 0 &&
            opened.st_ino == current.st_ino && opened.st_dev == current.st_dev)
            return fd;
    }
}

// Writes `text` beside `path` and renames it into place.
void replace_file(const fs::path& path, std::string_view text)
{
    std::string temporary = path.string() + ".XXXXXX";
    UniqueFd fd(::mkstemp(temporary.data()));
    if (!fd)
        throw std::runtime_error(path.string() + ": cannot write beside it: " + std::strerror(errno));
    bool written = ::fchmod(fd.get(), tracefile_mode) == 0;
    for (std::string_view rest = text; written && !rest.empty();) {
        ssize_t sent = ::write(fd.get(), rest.data(), rest.size());
        written = sent > 0 || (sent < 0 && errno == EINTR);
        rest.remove_prefix(sent > 0 ? size_t(sent) : 0);
    }
    int error = errno;
    fd.reset();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = written ? errno : error;
        ::unlink(temporary.c_str());
        throw std::runtime_error(path.string() + ": cannot write the tracefile: " + std::strerror(error));
    }
}

} // namespace

void Tracefile::add(const std::string& test, const SourceCounts& counts)
{
    SourceCounts& sources = tests[test];
    for (const auto& [file, lines] : counts) {
        LineCounts& into = sources[file];
        for (const auto& [line, count] : lines)
            into[line] = add_counts(into[line], count);
    }
}

void Tracefile::add(const Tracefile& other)
{
    for (const auto& [test, counts] : other.tests)
        add(test, counts);
}

Tracefile parse_tracefile(std::string_view text, std::string_view origin)
{
    return Parser(origin).parse(text);
}

std::string format_tracefile(const Tracefile& tracefile)
{
    std::string out;
    for (const auto& [test, sources] : tracefile.tests) {
        for (const auto& [file, lines] : sources) {
            out += "TN:" + test + "\nSF:" + file + "\n";
            size_t hit = 0;
            for (const auto& [line, count] : lines) {
                out += "DA:" + std::to_string(line) + "," + std::to_string(count) + "\n";
                hit += count > 0;
            }
            out += "LF:" + std::to_string(lines.size()) + "\nLH:" + std::to_string(hit) + "\n";
            out += std::string(end_of_record) + "\n";
        }
    }
    return out;
}

void merge_into_tracefile(const fs::path& path, const Tracefile& run)
{
    UniqueFd lock = lock_tracefile(path);
    auto text = read_all(lock.get());
    if (!text)
        throw TracefileError(path.string() + ": cannot read the tracefile: " + std::strerror(errno));
    Tracefile sum = parse_tracefile(*text, path.string());
    sum.add(run);
    replace_file(path, format_tracefile(sum));
}

} // namespace vekos::coverage
