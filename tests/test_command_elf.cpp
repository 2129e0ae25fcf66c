// The paneprobe executable as package tools read it: its records, and segments that carry no padding.
#include "harness.h"

#include <elf.h>

#include <cstring>
#include <regex>

namespace vekos::test {
namespace {

const std::string kFile = slurp(build_dir() / "bin/paneprobe");

// The `index`th T from `offset` on.
template <typename T>
T at(size_t offset, size_t index = 0)
{
    T v;
    std::memcpy(&v, kFile.data() + offset + index * sizeof v, sizeof v);
    return v;
}
const Elf32_Ehdr kHeader = at<Elf32_Ehdr>(0);
Elf32_Phdr segment(size_t i) { return at<Elf32_Phdr>(kHeader.e_phoff, i); }
Elf32_Shdr section_header(size_t i) { return at<Elf32_Shdr>(kHeader.e_shoff, i); }

Elf32_Shdr section(const std::string& name)
{
    for (unsigned i = 0; i < kHeader.e_shnum; ++i)
        if (name == kFile.c_str() + section_header(kHeader.e_shstrndx).sh_offset + section_header(i).sh_name)
            return section_header(i);
    return ADD_FAILURE() << "no section " << name, Elf32_Shdr{};
}

// Each record: a magic word, version 1, then NUL-terminated strings up to an empty one, and zeros: the
// command's name is the file's, after a printable description, the package's too, before a version number.
// They are allocated read-only data (the link map's second segment), aligned, right after the constants,
// the package's right after the command's.
TEST(CommandElf, RecordsAreReadOnlyMagicVersionAndStringsAfterTheConstants)
{
    using namespace std::string_literals;
    const Elf32_Phdr ro = segment(1);
    uint32_t after = section(".rodata").sh_addr + section(".rodata").sh_size;
    for (const auto& [name, format, size, align] :
        {std::tuple{".vekos.cmdmeta", "VCMD\x01\0\0\0[ -~]+\0paneprobe\0\0+"s, 96u, 32u},
            std::tuple{".vekos.pkgmeta", "VPKG\x01\0\0\0paneprobe\0[0-9]+\0\0"s, 21u, 4u}}) {
        SCOPED_TRACE(name);
        const Elf32_Shdr sh = section(name);
        EXPECT_TRUE(sh.sh_type == SHT_PROGBITS && sh.sh_flags == SHF_ALLOC && ro.p_flags == PF_R
            && sh.sh_addr >= ro.p_vaddr && sh.sh_addr + sh.sh_size <= ro.p_vaddr + ro.p_filesz);
        EXPECT_EQ(std::tuple(sh.sh_size, sh.sh_addralign, sh.sh_addr % align), std::tuple(size, align, 0u));
        EXPECT_TRUE(sh.sh_addr >= after && sh.sh_addr - after < align) << "only alignment before it";
        after = sh.sh_addr + sh.sh_size;
        EXPECT_TRUE(std::regex_match(kFile.substr(sh.sh_offset, sh.sh_size), std::regex(format)))
            << ::testing::PrintToString(kFile.substr(sh.sh_offset, sh.sh_size));
    }
}

// Between segments the file has only the alignment of what follows, no page padding.
TEST(CommandElf, SegmentsCarryNoPagePaddingInTheFile)
{
    for (unsigned i = 1; i < kHeader.e_phnum; ++i)
        EXPECT_LT(segment(i).p_offset - segment(i - 1).p_offset - segment(i - 1).p_filesz, 32u) << "segment " << i;
}

} // namespace
} // namespace vekos::test
