#include "coverage/line_coverage.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace vekos::coverage {

uint64_t add_counts(uint64_t a, uint64_t b)
{
    constexpr uint64_t most = std::numeric_limits<uint64_t>::max();
    return b > most - a ? most : a + b;
}

SourceCounts count_lines(const LineTable& table, std::span<const ExecutedBlock> blocks)
{
    using LineKey = std::pair<uint32_t, unsigned>;  // file index, line
    std::map<LineKey, uint64_t> counts;
    for (const LineRange& r : table.ranges())
        counts.try_emplace({r.file, r.line}, 0);

    std::vector<LineKey> in_block;
    for (const ExecutedBlock& block : blocks) {
        uint64_t end = std::min<uint64_t>(uint64_t(block.address) + block.size, UINT32_MAX);
        in_block.clear();
        for (const LineRange& r : table.overlapping(block.address, uint32_t(end)))
            in_block.emplace_back(r.file, r.line);
        std::sort(in_block.begin(), in_block.end());
        in_block.erase(std::unique(in_block.begin(), in_block.end()), in_block.end());
        for (const LineKey& key : in_block)
            counts[key] = add_counts(counts[key], block.count);
    }

    SourceCounts result;
    for (const auto& [key, count] : counts)
        result[table.files()[key.first]][key.second] = count;
    return result;
}

std::vector<ExecutedBlock> executed_blocks(const std::unordered_map<uint64_t, uint64_t>& block_runs)
{
    std::vector<ExecutedBlock> blocks;
    blocks.reserve(block_runs.size());
    for (const auto& [key, runs] : block_runs)
        blocks.push_back(ExecutedBlock{uint32_t(key >> 32), uint32_t(key), runs});
    return blocks;
}

} // namespace vekos::coverage
