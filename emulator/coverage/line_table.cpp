#include "coverage/line_table.h"

#include "base/unique_fd.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

namespace vekos::coverage {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view no_line_table = "no DWARF line table (build it with -g)";

struct DwarfCloser {
    void operator()(Dwarf* dwarf) const { dwarf_end(dwarf); }
};
using DwarfHandle = std::unique_ptr<Dwarf, DwarfCloser>;

struct Segment {
    uint64_t begin;
    uint64_t end;
};

// One row of a unit's line program, as libdw decodes it.
struct Row {
    uint64_t address;
    int line;
    bool end_sequence;
    const char* file;
};

[[noreturn]] void fail(const fs::path& elf, std::string_view what)
{
    throw std::runtime_error(elf.string() + ": " + std::string(what));
}

std::vector<Segment> executable_segments(Elf* elf, const fs::path& path)
{
    size_t count = 0;
    if (elf == nullptr || elf_getphdrnum(elf, &count) != 0)
        fail(path, std::string("cannot read the program headers: ") + elf_errmsg(-1));
    std::vector<Segment> segments;
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr header;
        if (gelf_getphdr(elf, int(i), &header) && header.p_type == PT_LOAD && (header.p_flags & PF_X))
            segments.push_back({header.p_vaddr, header.p_vaddr + header.p_memsz});
    }
    return segments;
}

std::optional<Row> read_row(Dwarf_Lines* lines, size_t index)
{
    Dwarf_Line* line = dwarf_onesrcline(lines, index);
    Row row{};
    if (line == nullptr || dwarf_lineaddr(line, &row.address) != 0 || dwarf_lineno(line, &row.line) != 0 ||
        dwarf_lineendsequence(line, &row.end_sequence) != 0)
        return std::nullopt;
    row.file = dwarf_linesrc(line, nullptr, nullptr);
    return row;
}

class TableBuilder {
public:
    TableBuilder(std::vector<Segment> segments, std::span<const fs::path> roots)
        : segments_(std::move(segments)), roots_(roots) {}

    // Turns each row of the unit into the range up to the next row.
    void add_unit(Dwarf_Die& unit, Dwarf_Lines* lines, size_t count)
    {
        fs::path compile_dir = unit_directory(unit);
        std::optional<Row> row = count ? read_row(lines, 0) : std::nullopt;
        for (size_t i = 1; i < count && row; ++i) {
            std::optional<Row> next = read_row(lines, i);
            if (next && !row->end_sequence && row->line > 0 && row->file && next->address > row->address)
                add_range(compile_dir, *row, next->address);
            row = next;
        }
    }

    LineTable finish() { return LineTable(std::move(files_), std::move(ranges_)); }

private:
    static fs::path unit_directory(Dwarf_Die& unit)
    {
        Dwarf_Attribute attribute;
        const char* dir = dwarf_formstring(dwarf_attr(&unit, DW_AT_comp_dir, &attribute));
        return dir ? fs::path(dir) : fs::path();
    }

    bool executable(uint64_t begin, uint64_t end) const
    {
        return std::any_of(segments_.begin(), segments_.end(),
                           [&](const Segment& s) { return begin >= s.begin && end <= s.end; });
    }

    void add_range(const fs::path& compile_dir, const Row& row, uint64_t end)
    {
        if (!executable(row.address, end))
            return;  // a function the linker dropped, or not code
        auto file = file_index(compile_dir, row.file);
        if (file)
            ranges_.push_back({uint32_t(row.address), uint32_t(end), *file, unsigned(row.line)});
    }

    std::optional<uint32_t> file_index(const fs::path& compile_dir, const char* name)
    {
        auto known = by_name_.find(name);
        if (known != by_name_.end())
            return known->second;
        fs::path path = fs::path(name);
        if (path.is_relative())
            path = compile_dir / path;
        path = path.lexically_normal();
        std::optional<uint32_t> index;
        if (under_source_roots(path, roots_)) {
            index = uint32_t(files_.size());
            files_.push_back(path.string());
        }
        by_name_.emplace(name, index);
        return index;
    }

    std::vector<Segment> segments_;
    std::span<const fs::path> roots_;
    std::map<std::string, std::optional<uint32_t>, std::less<>> by_name_;
    std::vector<std::string> files_;
    std::vector<LineRange> ranges_;
};

} // namespace

LineTable::LineTable(std::vector<std::string> files, std::vector<LineRange> ranges)
    : files_(std::move(files)), ranges_(std::move(ranges))
{
    std::sort(ranges_.begin(), ranges_.end(),
              [](const LineRange& a, const LineRange& b) { return a.begin < b.begin; });
    for (size_t i = 0; i + 1 < ranges_.size(); ++i)
        ranges_[i].end = std::min(ranges_[i].end, ranges_[i + 1].begin);
    std::erase_if(ranges_, [](const LineRange& r) { return r.end <= r.begin; });
}

std::span<const LineRange> LineTable::overlapping(uint32_t begin, uint32_t end) const
{
    auto first = std::partition_point(ranges_.begin(), ranges_.end(),
                                      [&](const LineRange& r) { return r.end <= begin; });
    auto last = std::partition_point(first, ranges_.end(), [&](const LineRange& r) { return r.begin < end; });
    return {first, last};
}

LineTable LineTable::from_elf(const fs::path& elf, std::span<const fs::path> source_roots)
{
    UniqueFd fd(::open(elf.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        fail(elf, std::strerror(errno));
    DwarfHandle dwarf(dwarf_begin(fd.get(), DWARF_C_READ));
    if (!dwarf)
        fail(elf, std::string(no_line_table) + ": " + dwarf_errmsg(-1));
    TableBuilder builder(executable_segments(dwarf_getelf(dwarf.get()), elf), source_roots);
    bool any_lines = false;
    Dwarf_CU* unit = nullptr;
    Dwarf_Die die;
    uint8_t unit_type = 0;
    while (dwarf_get_units(dwarf.get(), unit, &unit, nullptr, &unit_type, &die, nullptr) == 0) {
        Dwarf_Lines* lines = nullptr;
        size_t count = 0;
        if (dwarf_getsrclines(&die, &lines, &count) != 0)
            continue;  // a unit without a line program
        any_lines = any_lines || count > 0;
        builder.add_unit(die, lines, count);
    }
    if (!any_lines)
        fail(elf, no_line_table);
    return builder.finish();
}

bool under_source_roots(const fs::path& file, std::span<const fs::path> roots)
{
    if (roots.empty())
        return true;
    fs::path normal = file.lexically_normal();
    return std::any_of(roots.begin(), roots.end(), [&](const fs::path& root) {
        fs::path base = root.lexically_normal();
        auto [root_end, file_end] = std::mismatch(base.begin(), base.end(), normal.begin(), normal.end());
        return root_end == base.end() || (std::next(root_end) == base.end() && root_end->empty());
    });
}

} // namespace vekos::coverage
