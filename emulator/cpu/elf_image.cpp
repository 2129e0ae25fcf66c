#include "cpu/elf_image.h"

#include "base/errors.h"
#include "cpu/layout.h"

#include "base/unique_fd.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fstream>
#include <iterator>
#include <sstream>

namespace vekos {
namespace {

[[noreturn]] void fail(const std::string& name, const std::string& what)
{
    throw LoadError(name + ": " + what, exit_status::cannot_load);
}

std::string hex(uint64_t v)
{
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

template <typename T>
T read_struct(const std::vector<uint8_t>& file, uint64_t offset, const std::string& name, const char* what)
{
    if (offset + sizeof(T) > file.size())
        fail(name,
            std::string("truncated file: ") + what + " at offset " + std::to_string(offset)
                + " runs past the end of the file (" + std::to_string(file.size()) + " bytes)");
    T value;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

void check_header(const std::vector<uint8_t>& file, const Elf32_Ehdr& eh, const std::string& name)
{
    if (file.size() < SELFMAG || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0)
        fail(name, "not an ELF file");
    if (file.size() < EI_NIDENT)
        fail(name, "truncated file: the ELF identification is incomplete");
    if (file[EI_CLASS] != ELFCLASS32)
        fail(name, file[EI_CLASS] == ELFCLASS64 ? "not a 32-bit ELF file (it is 64-bit)" : "not a 32-bit ELF file");
    if (file[EI_DATA] != ELFDATA2LSB)
        fail(name, "not a little-endian ELF file");
    if (file.size() < sizeof(Elf32_Ehdr))
        fail(name, "truncated file: the ELF header is incomplete");
    if (eh.e_machine != EM_386)
        fail(name, "not an i386 program (ELF machine " + std::to_string(eh.e_machine) + ")");
    if (eh.e_type != ET_EXEC)
        fail(name,
            eh.e_type == ET_DYN       ? "not an executable (a shared object or position-independent program)"
                : eh.e_type == ET_REL ? "not an executable (a relocatable object file)"
                                      : "not an executable (ELF type " + std::to_string(eh.e_type) + ")");
    if (eh.e_phnum == 0)
        fail(name, "not an executable: it has no program headers");
    if (eh.e_phentsize != sizeof(Elf32_Phdr))
        fail(name, "malformed program header size " + std::to_string(eh.e_phentsize));
}

constexpr const char* kLinuxProgram
    = "a Linux program, not a vekos one: it would make Linux system calls (build vekos programs with vekos-cc; ";

// Whether a note segment holds the GNU ABI tag naming Linux, as glibc's start
// files put in every Linux program.  (The ELF header's OS/ABI says nothing:
// the linker writes GNU there for vekos programs with C++ inline variables.)
bool names_linux(const std::vector<uint8_t>& file, const Elf32_Phdr& ph)
{
    constexpr uint32_t kLinux = 0;
    uint64_t at = ph.p_offset;
    const uint64_t end = std::min<uint64_t>(uint64_t(ph.p_offset) + ph.p_filesz, file.size());
    while (at + sizeof(Elf32_Nhdr) <= end) {
        Elf32_Nhdr note;
        std::memcpy(&note, file.data() + at, sizeof note);
        const uint64_t name_at = at + sizeof note, desc_at = name_at + ((uint64_t(note.n_namesz) + 3) & ~3ull);
        const uint64_t next = desc_at + ((uint64_t(note.n_descsz) + 3) & ~3ull);
        if (next > end)
            break;
        if (note.n_type == NT_GNU_ABI_TAG && note.n_namesz == 4 && std::memcmp(file.data() + name_at, "GNU", 4) == 0
            && note.n_descsz >= 4) {
            uint32_t os;
            std::memcpy(&os, file.data() + desc_at, 4);
            return os == kLinux;
        }
        at = next;
    }
    return false;
}

template <typename Functions>
void read_symbols(
    const std::vector<uint8_t>& file, const Elf32_Ehdr& eh, std::map<std::string, Symbol>& symbols, Functions& functions)
{
    // Symbols are a convenience for the harness and the trace; a stripped or
    // odd section table is not an error.
    if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Elf32_Shdr))
        return;
    uint64_t end = uint64_t(eh.e_shoff) + uint64_t(eh.e_shnum) * sizeof(Elf32_Shdr);
    if (end > file.size())
        return;
    auto section = [&](unsigned i) {
        Elf32_Shdr sh;
        std::memcpy(&sh, file.data() + eh.e_shoff + i * sizeof(Elf32_Shdr), sizeof sh);
        return sh;
    };
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Elf32_Shdr sh = section(i);
        if (sh.sh_type != SHT_SYMTAB || sh.sh_link >= eh.e_shnum)
            continue;
        Elf32_Shdr strtab = section(sh.sh_link);
        if (uint64_t(sh.sh_offset) + sh.sh_size > file.size()
            || uint64_t(strtab.sh_offset) + strtab.sh_size > file.size())
            return;
        for (uint32_t off = 0; off + sizeof(Elf32_Sym) <= sh.sh_size; off += sizeof(Elf32_Sym)) {
            Elf32_Sym sym;
            std::memcpy(&sym, file.data() + sh.sh_offset + off, sizeof sym);
            if (sym.st_name == 0 || sym.st_name >= strtab.sh_size || sym.st_shndx == SHN_UNDEF)
                continue;
            const char* base = reinterpret_cast<const char*>(file.data() + strtab.sh_offset);
            std::string symbol_name(base + sym.st_name, strnlen(base + sym.st_name, strtab.sh_size - sym.st_name));
            // Globals win over locals of the same name.
            bool global = ELF32_ST_BIND(sym.st_info) != STB_LOCAL;
            if (ELF32_ST_TYPE(sym.st_info) == STT_FUNC && sym.st_size > 0
                && (global || !functions.contains(sym.st_value)))
                functions[sym.st_value] = {symbol_name, sym.st_size};
            if (global || !symbols.contains(symbol_name))
                symbols[symbol_name] = Symbol{sym.st_value, sym.st_size};
        }
    }
}

} // namespace

ElfImage ElfImage::load(const std::filesystem::path& path)
{
    const std::string name = path.string();
    // Non-blocking, so a FIFO cannot hold the open; only a regular file of a
    // program's size is read at all.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        if (errno == ENOENT)
            throw LoadError(name + ": no such file", exit_status::not_found);
        fail(name, std::string("cannot be opened: ") + std::strerror(errno));
    }
    struct stat st { };
    if (fstat(fd.get(), &st) != 0)
        fail(name, std::string("cannot be read: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        fail(name, "is a directory, not a program");
    if (!S_ISREG(st.st_mode))
        fail(name,
            std::string("is not a regular file (it is ")
                + (S_ISFIFO(st.st_mode)        ? "a FIFO"
                        : S_ISCHR(st.st_mode)  ? "a character device"
                        : S_ISBLK(st.st_mode)  ? "a block device"
                        : S_ISSOCK(st.st_mode) ? "a socket"
                                               : "not a file")
                + ")");
    if (uint64_t(st.st_size) > kMaxProgramFileBytes)
        fail(name,
            "is " + std::to_string(st.st_size) + " bytes, more than a program may be ("
                + std::to_string(kMaxProgramFileBytes) + ")");
    std::vector<uint8_t> file(size_t(st.st_size));
    size_t done = 0;
    while (done < file.size()) {
        ssize_t n = ::read(fd.get(), file.data() + done, file.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(name, std::string("cannot be read: ") + std::strerror(errno));
        if (n == 0)
            break; // it shrank while being read: what is there is checked as it is
        done += size_t(n);
    }
    file.resize(done);
    return parse(std::move(file), name);
}

ElfImage ElfImage::parse(std::vector<uint8_t> bytes, const std::string& name)
{
    ElfImage image;
    image.name_ = name;
    image.file_ = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    const std::vector<uint8_t>& file = *image.file_;
    if (file.size() < SELFMAG || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0)
        fail(name, "not an ELF file");
    Elf32_Ehdr eh{};
    std::memcpy(&eh, file.data(), std::min(file.size(), sizeof eh));
    check_header(file, eh, name);

    uint64_t memory = 0;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        auto ph
            = read_struct<Elf32_Phdr>(file, uint64_t(eh.e_phoff) + i * sizeof(Elf32_Phdr), name, "a program header");
        std::string which = "segment " + std::to_string(i);
        if (ph.p_type == PT_INTERP)
            fail(name, "not a static executable: it names an interpreter (dynamically linked)");
        if (ph.p_type == PT_DYNAMIC)
            fail(name, "not a static executable: it has a dynamic section");
        if (ph.p_type == PT_NOTE && names_linux(file, ph))
            fail(name, kLinuxProgram + std::string("its GNU ABI note names Linux)"));
        if (ph.p_type != PT_LOAD || ph.p_memsz == 0)
            continue;
        if (image.segments_.size() == kMaxLoadSegments)
            fail(name, "more than " + std::to_string(kMaxLoadSegments) + " loadable segments");
        if (ph.p_filesz > ph.p_memsz)
            fail(name,
                which + " has more file bytes (" + std::to_string(ph.p_filesz) + ") than memory bytes ("
                    + std::to_string(ph.p_memsz) + ")");
        if (uint64_t(ph.p_offset) + ph.p_filesz > file.size())
            fail(name,
                "truncated file: " + which + " needs bytes up to offset "
                    + std::to_string(uint64_t(ph.p_offset) + ph.p_filesz) + " but the file has "
                    + std::to_string(file.size()));
        uint64_t end = uint64_t(ph.p_vaddr) + ph.p_memsz;
        if (ph.p_vaddr < kLowestLoadAddress || end > kStackBase)
            fail(name,
                which + " at " + hex(ph.p_vaddr) + "-" + hex(end) + " lies outside the program's address space ("
                    + hex(kLowestLoadAddress) + "-" + hex(kStackBase) + ")");
        memory += page_ceil(end) - page_floor(ph.p_vaddr);
        if (memory > kMaxProgramMemoryBytes)
            fail(
                name, "its segments take more than " + std::to_string(kMaxProgramMemoryBytes >> 20) + " MiB of memory");
        Segment seg;
        seg.vaddr = ph.p_vaddr;
        seg.memsz = ph.p_memsz;
        seg.flags = ph.p_flags & (PF_R | PF_W | PF_X);
        seg.bytes = std::span<const uint8_t>(file.data() + ph.p_offset, ph.p_filesz);
        for (const Segment& other : image.segments_) {
            if (seg.vaddr < other.vaddr + other.memsz && other.vaddr < seg.vaddr + seg.memsz)
                fail(name, which + " at " + hex(seg.vaddr) + " overlaps the segment at " + hex(other.vaddr));
        }
        image.segments_.push_back(seg);
    }
    if (image.segments_.empty())
        fail(name, "not an executable: it has no loadable segment");

    bool entry_ok = std::any_of(image.segments_.begin(), image.segments_.end(),
        [&](const Segment& s) { return (s.flags & PF_X) && eh.e_entry >= s.vaddr && eh.e_entry < s.vaddr + s.memsz; });
    if (!entry_ok)
        fail(name, "entry point " + hex(eh.e_entry) + " is not inside an executable segment");
    image.entry_ = eh.e_entry;
    read_symbols(file, eh, image.symbols_, image.functions_);
    return image;
}

std::optional<Symbol> ElfImage::symbol(const std::string& name) const
{
    auto it = symbols_.find(name);
    if (it == symbols_.end())
        return std::nullopt;
    return it->second;
}

std::optional<uint32_t> ElfImage::function_start(uint32_t address) const
{
    auto it = functions_.upper_bound(address);
    if (it == functions_.begin())
        return std::nullopt;
    --it;
    if (address - it->first >= it->second.size)
        return std::nullopt;
    return it->first;
}

std::string ElfImage::function_at(uint32_t address, bool return_address) const
{
    const std::optional<uint32_t> start = function_start(address - (return_address ? 1 : 0));
    if (!start)
        return {};
    const auto it = functions_.find(*start);
    int status = -1;
    std::unique_ptr<char, void (*)(void*)> readable(
        abi::__cxa_demangle(it->second.name.c_str(), nullptr, nullptr, &status), std::free);
    const std::string name = status == 0 && readable ? readable.get() : it->second.name;
    return address == it->first ? name : name + "+" + std::to_string(address - it->first);
}

} // namespace vekos
