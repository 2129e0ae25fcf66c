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
void move_rodata(File& f, uint32_t vaddr)
{
    f.rodata([vaddr](Elf32_Phdr& p) { p.p_vaddr = vaddr; });
}

// The message: the file's name, then the cause, with the numbers that locate it.
void expect_refused(const std::vector<uint8_t>& bytes, const std::string& cause)
{
    try {
        ElfImage::parse(bytes, kName);
        ADD_FAILURE() << "accepted";
    } catch (const LoadError& e) {
        EXPECT_EQ(e.status(), exit_status::cannot_load);
        const std::string said = e.what();
        EXPECT_TRUE(said.starts_with(kName + ": ") && said.find(cause) != std::string::npos) << said;
        EXPECT_EQ(said.find('\n'), std::string::npos) << said;
    }
}

TEST(ElfTest, MalformedImagesAreRefusedWithTheFileAndTheProblemNamed)
{
    const struct {
        const char* label;
        std::function<void(File&)> mutate;
        std::string cause;
    } rows[] = {
        {"not an ELF", [](File& f) { f.bytes[1] = 'X'; }, "not an ELF file"},
        {"text file", [](File& f) { f.bytes.assign({'h', 'i', '\n'}); }, "not an ELF file"},
        {"64-bit", [](File& f) { f.bytes[EI_CLASS] = ELFCLASS64; }, "not a 32-bit ELF file (it is 64-bit)"},
        {"big-endian", [](File& f) { f.bytes[EI_DATA] = ELFDATA2MSB; }, "not a little-endian ELF file"},
        {"x86-64", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_machine = EM_X86_64; }); },
            "not an i386 program (ELF machine 62)"},
        {"ET_DYN", [](File& f) { set_type(f, ET_DYN); }, "a shared object or position-independent program"},
        {"ET_REL", [](File& f) { set_type(f, ET_REL); }, "not an executable (a relocatable object file)"},
        {"no program headers", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phnum = 0; }); },
            "it has no program headers"},
        {"odd program header size", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phentsize = 56; }); },
            "malformed program header size 56"},
        {"PT_INTERP", [](File& f) { set_last_ph(f, PT_INTERP); }, "names an interpreter (dynamically linked)"},
        {"PT_DYNAMIC", [](File& f) { set_last_ph(f, PT_DYNAMIC); }, "not a static executable: it has a dynamic"},
        {"cut in identification", [](File& f) { f.bytes.resize(10); }, "truncated file: the ELF identification"},
        {"cut in header", [](File& f) { f.bytes.resize(sizeof(Elf32_Ehdr) - 1); }, "truncated file: the ELF header"},
        {"cut in first program header", [](File& f) { f.bytes.resize(f.ph_offset(0) + sizeof(Elf32_Phdr) - 1); },
            "truncated file: a program header at offset 52 runs past the end of the file (83 bytes)"},
        {"program headers past the end", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phoff = 0xFFFFFFF0; }); },
            "a program header at offset 4294967280 runs past the end"},
        {"cut in code bytes", [](File& f) { f.bytes.resize(f.ph(f.code()).p_offset + f.ph(f.code()).p_filesz - 1); },
            "needs bytes up to offset"},
        {"file bytes beyond memory bytes", [](File& f) { f.rodata([](Elf32_Phdr& p) { p.p_memsz = p.p_filesz - 1; }); },
            "has more file bytes ("},
        {"segment at 0", [](File& f) { move_rodata(f, 0); }, " at 0x0-0x"},
        {"segment one byte low", [](File& f) { move_rodata(f, kLowestLoadAddress - 1); },
            "at 0xfff-0x"},
        {"segment one byte into the stack",
            [](File& f) { move_rodata(f, kStackBase - f.ph(f.rodata()).p_memsz + 1); },
            "-0xbff00001 lies outside the program's address space (0x1000-0xbff00000)"},
        {"segment wrapping past 4 GiB",
            [](File& f) {
                f.rodata([](Elf32_Phdr& p) {
                    p.p_vaddr = 0xFFFFF000;
                    p.p_memsz = 0x2000;
                });
            },
            " at 0xfffff000-0x100001000 lies outside"},
        {"overlapping segments", [](File& f) { move_rodata(f, f.ph(f.code()).p_vaddr + 0x10); },
            "overlaps the segment at 0x"},
        {"segment ending one byte into the next",
            [](File& f) { move_rodata(f, f.ph(f.code()).p_vaddr - f.ph(f.rodata()).p_memsz + 1); },
            "overlaps the segment at 0x"},
        {"no loadable segment",
            [](File& f) {
                for (unsigned i = 0; i < f.header().e_phnum; ++i)
                    f.ph(i, [](Elf32_Phdr& p) { p.p_type = PT_NOTE; });
            },
            "it has no loadable segment"},
        {"entry in read-only data", [](File& f) { set_entry(f, f.ph(f.rodata()).p_vaddr); },
            "is not inside an executable segment"},
        {"entry one past the code", [](File& f) { set_entry(f, f.ph(f.code()).p_vaddr + f.ph(f.code()).p_memsz); },
            "is not inside an executable segment"},
        {"code not executable", [](File& f) { f.ph(f.code(), [](Elf32_Phdr& p) { p.p_flags = PF_R; }); },
            "is not inside an executable segment"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        File f = read_file(VEKOS_TEST_IMAGE);
        row.mutate(f);
        expect_refused(f.bytes, row.cause);
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
    expect_refused(many_segments(17, 0x1000), "more than 16 loadable segments");
    expect_refused(many_segments(3, 400u << 20), "its segments take more than 1024 MiB of memory");
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

} // namespace
} // namespace vekos::test
