// How a program's segments become guest memory: runs of pages of equal
// access, and the places where the engine must stop before translating.
#pragma once

#include "cpu/elf_image.h"
#include "cpu/guest_memory.h"

#include <cstdint>
#include <vector>

namespace vekos {

struct ProgramRegion {
    uint32_t base, size, access; // access: kRead, kWrite, kExec
};

// The program's pages as runs of equal access; a page shared by two segments
// gets the union of their access, and a segment without any access is mapped
// with none.  Works on segment boundaries, not pages, so its cost does not
// grow with the size of the segments.  Throws LoadError for a page both
// writable and executable: program code never changes.
std::vector<ProgramRegion> program_regions(const ElfImage& image);

// Unicorn 2.0.1 aborts the whole process while translating an indirect far
// call or jump with a register operand (FF /3, FF /5, mod 3), which a CPU
// refuses as an invalid instruction.  Code never changes, so every place such
// an instruction could start (the FF byte, or a run of prefixes before it) is
// known once the program is loaded; sorted.
std::vector<uint64_t> untranslatable_sites(
    const GuestMemory& memory, const ElfImage& image, const std::vector<ProgramRegion>& regions);

} // namespace vekos
