// Program loading: every malformed or unsuitable file is refused with status
// 126 and a message naming the file and the fault; the real images load whole.
#include "harness.h"

#include "base/errors.h"
#include "cpu/layout.h"

#include <elf.h>

#include <unicorn/unicorn.h>

#include <cstring>
#include <functional>

namespace vekos::test {
namespace {

const std::string kName = "prog.elf";

// An ELF file's bytes, its headers read and changed field by field.
struct File {
    std::vector<uint8_t> bytes;

    template <typename T>
    T get(size_t at) const
    {
        T v;
        std::memcpy(&v, bytes.data() + at, sizeof v);
        return v;
    }
    template <typename T, typename M>
    void set(size_t at, M T::*field, uint32_t value)
    {
        T v = get<T>(at);
        v.*field = M(value);
        std::memcpy(bytes.data() + at, &v, sizeof v);
    }
    size_t ph(unsigned i) const { return get<Elf32_Ehdr>(0).e_phoff + i * sizeof(Elf32_Phdr); }
};

// Loaded with its entry, or refused with status 126 and one line: the file's name, then the cause with
// the numbers that locate it.
void expect_loaded_or_refused(const File& f, const std::string& cause)
{
    try {
        const ElfImage image = ElfImage::parse(f.bytes, kName);
        EXPECT_TRUE(cause.empty()) << "accepted";
        EXPECT_EQ(std::pair(image.entry(), image.name()), std::pair(f.get<Elf32_Ehdr>(0).e_entry, kName));
    } catch (const LoadError& e) {
        const std::string said = e.what();
        EXPECT_EQ(e.status(), exit_status::cannot_load);
        EXPECT_TRUE(!cause.empty() && said.starts_with(kName + ": ") && said.find(cause) != std::string::npos
            && said.find('\n') == std::string::npos)
            << said;
    }
}

// Each row changes the test image (a header field, a field of a program header, its length) and names
// the cause of the refusal, or "" for a boundary that still loads.
TEST(ElfTest, MalformedImagesAreRefusedWithTheFileAndTheProblemNamedBoundariesLoad)
{
    using E = Elf32_Ehdr;
    using P = Elf32_Phdr;
    const std::string text = slurp(VEKOS_TEST_IMAGE);
    const File image{{text.begin(), text.end()}};
    // The link map (sdk/vekos.ld) puts the code, the read-only data and the data in program headers 0, 1, 2.
    const unsigned count = image.get<E>(0).e_phnum, c = 0, r = 1;
    const P code = image.get<P>(image.ph(c)), ro = image.get<P>(image.ph(r));
    ASSERT_TRUE(count == 3 && code.p_flags == (PF_R | PF_X) && ro.p_flags == PF_R && ro.p_memsz) << count;
    auto h = [](auto field, uint32_t v) { return [=](File& f) { f.set(0, field, v); }; };
    auto p = [](unsigned i, auto field, uint32_t v) { return [=](File& f) { f.set(f.ph(i), field, v); }; };
    auto at = [&](uint32_t vaddr) { return p(r, &P::p_vaddr, vaddr); };
    auto cut = [](size_t n) { return [=](File& f) { f.bytes.resize(n); }; };
    const std::pair<std::function<void(File&)>, std::string> rows[] = {
        {[](File& f) { f.bytes[1] = 'X'; }, "not an ELF file"}, {cut(3), "not an ELF file"},
        {[](File& f) { f.bytes[EI_CLASS] = ELFCLASS64; }, "not a 32-bit ELF file (it is 64-bit)"},
        {[](File& f) { f.bytes[EI_DATA] = ELFDATA2MSB; }, "not a little-endian ELF file"},
        {h(&E::e_machine, EM_X86_64), "not an i386 program (ELF machine 62)"},
        {h(&E::e_type, ET_DYN), "a shared object or position-independent program"},
        {h(&E::e_type, ET_REL), "not an executable (a relocatable object file)"},
        {h(&E::e_phnum, 0), "it has no program headers"}, {h(&E::e_phentsize, 56), "malformed program header size 56"},
        {p(count - 1, &P::p_type, PT_INTERP), "names an interpreter (dynamically linked)"},
        {p(count - 1, &P::p_type, PT_DYNAMIC), "not a static executable: it has a dynamic"},
        {cut(10), "truncated file: the ELF identification"}, {cut(sizeof(E) - 1), "truncated file: the ELF header"},
        {cut(image.ph(0) + sizeof(P) - 1),
            "truncated file: a program header at offset 52 runs past the end of the file (83 bytes)"},
        {h(&E::e_phoff, 0xFFFFFFF0), "a program header at offset 4294967280 runs past the end"},
        {cut(code.p_offset + code.p_filesz - 1), "needs bytes up to offset"},
        {p(r, &P::p_memsz, ro.p_filesz - 1), "has more file bytes ("}, {at(0), " at 0x0-0x"},
        {at(kLowestLoadAddress - 1), "at 0xfff-0x"},
        {at(kStackBase - ro.p_memsz + 1), "-0xbff00001 lies outside the program's address space (0x1000-0xbff00000)"},
        {[&](File& f) { at(0xFFFFF000)(f), p(r, &P::p_memsz, 0x2000)(f); }, " at 0xfffff000-0x100001000 lies outside"},
        {at(code.p_vaddr + 0x10), "overlaps the segment at 0x"},
        {at(code.p_vaddr - ro.p_memsz + 1), "overlaps the segment at 0x"}, // ending one byte into it
        {[&](File& f) { p(0, &P::p_type, PT_NOTE)(f), p(1, &P::p_type, PT_NOTE)(f), p(2, &P::p_type, PT_NOTE)(f); },
            "it has no loadable segment"},
        {h(&E::e_entry, ro.p_vaddr), "is not inside an executable segment"},
        {h(&E::e_entry, code.p_vaddr + code.p_memsz), "is not inside an executable segment"},
        {p(c, &P::p_flags, PF_R), "is not inside an executable segment"},
        // Still valid: unchanged, the lowest address, ending at the stack, touching the code, entry at the
        // last code byte, more memory than file bytes, no section headers.
        {[](File&) {}, ""}, {at(kLowestLoadAddress), ""}, {at(kStackBase - ro.p_memsz), ""},
        {at(code.p_vaddr + code.p_memsz), ""}, {h(&E::e_entry, code.p_vaddr + code.p_memsz - 1), ""},
        {p(r, &P::p_memsz, ro.p_filesz + 100), ""}, {[&](File& f) { h(&E::e_shoff, 0)(f), h(&E::e_shnum, 0)(f); }, ""}};
    for (const auto& [change, cause] : rows) {
        SCOPED_TRACE("row " + std::to_string(&cause - &rows[0].second) + ": " + cause);
        File f = image;
        change(f);
        expect_loaded_or_refused(f, cause);
    }
}

// An ELF whose `count` loadable segments all map the start of the file (headers, then a jmp-to-itself at
// the entry), one after another in memory, code first, then read-only and read-write pages by turns.
File many_segments(unsigned count, uint32_t memsz, uint32_t code_flags = PF_R | PF_X)
{
    constexpr uint32_t kBase = 0x10000000, kCode = sizeof(Elf32_Ehdr);
    const Elf32_Ehdr h{{0x7F, 'E', 'L', 'F', ELFCLASS32, ELFDATA2LSB, EV_CURRENT}, ET_EXEC, EM_386, EV_CURRENT,
        kBase + kCode, kCode + 2, 0, 0, sizeof h, sizeof(Elf32_Phdr), uint16_t(count), 0, 0, 0};
    std::vector<uint8_t> file(h.e_phoff + count * sizeof(Elf32_Phdr));
    std::memcpy(file.data(), &h, sizeof h);
    file[kCode] = 0xEB, file[kCode + 1] = 0xFE; // jmp $
    for (unsigned i = 0; i < count; ++i) {
        const uint32_t flags = i == 0 ? code_flags : i % 2 ? PF_R : PF_R | PF_W;
        const Elf32_Phdr p{PT_LOAD, 0, kBase + i * uint32_t(page_ceil(memsz)), 0,
            std::min<uint32_t>(uint32_t(file.size()), memsz), memsz, flags, 0};
        std::memcpy(file.data() + h.e_phoff + i * sizeof p, &p, sizeof p);
    }
    return {file};
}

// Counted and measured before anything is mapped; a file region mapped by every segment is held once;
// a page both writable and executable is refused when mapped.
TEST(ElfTest, SegmentCountAndSizeAreBoundedBeforeMappingAndCodeIsNeverWritable)
{
    expect_loaded_or_refused(many_segments(17, 0x1000), "more than 16 loadable segments");
    expect_loaded_or_refused(many_segments(3, 400u << 20), "its segments take more than 1024 MiB of memory");
    CapturedConsole console;
    Kernel kernel({}, console);
    try {
        Machine refused(ElfImage::parse(many_segments(1, 0x1000, PF_R | PF_W | PF_X).bytes, kName), kernel);
        ADD_FAILURE() << "writable code accepted";
    } catch (const LoadError& e) {
        EXPECT_EQ(std::string(e.what()),
            kName + ": writable and executable memory at 0x10000000 (vekos programs keep their code read-only)");
    }
    const ElfImage image = ElfImage::parse(many_segments(16, 0x1000).bytes, kName);
    ASSERT_EQ(image.segments().size(), 16u);
    for (const Segment& s : image.segments())
        EXPECT_EQ(s.bytes.data(), image.segments().front().bytes.data()) << "one copy of the file";
    Machine machine(image, kernel, MachineOptions{.max_instructions = 1000});
    EXPECT_EQ(machine.start({"many"}).why, Stop::Why::InstructionLimit);
    EXPECT_EQ(machine.reg(UC_X86_REG_EIP), image.entry());
}

} // namespace
} // namespace vekos::test
