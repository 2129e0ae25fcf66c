#include "cpu/program_map.h"

#include "base/errors.h"
#include "cpu/faults.h"
#include "cpu/layout.h"

#include <algorithm>

namespace vekos {
namespace {

uint32_t segment_access(uint32_t elf_flags)
{
    uint32_t a = 0;
    if (elf_flags & 4)
        a |= kRead;
    if (elf_flags & 2)
        a |= kWrite | kRead;
    if (elf_flags & 1)
        a |= kExec | kRead;
    return a;
}

} // namespace

std::vector<ProgramRegion> program_regions(const ElfImage& image)
{
    std::vector<uint64_t> cuts;
    for (const Segment& s : image.segments()) {
        cuts.push_back(page_floor(s.vaddr));
        cuts.push_back(page_ceil(uint64_t(s.vaddr) + s.memsz));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::vector<ProgramRegion> regions;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        uint32_t access = 0;
        bool covered = false; // a segment may have no access at all: mapped, but every access faults
        for (const Segment& s : image.segments())
            if (page_floor(s.vaddr) <= cuts[i] && cuts[i] < page_ceil(uint64_t(s.vaddr) + s.memsz)) {
                access |= segment_access(s.flags);
                covered = true;
            }
        if (!covered)
            continue; // a gap between segments
        if ((access & kWrite) && (access & kExec))
            throw LoadError(image.name() + ": writable and executable memory at " + hex32(uint32_t(cuts[i]))
                    + " (vekos programs keep their code read-only)",
                exit_status::cannot_load);
        const uint32_t base = uint32_t(cuts[i]), size = uint32_t(cuts[i + 1] - cuts[i]);
        if (!regions.empty() && regions.back().access == access && regions.back().base + regions.back().size == base)
            regions.back().size += size;
        else
            regions.push_back({base, size, access});
    }
    return regions;
}

std::vector<uint64_t> untranslatable_sites(
    const GuestMemory& memory, const ElfImage& image, const std::vector<ProgramRegion>& regions)
{
    auto byte_at = [&](uint64_t at) {
        uint8_t b = 0;
        memory.peek(uint32_t(at), std::span<uint8_t>(&b, 1)); // stays 0 where nothing is mapped
        return b;
    };
    auto is_prefix = [](uint8_t b) {
        switch (b) {
        case 0x26:
        case 0x2E:
        case 0x36:
        case 0x3E:
        case 0x64:
        case 0x65:
        case 0x66:
        case 0x67:
        case 0xF0:
        case 0xF2:
        case 0xF3: return true;
        default: return false;
        }
    };
    constexpr uint64_t kMaxPrefixes = 14;
    std::vector<uint64_t> sites;
    for (const ProgramRegion& region : regions) {
        if (!(region.access & kExec))
            continue;
        const uint64_t region_end = uint64_t(region.base) + region.size;
        for (const Segment& seg : image.segments()) {
            const uint64_t from = std::max<uint64_t>(region.base, seg.vaddr);
            const uint64_t to = std::min<uint64_t>(region_end, uint64_t(seg.vaddr) + seg.bytes.size());
            for (uint64_t at = from; at < to; ++at) {
                const uint8_t modrm = byte_at(at + 1), reg = modrm >> 3 & 7;
                if (seg.bytes[at - seg.vaddr] != 0xFF || modrm < 0xC0 || (reg != 3 && reg != 5))
                    continue;
                sites.push_back(at);
                for (uint64_t k = 1; k <= kMaxPrefixes && k <= at && is_prefix(byte_at(at - k)); ++k)
                    sites.push_back(at - k);
            }
        }
    }
    std::sort(sites.begin(), sites.end());
    sites.erase(std::unique(sites.begin(), sites.end()), sites.end());
    return sites;
}

} // namespace vekos
