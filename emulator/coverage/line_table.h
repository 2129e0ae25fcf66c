// Which source line each byte of a program's code belongs to, from the
// DWARF line table of an ELF built with -g (read with elfutils' libdw).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace vekos::coverage {

// The code bytes [begin, end) that belong to `line` of files()[file].
struct LineRange {
    uint32_t begin;
    uint32_t end;
    uint32_t file;
    unsigned line;

    bool operator==(const LineRange&) const = default;
};

class LineTable {
public:
    // Ranges are sorted; where two overlap, the first is cut where the
    // second begins, so each byte has one line.  Empty ranges are dropped.
    LineTable(std::vector<std::string> files, std::vector<LineRange> ranges);

    // Every line-table row of `elf` that lies in an executable segment
    // (functions the linker dropped point at address 0 and are left out),
    // with line 0 (code of no line) left out.  Where several rows share an
    // address (optimised code), the last one owns the code there and the
    // others, owning no byte, are not lines with code.  File names are made
    // absolute and normal.  With `source_roots`, only files under one of
    // them are kept.  Throws std::runtime_error naming the file when it
    // cannot be read or carries no line table (built without -g).
    static LineTable from_elf(const std::filesystem::path& elf,
                              std::span<const std::filesystem::path> source_roots = {});

    const std::vector<std::string>& files() const { return files_; }
    std::span<const LineRange> ranges() const { return ranges_; }
    // The ranges with at least one byte in [begin, end).
    std::span<const LineRange> overlapping(uint32_t begin, uint32_t end) const;

private:
    std::vector<std::string> files_;
    std::vector<LineRange> ranges_;
};

// Whether `file` lies under one of `roots` (all of them when there are none).
bool under_source_roots(const std::filesystem::path& file, std::span<const std::filesystem::path> roots);

} // namespace vekos::coverage
