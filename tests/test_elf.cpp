// Program loading: every malformed or unsuitable file is refused with status
// 126 and a message naming the file and the fault; the real images load whole.
#include "harness.h"

#include "errors.h"
#include "layout.h"

#include <elf.h>
#include <unistd.h>

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

const std::string kName = "prog.elf";

std::vector<uint8_t> read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
        for (unsigned i = 0; i < header().e_phnum; ++i)
            if (match(ph(i)))
                return i;
        ADD_FAILURE() << "no such program header";
        return 0;
    }
    unsigned code() const
    {
        return find_ph([](const Elf32_Phdr& p) { return p.p_type == PT_LOAD && (p.p_flags & PF_X); });
    }
    unsigned rodata() const
    {
        return find_ph([](const Elf32_Phdr& p) { return p.p_type == PT_LOAD && p.p_flags == PF_R && p.p_memsz; });
    }
    unsigned last() const { return header().e_phnum - 1u; }
};

File test_image() { return File{read_file(VEKOS_TEST_IMAGE)}; }

std::string hex(uint64_t v)
{
    char b[32];
    std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

struct BadRow {
    const char* label;
    std::function<void(File&)> mutate;
    // The exact problem text, built from the mutated file.
    std::function<std::string(const File&)> problem;
};

const std::vector<BadRow>& bad_rows()
{
    static const std::vector<BadRow> rows = {
        {"not an ELF", [](File& f) { f.bytes[1] = 'X'; }, [](const File&) { return std::string("not an ELF file"); }},
        {"text file", [](File& f) { f.bytes.assign({'h', 'e', 'l', 'l', 'o', '\n'}); },
         [](const File&) { return std::string("not an ELF file"); }},
        {"64-bit", [](File& f) { f.bytes[EI_CLASS] = ELFCLASS64; },
         [](const File&) { return std::string("not a 32-bit ELF file (it is 64-bit)"); }},
        {"big-endian", [](File& f) { f.bytes[EI_DATA] = ELFDATA2MSB; },
         [](const File&) { return std::string("not a little-endian ELF file"); }},
        {"x86-64 machine", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_machine = EM_X86_64; }); },
         [](const File&) { return std::string("not an i386 program (ELF machine 62)"); }},
        {"ET_DYN", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_type = ET_DYN; }); },
         [](const File&) {
             return std::string("not an executable (a shared object or position-independent program)");
         }},
        {"ET_REL", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_type = ET_REL; }); },
         [](const File&) { return std::string("not an executable (a relocatable object file)"); }},
        {"no program headers", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phnum = 0; }); },
         [](const File&) { return std::string("not an executable: it has no program headers"); }},
        {"odd program header size", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phentsize = 56; }); },
         [](const File&) { return std::string("malformed program header size 56"); }},
        {"PT_INTERP", [](File& f) { f.ph(f.last(), [](Elf32_Phdr& p) { p.p_type = PT_INTERP; }); },
         [](const File&) {
             return std::string("not a static executable: it names an interpreter (dynamically linked)");
         }},
        {"PT_DYNAMIC", [](File& f) { f.ph(f.last(), [](Elf32_Phdr& p) { p.p_type = PT_DYNAMIC; }); },
         [](const File&) { return std::string("not a static executable: it has a dynamic section"); }},
        {"cut inside the identification", [](File& f) { f.bytes.resize(10); },
         [](const File&) { return std::string("truncated file: the ELF identification is incomplete"); }},
        {"cut inside the header", [](File& f) { f.bytes.resize(sizeof(Elf32_Ehdr) - 1); },
         [](const File&) { return std::string("truncated file: the ELF header is incomplete"); }},
        {"cut inside the first program header",
         [](File& f) { f.bytes.resize(f.ph_offset(0) + sizeof(Elf32_Phdr) - 1); },
         [](const File& f) {
             return "truncated file: a program header at offset " + std::to_string(f.ph_offset(0)) +
                    " runs past the end of the file (" + std::to_string(f.bytes.size()) + " bytes)";
         }},
        {"program headers past the end", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_phoff = 0xFFFFFFF0; }); },
         [](const File& f) {
             return "truncated file: a program header at offset 4294967280 runs past the end of the file (" +
                    std::to_string(f.bytes.size()) + " bytes)";
         }},
        {"cut inside the code bytes",
         [](File& f) { f.bytes.resize(f.ph(f.code()).p_offset + f.ph(f.code()).p_filesz - 1); },
         [](const File& f) {
             const Elf32_Phdr p = f.ph(f.code());
             return "truncated file: segment " + std::to_string(f.code()) + " needs bytes up to offset " +
                    std::to_string(p.p_offset + p.p_filesz) + " but the file has " + std::to_string(f.bytes.size());
         }},
        {"file bytes beyond memory bytes",
         [](File& f) { f.ph(f.rodata(), [](Elf32_Phdr& p) { p.p_memsz = p.p_filesz - 1; }); },
         [](const File& f) {
             const Elf32_Phdr p = f.ph(f.rodata());
             return "segment " + std::to_string(f.rodata()) + " has more file bytes (" + std::to_string(p.p_filesz) +
                    ") than memory bytes (" + std::to_string(p.p_memsz) + ")";
         }},
        {"segment at address 0", [](File& f) { f.ph(f.rodata(), [](Elf32_Phdr& p) { p.p_vaddr = 0; }); },
         [](const File& f) {
             const Elf32_Phdr p = f.ph(f.rodata());
             return "segment " + std::to_string(f.rodata()) + " at 0x0-" + hex(p.p_memsz) +
                    " lies outside the program's address space (0x1000-0xbff00000)";
         }},
        {"segment one byte below the lowest address",
         [](File& f) { f.ph(f.rodata(), [](Elf32_Phdr& p) { p.p_vaddr = kLowestLoadAddress - 1; }); },
         [](const File& f) {
             const Elf32_Phdr p = f.ph(f.rodata());
             return "segment " + std::to_string(f.rodata()) + " at 0xfff-" + hex(0xfffu + p.p_memsz) +
                    " lies outside the program's address space (0x1000-0xbff00000)";
         }},
        {"segment reaching one byte into the stack",
         [](File& f) { f.ph(f.rodata(), [](Elf32_Phdr& p) { p.p_vaddr = kStackBase - p.p_memsz + 1; }); },
         [](const File& f) {
             const Elf32_Phdr p = f.ph(f.rodata());
             return "segment " + std::to_string(f.rodata()) + " at " + hex(p.p_vaddr) +
                    "-0xbff00001 lies outside the program's address space (0x1000-0xbff00000)";
         }},
        {"segment wrapping past 4 GiB",
         [](File& f) { f.ph(f.rodata(), [](Elf32_Phdr& p) { p.p_vaddr = 0xFFFFF000; p.p_memsz = 0x2000; }); },
         [](const File& f) {
             return "segment " + std::to_string(f.rodata()) +
                    " at 0xfffff000-0x100001000 lies outside the program's address space (0x1000-0xbff00000)";
         }},
        {"overlapping segments",
         [](File& f) {
             uint32_t code = f.ph(f.code()).p_vaddr;
             f.ph(f.rodata(), [code](Elf32_Phdr& p) { p.p_vaddr = code + 0x10; });
         },
         [](const File& f) {
             return "segment " + std::to_string(f.rodata()) + " at " + hex(f.ph(f.rodata()).p_vaddr) +
                    " overlaps the segment at " + hex(f.ph(f.code()).p_vaddr);
         }},
        {"segment ending one byte into the next",
         [](File& f) {
             uint32_t code = f.ph(f.code()).p_vaddr;
             f.ph(f.rodata(), [code](Elf32_Phdr& p) { p.p_vaddr = code - p.p_memsz + 1; });
         },
         [](const File& f) {
             return "segment " + std::to_string(f.rodata()) + " at " + hex(f.ph(f.rodata()).p_vaddr) +
                    " overlaps the segment at " + hex(f.ph(f.code()).p_vaddr);
         }},
        {"no loadable segment",
         [](File& f) {
             for (unsigned i = 0; i < f.header().e_phnum; ++i)
                 f.ph(i, [](Elf32_Phdr& p) { p.p_type = PT_NOTE; });
         },
         [](const File&) { return std::string("not an executable: it has no loadable segment"); }},
        {"entry in read-only data",
         [](File& f) {
             uint32_t ro = f.ph(f.rodata()).p_vaddr;
             f.header([ro](Elf32_Ehdr& h) { h.e_entry = ro; });
         },
         [](const File& f) {
             return "entry point " + hex(f.header().e_entry) + " is not inside an executable segment";
         }},
        {"entry one past the code",
         [](File& f) {
             Elf32_Phdr code = f.ph(f.code());
             f.header([code](Elf32_Ehdr& h) { h.e_entry = code.p_vaddr + code.p_memsz; });
         },
         [](const File& f) {
             return "entry point " + hex(f.header().e_entry) + " is not inside an executable segment";
         }},
        {"code not executable",
         [](File& f) { f.ph(f.code(), [](Elf32_Phdr& p) { p.p_flags = PF_R; }); },
         [](const File& f) {
             return "entry point " + hex(f.header().e_entry) + " is not inside an executable segment";
         }},
    };
    return rows;
}

TEST(ElfTest, MalformedImagesAreRefusedWithTheFileAndTheProblemNamed)
{
    for (const BadRow& row : bad_rows()) {
        File f = test_image();
        row.mutate(f);
        std::string want = kName + ": " + row.problem(f);
        try {
            ElfImage::parse(f.bytes, kName);
            ADD_FAILURE() << row.label << ": accepted";
        } catch (const LoadError& e) {
            EXPECT_EQ(e.status(), exit_status::cannot_load) << row.label;
            EXPECT_EQ(std::string(e.what()), want) << row.label;
        }
    }
}

TEST(ElfTest, BoundariesThatAreStillValid)
{
    struct GoodRow {
        const char* label;
        std::function<void(File&)> mutate;
    };
    const std::vector<GoodRow> rows = {
        {"unchanged", [](File&) {}},
        {"segment at the lowest address",
         [](File& f) { f.ph(f.rodata(), [](Elf32_Phdr& p) { p.p_vaddr = kLowestLoadAddress; }); }},
        {"segment ending exactly at the stack",
         [](File& f) { f.ph(f.rodata(), [](Elf32_Phdr& p) { p.p_vaddr = kStackBase - p.p_memsz; }); }},
        {"segments touching end to start",
         [](File& f) {
             Elf32_Phdr code = f.ph(f.code());
             f.ph(f.rodata(), [code](Elf32_Phdr& p) { p.p_vaddr = code.p_vaddr + code.p_memsz; });
         }},
        {"entry at the last byte of the code",
         [](File& f) {
             Elf32_Phdr code = f.ph(f.code());
             f.header([code](Elf32_Ehdr& h) { h.e_entry = code.p_vaddr + code.p_memsz - 1; });
         }},
        {"larger bss than file bytes",
         [](File& f) { f.ph(f.rodata(), [](Elf32_Phdr& p) { p.p_memsz = p.p_filesz + 100; }); }},
        {"no section headers", [](File& f) { f.header([](Elf32_Ehdr& h) { h.e_shoff = 0; h.e_shnum = 0; }); }},
    };
    for (const GoodRow& row : rows) {
        File f = test_image();
        row.mutate(f);
        try {
            ElfImage image = ElfImage::parse(f.bytes, kName);
            EXPECT_EQ(image.entry(), f.header().e_entry) << row.label;
            EXPECT_EQ(image.name(), kName) << row.label;
        } catch (const LoadError& e) {
            ADD_FAILURE() << row.label << ": " << e.what();
        }
    }
}

TEST(ElfTest, SegmentsAreTheFileBytesAtTheirAddresses)
{
    File f = test_image();
    ElfImage image = ElfImage::parse(f.bytes, kName);
    std::vector<Elf32_Phdr> loads;
    for (unsigned i = 0; i < f.header().e_phnum; ++i)
        if (f.ph(i).p_type == PT_LOAD && f.ph(i).p_memsz)
            loads.push_back(f.ph(i));
    ASSERT_EQ(image.segments().size(), loads.size());
    for (size_t i = 0; i < loads.size(); ++i) {
        const Segment& s = image.segments()[i];
        EXPECT_EQ(s.vaddr, loads[i].p_vaddr);
        EXPECT_EQ(s.memsz, loads[i].p_memsz);
        EXPECT_EQ(s.flags, loads[i].p_flags);
        std::vector<uint8_t> want(f.bytes.begin() + loads[i].p_offset,
                                  f.bytes.begin() + loads[i].p_offset + loads[i].p_filesz);
        EXPECT_EQ(s.bytes, want);
    }
}

TEST(ElfTest, EntryIsTheStartOfTextAndTheImageIsStatic)
{
    for (const std::filesystem::path& path : {std::filesystem::path(VEKOS_TEST_IMAGE), build_dir() / "bin/argsdemo"}) {
        File f{read_file(path)};
        Elf32_Ehdr h = f.header();
        ASSERT_EQ(h.e_shentsize, sizeof(Elf32_Shdr)) << path;
        ASSERT_LT(h.e_shstrndx, h.e_shnum) << path;
        Elf32_Shdr names = f.sh(h.e_shstrndx);
        std::optional<uint32_t> text;
        for (unsigned i = 0; i < h.e_shnum; ++i) {
            const char* name = reinterpret_cast<const char*>(f.bytes.data() + names.sh_offset + f.sh(i).sh_name);
            if (std::string(name) == ".text")
                text = f.sh(i).sh_addr;
        }
        ASSERT_TRUE(text.has_value()) << path;
        ElfImage image = ElfImage::load(path);
        EXPECT_EQ(image.entry(), *text) << path;
        EXPECT_EQ(h.e_entry, *text) << path;
        EXPECT_EQ(image.symbol("_start")->value, *text) << path;
        for (unsigned i = 0; i < h.e_phnum; ++i) {
            EXPECT_NE(f.ph(i).p_type, uint32_t(PT_INTERP)) << path;
            EXPECT_NE(f.ph(i).p_type, uint32_t(PT_DYNAMIC)) << path;
        }
    }
}

TEST(ElfTest, LoadingFromDiskNamesThePath)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("vekos-elf-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "text") << "#!/bin/sh\necho hi\n";
    const std::vector<std::tuple<fs::path, int, std::string>> rows = {
        {dir / "missing", exit_status::not_found, "no such file"},
        {dir / "text", exit_status::cannot_load, "not an ELF file"},
        {dir, exit_status::cannot_load, "is a directory, not a program"},
    };
    for (const auto& [path, status, problem] : rows) {
        try {
            ElfImage::load(path);
            ADD_FAILURE() << path << ": accepted";
        } catch (const LoadError& e) {
            EXPECT_EQ(e.status(), status) << path;
            EXPECT_EQ(std::string(e.what()), path.string() + ": " + problem);
        }
    }
    fs::remove_all(dir);
}

} // namespace
} // namespace vekos::test
