// Line coverage of one run: which source lines ran, and how often, from the
// basic blocks the CPU executed.
//
// A line's count is the sum, over the executed blocks that hold at least one
// byte of its code, of the times each block ran.  A block runs whole (the
// CPU enters it at its start and leaves at its end), so every instruction in
// it ran as often as the block did; a line with code in a block is counted
// once per run of the block, however many of its instructions the block
// holds.  A line whose code is split over several blocks (a loop condition,
// say) counts the runs of each.  Executed instructions can be given as
// blocks of one byte at their address.
#pragma once

#include "coverage/line_table.h"

#include <cstdint>
#include <map>
#include <span>
#include <vector>
#include <string>
#include <unordered_map>

namespace vekos::coverage {

struct ExecutedBlock {
    uint32_t address;
    uint32_t size;   // bytes
    uint64_t count;  // times it ran
};

using LineCounts = std::map<unsigned, uint64_t>;           // line -> times it ran
using SourceCounts = std::map<std::string, LineCounts>;   // source file -> its lines

// a + b, held at the largest count rather than wrapping.
uint64_t add_counts(uint64_t a, uint64_t b);

// Every line of the table, with 0 for the lines that never ran.
SourceCounts count_lines(const LineTable& table, std::span<const ExecutedBlock> blocks);

// Blocks as an engine counts them: (address << 32 | size) -> runs.
std::vector<ExecutedBlock> executed_blocks(const std::unordered_map<uint64_t, uint64_t>& block_runs);

} // namespace vekos::coverage
