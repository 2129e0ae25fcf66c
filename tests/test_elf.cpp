// Program loading: every malformed or unsuitable file is refused with status
// 126 and a message naming the file and the fault; the real images load whole.
#include "harness.h"

#include "base/errors.h"
#include "cpu/layout.h"

#include <elf.h>

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace vekos::test {
namespace {

namespace fs = std::filesystem;
const std::string kName = "prog.elf";

// The bytes of an ELF file with typed access to its headers.
struct File {
    std::vector<uint8_t> bytes;

    template <typename T>
    T get(size_t offset) const
    {
        T v;
        std::memcpy(&v, bytes.data() + offset, sizeof v);
        return v;
    }
    template <typename T>
    void edit(size_t offset, const std::function<void(T&)>& change)
    {
        T v = get<T>(offset);
        change(v);
        std::memcpy(bytes.data() + offset, &v, sizeof v);
    }
    Elf32_Ehdr header() const { return get<Elf32_Ehdr>(0); }
    void header(const std::function<void(Elf32_Ehdr&)>& change) { edit<Elf32_Ehdr>(0, change); }
    size_t ph_offset(unsigned i) const { return header().e_phoff + i * sizeof(Elf32_Phdr); }
    Elf32_Phdr ph(unsigned i) const { return get<Elf32_Phdr>(ph_offset(i)); }
    void ph(unsigned i, const std::function<void(Elf32_Phdr&)>& change) { edit<Elf32_Phdr>(ph_offset(i), change); }
    Elf32_Shdr sh(unsigned i) const { return get<Elf32_Shdr>(header().e_shoff + i * sizeof(Elf32_Shdr)); }

    // Index of the first program header matching; the test image has a fixed layout.
    unsigned find_ph(const std::function<bool(const Elf32_Phdr&)>& match) const
    {
        unsigned i = 0;
        while (i < header().e_phnum && !match(ph(i)))
            ++i;
        EXPECT_LT(i, header().e_phnum) << "no such program header";
        return i;
    }
    unsigned code() const
    {
        return find_ph([](auto& p) { return p.p_type == PT_LOAD && (p.p_flags & PF_X); });
    }
    unsigned rodata() const
    {
        return find_ph([](auto& p) { return p.p_type == PT_LOAD && p.p_flags == PF_R && p.p_memsz; });
    }
    void rodata(const std::function<void(Elf32_Phdr&)>& change) { ph(rodata(), change); }
};

File read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}};
}

std::string hex(uint64_t v)
{
    char b[32];
    std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

using Problem = std::function<std::string(const File&)>;
Problem says(std::string text)
{
    return [text](const File&) { return text; };
}
std::string outside(const File& f, const std::string& range)
{
    return "segment " + std::to_string(f.rodata()) + " at " + range
        + " lies outside the program's address space (0x1000-0xbff00000)";
}
std::string overlaps(const File& f)
{
    return "segment " + std::to_string(f.rodata()) + " at " + hex(f.ph(f.rodata()).p_vaddr)
        + " overlaps the segment at " + hex(f.ph(f.code()).p_vaddr);
}
std::string bad_entry(const File& f)
{
    return "entry point " + hex(f.header().e_entry) + " is not inside an executable segment";
}
void set_type(File& f, uint16_t type)
{
    f.header([type](Elf32_Ehdr& h) { h.e_type = type; });
}
void set_last_ph(File& f, uint32_t type)
{
    f.ph(f.header().e_phnum - 1u, [type](Elf32_Phdr& p) { p.p_type = type; });
}
void set_entry(File& f, uint32_t entry)
{
    f.header([entry](Elf32_Ehdr& h) { h.e_entry = entry; });
}

TEST(ElfTest, MalformedImagesAreRefusedWithTheFileAndTheProblemNamed)
{
    const std::string cut = "truncated file: ";
    const struct {
        const char* label;
        std::function<void(File&)> mutate;
        Problem problem; // the exact text, built from the mutated file
    } rows[] = {
        {"not an ELF", [](File& f) { f.bytes[1] = 'X'; }, says("not an ELF file")},
        {"text file",
            [](File& f) {
                f.bytes.assign({'h', 'e', 'l', 'l', 'o', '\n'});
            },
            says("not an ELF file")},
        {"64-bit", [](File& f) { f.bytes[EI_CLASS] = ELFCLASS64; }, says("not a 32-bit ELF file (it is 64-bit)")},
        {"big-endian", [](File& f) { f.bytes[EI_DATA] = ELFDATA2MSB; }, says("not a little-endian ELF file")},
        {"x86-64", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_machine = EM_X86_64; }); },
            says("not an i386 program (ELF machine 62)")},
        {"ET_DYN", [](File& f) { set_type(f, ET_DYN); },
            says("not an executable (a shared object or position-independent program)")},
        {"ET_REL", [](File& f) { set_type(f, ET_REL); }, says("not an executable (a relocatable object file)")},
        {"no program headers", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phnum = 0; }); },
            says("not an executable: it has no program headers")},
        {"odd program header size", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phentsize = 56; }); },
            says("malformed program header size 56")},
        {"PT_INTERP", [](File& f) { set_last_ph(f, PT_INTERP); },
            says("not a static executable: it names an interpreter (dynamically linked)")},
        {"PT_DYNAMIC", [](File& f) { set_last_ph(f, PT_DYNAMIC); },
            says("not a static executable: it has a dynamic section")},
        {"cut in identification", [](File& f) { f.bytes.resize(10); },
            says(cut + "the ELF identification is incomplete")},
        {"cut in header", [](File& f) { f.bytes.resize(sizeof(Elf32_Ehdr) - 1); },
            says(cut + "the ELF header is incomplete")},
        {"cut in first program header", [](File& f) { f.bytes.resize(f.ph_offset(0) + sizeof(Elf32_Phdr) - 1); },
            [cut](const File& f) {
                return cut + "a program header at offset " + std::to_string(f.ph_offset(0))
                    + " runs past the end of the file (" + std::to_string(f.bytes.size()) + " bytes)";
            }},
        {"program headers past the end", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phoff = 0xFFFFFFF0; }); },
            [cut](const File& f) {
                return cut + "a program header at offset 4294967280 runs past the end of the file ("
                    + std::to_string(f.bytes.size()) + " bytes)";
            }},
        {"cut in code bytes", [](File& f) { f.bytes.resize(f.ph(f.code()).p_offset + f.ph(f.code()).p_filesz - 1); },
            [cut](const File& f) {
                return cut + "segment " + std::to_string(f.code()) + " needs bytes up to offset "
                    + std::to_string(f.bytes.size() + 1) + " but the file has " + std::to_string(f.bytes.size());
            }},
        {"file bytes beyond memory bytes", [](File& f) { f.rodata([](Elf32_Phdr& p) { p.p_memsz = p.p_filesz - 1; }); },
            [](const File& f) {
                const Elf32_Phdr p = f.ph(f.rodata());
                return "segment " + std::to_string(f.rodata()) + " has more file bytes (" + std::to_string(p.p_filesz)
                    + ") than memory bytes (" + std::to_string(p.p_memsz) + ")";
            }},
        {"segment at 0", [](File& f) { f.rodata([](Elf32_Phdr& p) { p.p_vaddr = 0; }); },
            [](const File& f) { return outside(f, "0x0-" + hex(f.ph(f.rodata()).p_memsz)); }},
        {"segment one byte low", [](File& f) { f.rodata([](Elf32_Phdr& p) { p.p_vaddr = kLowestLoadAddress - 1; }); },
            [](const File& f) { return outside(f, "0xfff-" + hex(0xfffu + f.ph(f.rodata()).p_memsz)); }},
        {"segment one byte into the stack",
            [](File& f) { f.rodata([](Elf32_Phdr& p) { p.p_vaddr = kStackBase - p.p_memsz + 1; }); },
            [](const File& f) { return outside(f, hex(f.ph(f.rodata()).p_vaddr) + "-0xbff00001"); }},
        {"segment wrapping past 4 GiB",
            [](File& f) {
                f.rodata([](Elf32_Phdr& p) {
                    p.p_vaddr = 0xFFFFF000;
                    p.p_memsz = 0x2000;
                });
            },
            [](const File& f) { return outside(f, "0xfffff000-0x100001000"); }},
        {"overlapping segments",
            [](File& f) { f.rodata([code = f.ph(f.code()).p_vaddr](Elf32_Phdr& p) { p.p_vaddr = code + 0x10; }); },
            overlaps},
        {"segment ending one byte into the next",
            [](File& f) {
                f.rodata([code = f.ph(f.code()).p_vaddr](Elf32_Phdr& p) { p.p_vaddr = code - p.p_memsz + 1; });
            },
            overlaps},
        {"no loadable segment",
            [](File& f) {
                for (unsigned i = 0; i < f.header().e_phnum; ++i)
                    f.ph(i, [](Elf32_Phdr& p) { p.p_type = PT_NOTE; });
            },
            says("not an executable: it has no loadable segment")},
        {"entry in read-only data", [](File& f) { set_entry(f, f.ph(f.rodata()).p_vaddr); }, bad_entry},
        {"entry one past the code", [](File& f) { set_entry(f, f.ph(f.code()).p_vaddr + f.ph(f.code()).p_memsz); },
            bad_entry},
        {"code not executable", [](File& f) { f.ph(f.code(), [](Elf32_Phdr& p) { p.p_flags = PF_R; }); }, bad_entry},
    };
    for (const auto& row : rows) {
        File f = read_file(VEKOS_TEST_IMAGE);
        row.mutate(f);
        try {
            ElfImage::parse(f.bytes, kName);
            ADD_FAILURE() << row.label << ": accepted";
        } catch (const LoadError& e) {
            EXPECT_EQ(e.status(), exit_status::cannot_load) << row.label;
            EXPECT_EQ(std::string(e.what()), kName + ": " + row.problem(f)) << row.label;
        }
    }
}

// An ELF whose `count` loadable segments all map the start of the file
// (headers, then a jmp-to-itself at the entry), one after another in memory,
// code first, then read-only and read-write pages by turns.
std::vector<uint8_t> many_segments(unsigned count, uint32_t memsz)
{
    constexpr uint32_t kBase = 0x10000000, kCode = sizeof(Elf32_Ehdr);
    Elf32_Ehdr h{};
    std::memcpy(h.e_ident, ELFMAG, SELFMAG);
    h.e_ident[EI_CLASS] = ELFCLASS32;
    h.e_ident[EI_DATA] = ELFDATA2LSB;
    h.e_ident[EI_VERSION] = EV_CURRENT;
    h.e_type = ET_EXEC;
    h.e_machine = EM_386;
    h.e_version = EV_CURRENT;
    h.e_entry = kBase + kCode;
    h.e_phoff = kCode + 2;
    h.e_ehsize = sizeof h;
    h.e_phentsize = sizeof(Elf32_Phdr);
    h.e_phnum = uint16_t(count);
    std::vector<uint8_t> file(h.e_phoff + count * sizeof(Elf32_Phdr));
    std::memcpy(file.data(), &h, sizeof h);
    file[kCode] = 0xEB; // jmp $
    file[kCode + 1] = 0xFE;
    for (unsigned i = 0; i < count; ++i) {
        Elf32_Phdr p{};
        p.p_type = PT_LOAD;
        p.p_vaddr = kBase + i * uint32_t(page_ceil(memsz));
        p.p_filesz = std::min<uint32_t>(uint32_t(file.size()), memsz);
        p.p_memsz = memsz;
        p.p_flags = i == 0 ? PF_R | PF_X : i % 2 ? PF_R : PF_R | PF_W;
        std::memcpy(file.data() + h.e_phoff + i * sizeof p, &p, sizeof p);
    }
    return file;
}

// Counted and measured before anything is mapped; a file region mapped by
// every segment is held once.
TEST(ElfTest, SegmentCountAndSizeAreBoundedBeforeMapping)
{
    for (const auto& [count, memsz, problem] :
        std::vector<std::tuple<unsigned, uint32_t, std::string>>{{17, 0x1000, "more than 16 loadable segments"},
            {3, 400u << 20, "its segments take more than 1024 MiB of memory"}}) {
        try {
            ElfImage::parse(many_segments(count, memsz), kName);
            ADD_FAILURE() << problem << ": accepted";
        } catch (const LoadError& e) {
            EXPECT_EQ(std::string(e.what()), kName + ": " + problem);
            EXPECT_EQ(e.status(), exit_status::cannot_load);
        }
    }
    // Code is never writable: a page both writable and executable is refused when mapped.
    std::vector<uint8_t> writable_code = many_segments(1, 0x1000);
    writable_code[sizeof(Elf32_Ehdr) + 2 + offsetof(Elf32_Phdr, p_flags)] = PF_R | PF_W | PF_X;
    CapturedConsole quiet;
    Kernel idle({}, quiet);
    const ElfImage writable = ElfImage::parse(writable_code, kName);
    try {
        Machine refused(writable, idle);
        ADD_FAILURE() << "writable code accepted";
    } catch (const LoadError& e) {
        EXPECT_EQ(std::string(e.what()),
            kName + ": writable and executable memory at 0x10000000 (vekos programs keep their code read-only)");
    }
    ElfImage image = ElfImage::parse(many_segments(16, 0x1000), kName);
    ASSERT_EQ(image.segments().size(), 16u);
    for (const Segment& s : image.segments())
        EXPECT_EQ(s.bytes.data(), image.segments().front().bytes.data()) << "one copy of the file";
    CapturedConsole console;
    Kernel kernel({}, console);
    Machine machine(image, kernel, MachineOptions{.max_instructions = 1000});
    EXPECT_EQ(machine.start({"many"}).why, Stop::Why::InstructionLimit);
    EXPECT_EQ(machine.reg(UC_X86_REG_EIP), image.entry());
}

TEST(ElfTest, BoundariesThatAreStillValid)
{
    const std::vector<std::pair<const char*, std::function<void(File&)>>> rows = {
        {"unchanged", [](File&) {}},
        {"segment at the lowest address",
            [](File& f) { f.rodata([](Elf32_Phdr& p) { p.p_vaddr = kLowestLoadAddress; }); }},
        {"segment ending at the stack",
            [](File& f) { f.rodata([](Elf32_Phdr& p) { p.p_vaddr = kStackBase - p.p_memsz; }); }},
        {"segments touching",
            [](File& f) { f.rodata([c = f.ph(f.code())](Elf32_Phdr& p) { p.p_vaddr = c.p_vaddr + c.p_memsz; }); }},
        {"entry at the last code byte",
            [](File& f) { set_entry(f, f.ph(f.code()).p_vaddr + f.ph(f.code()).p_memsz - 1); }},
        {"larger bss than file bytes", [](File& f) { f.rodata([](Elf32_Phdr& p) { p.p_memsz = p.p_filesz + 100; }); }},
        {"no section headers",
            [](File& f) {
                f.header([](Elf32_Ehdr& h) {
                    h.e_shoff = 0;
                    h.e_shnum = 0;
                });
            }},
    };
    for (const auto& [label, mutate] : rows) {
        File f = read_file(VEKOS_TEST_IMAGE);
        mutate(f);
        try {
            ElfImage image = ElfImage::parse(f.bytes, kName);
            EXPECT_EQ(image.entry(), f.header().e_entry) << label;
            EXPECT_EQ(image.name(), kName) << label;
        } catch (const LoadError& e) {
            ADD_FAILURE() << label << ": " << e.what();
        }
    }
}

// Both real images: static, entered at the start of .text, segments holding the file's bytes.
TEST(ElfTest, RealImagesLoadWhole)
{
    for (const fs::path& path : {fs::path(VEKOS_TEST_IMAGE), build_dir() / "bin/argsdemo"}) {
        File f = read_file(path);
        Elf32_Ehdr h = f.header();
        ASSERT_EQ(h.e_shentsize, sizeof(Elf32_Shdr)) << path;
        ASSERT_LT(h.e_shstrndx, h.e_shnum) << path;
        std::optional<uint32_t> text;
        for (unsigned i = 0; i < h.e_shnum; ++i)
            if (std::string(
                    reinterpret_cast<const char*>(f.bytes.data() + f.sh(h.e_shstrndx).sh_offset + f.sh(i).sh_name))
                == ".text")
                text = f.sh(i).sh_addr;
        ASSERT_TRUE(text.has_value()) << path;
        ElfImage image = ElfImage::load(path);
        EXPECT_EQ(image.entry(), *text) << path;
        EXPECT_EQ(h.e_entry, *text) << path;
        EXPECT_EQ(image.symbol("_start")->value, *text) << path;
        auto seg = image.segments().begin();
        for (unsigned i = 0; i < h.e_phnum; ++i) {
            const Elf32_Phdr p = f.ph(i);
            EXPECT_NE(p.p_type, uint32_t(PT_INTERP)) << path;
            EXPECT_NE(p.p_type, uint32_t(PT_DYNAMIC)) << path;
            if (p.p_type != PT_LOAD || !p.p_memsz)
                continue;
            ASSERT_NE(seg, image.segments().end()) << path;
            EXPECT_EQ(std::tie(seg->vaddr, seg->memsz, seg->flags), std::tie(p.p_vaddr, p.p_memsz, p.p_flags)) << path;
            auto from = f.bytes.begin() + p.p_offset;
            EXPECT_EQ(std::vector<uint8_t>(seg->bytes.begin(), seg->bytes.end()),
                std::vector<uint8_t>(from, from + p.p_filesz))
                << path;
            ++seg;
        }
        EXPECT_EQ(seg, image.segments().end()) << path;
    }
}

} // namespace
} // namespace vekos::test
