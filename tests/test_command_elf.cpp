// The paneprobe executable as a file: metadata sections, segments, entry point.
#include "harness.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

struct Section {
    Elf32_Shdr header;
    std::vector<uint8_t> bytes;
};

class ElfFile {
public:
    explicit ElfFile(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        file_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (file_.size() < sizeof header_)
            throw std::runtime_error(path.string() + ": too short");
        std::memcpy(&header_, file_.data(), sizeof header_);
        Elf32_Shdr names = section_header(header_.e_shstrndx);
        for (unsigned i = 0; i < header_.e_shnum; ++i) {
            Elf32_Shdr sh = section_header(i);
            std::string name(reinterpret_cast<const char*>(file_.data() + names.sh_offset + sh.sh_name));
            Section s{sh, {}};
            if (sh.sh_type != SHT_NOBITS)
                s.bytes.assign(file_.begin() + sh.sh_offset, file_.begin() + sh.sh_offset + sh.sh_size);
            sections_[name] = s;
        }
        for (unsigned i = 0; i < header_.e_phnum; ++i) {
            Elf32_Phdr ph;
            std::memcpy(&ph, file_.data() + header_.e_phoff + i * sizeof ph, sizeof ph);
            segments_.push_back(ph);
        }
    }
    const Elf32_Ehdr& header() const { return header_; }
    const Section& section(const std::string& name) const { return sections_.at(name); }
    bool has(const std::string& name) const { return sections_.contains(name); }
    const std::vector<Elf32_Phdr>& segments() const { return segments_; }
    // The loadable segment that holds an address.
    const Elf32_Phdr* segment_of(uint32_t addr) const
    {
        for (const Elf32_Phdr& p : segments_)
            if (p.p_type == PT_LOAD && addr >= p.p_vaddr && addr < p.p_vaddr + p.p_memsz)
                return &p;
        return nullptr;
    }

private:
    Elf32_Shdr section_header(unsigned i) const
    {
        Elf32_Shdr sh;
        std::memcpy(&sh, file_.data() + header_.e_shoff + i * sizeof sh, sizeof sh);
        return sh;
    }
    std::vector<uint8_t> file_;
    Elf32_Ehdr header_{};
    std::map<std::string, Section> sections_;
    std::vector<Elf32_Phdr> segments_;
};

const ElfFile& paneprobe()
{
    static const ElfFile elf(build_dir() / "bin/paneprobe");
    return elf;
}

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<std::string> strings_from(const std::vector<uint8_t>& record, size_t offset)
{
    std::vector<std::string> out;
    while (offset < record.size()) {
        std::string s(reinterpret_cast<const char*>(record.data() + offset));
        offset += s.size() + 1;
        if (s.empty())
            break;
        out.push_back(s);
    }
    return out;
}

TEST(CommandElf, CommandRecordIsExactlyItsNinetySixBytes)
{
    const Section& s = paneprobe().section(".vekos.cmdmeta");
    std::string want("VCMD\x01\x00\x00\x00", 8);
    want += std::string("Legacy kernel window-test command (migrated default is userland 'panedemo').") + '\0';
    want += std::string("paneprobe") + '\0' + '\0';
    ASSERT_EQ(want.size(), 96u);
    EXPECT_EQ(s.bytes, bytes(want));
    EXPECT_EQ(s.header.sh_size, 96u);
    EXPECT_EQ(s.header.sh_addralign, 32u);
    EXPECT_EQ(s.header.sh_addr % 32, 0u);
    EXPECT_EQ(s.header.sh_type, uint32_t(SHT_PROGBITS));
    EXPECT_EQ(s.header.sh_flags, uint32_t(SHF_ALLOC)) << "allocated, neither writable nor executable";
    EXPECT_EQ(strings_from(s.bytes, 8),
        (std::vector<std::string>{
            "Legacy kernel window-test command (migrated default is userland 'panedemo').", "paneprobe"}));
}

TEST(CommandElf, PackageRecordIsExactlyItsTwentyOneBytes)
{
    const Section& s = paneprobe().section(".vekos.pkgmeta");
    std::string want("VPKG\x01\x00\x00\x00paneprobe\0"
                     "2\0\0",
        21);
    EXPECT_EQ(s.bytes, bytes(want));
    EXPECT_EQ(s.header.sh_size, 21u);
    EXPECT_EQ(s.header.sh_addralign, 4u);
    EXPECT_EQ(s.header.sh_flags, uint32_t(SHF_ALLOC));
    EXPECT_EQ(strings_from(s.bytes, 8), (std::vector<std::string>{"paneprobe", "2"}));
    uint32_t version;
    std::memcpy(&version, s.bytes.data() + 4, 4);
    EXPECT_EQ(version, 1u);
}

TEST(CommandElf, RecordsFollowTheConstantsInTheReadOnlySegment)
{
    const ElfFile& elf = paneprobe();
    const Section& rodata = elf.section(".rodata");
    const Section& cmd = elf.section(".vekos.cmdmeta");
    const Section& pkg = elf.section(".vekos.pkgmeta");
    EXPECT_GE(cmd.header.sh_addr, rodata.header.sh_addr + rodata.header.sh_size);
    EXPECT_LT(cmd.header.sh_addr - (rodata.header.sh_addr + rodata.header.sh_size), 32u) << "only alignment between";
    EXPECT_EQ(pkg.header.sh_addr, cmd.header.sh_addr + 96) << "package record right after the command record";
    const Elf32_Phdr* seg = elf.segment_of(cmd.header.sh_addr);
    ASSERT_NE(seg, nullptr);
    EXPECT_EQ(seg, elf.segment_of(pkg.header.sh_addr));
    EXPECT_EQ(seg, elf.segment_of(rodata.header.sh_addr));
    EXPECT_EQ(seg->p_flags, uint32_t(PF_R)) << "read-only data: neither writable nor executable";
}

TEST(CommandElf, EntryIsTheFirstAddressOfTheCode)
{
    const ElfFile& elf = paneprobe();
    const Section& text = elf.section(".text");
    EXPECT_EQ(elf.header().e_entry, text.header.sh_addr);
    EXPECT_EQ(elf.segment_of(text.header.sh_addr)->p_flags, uint32_t(PF_R | PF_X));
    EXPECT_EQ(elf.header().e_type, ET_EXEC);
    EXPECT_EQ(elf.header().e_machine, EM_386);
    for (const Elf32_Phdr& p : elf.segments()) {
        EXPECT_NE(p.p_type, uint32_t(PT_INTERP));
        EXPECT_NE(p.p_type, uint32_t(PT_DYNAMIC));
    }
    EXPECT_FALSE(elf.has(".dynamic"));
    EXPECT_FALSE(elf.has(".interp"));
}

TEST(CommandElf, SegmentsCarryNoPagePaddingInTheFile)
{
    const ElfFile& elf = paneprobe();
    uint32_t expected_offset = 0;
    for (const Elf32_Phdr& p : elf.segments()) {
        if (p.p_type != PT_LOAD || p.p_filesz == 0)
            continue;
        if (expected_offset) {
            EXPECT_LT(p.p_offset - expected_offset, 32u) << "only alignment padding between segments";
        }
        expected_offset = p.p_offset + p.p_filesz;
    }
}

} // namespace
} // namespace vekos::test
