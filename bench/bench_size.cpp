// Program sizes: paneprobe, and two small programs built with the SDK's
// vekos-cc as a user would build them, against the sizes aimed at.
//
// Loaded: the allocated sections whose bytes the file carries (code,
// read-only data with the records, initialised data), each at its own size:
// bss and the padding between sections are not counted.  Stripped: the size
// of the file after `strip`.
#include <elf.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Sizes {
    uint32_t code = 0, rodata = 0, data = 0;
    uintmax_t stripped = 0;
    uint32_t loaded() const { return code + rodata + data; }
};

struct Program {
    const char* label;
    const char* source; // built with vekos-cc; null for paneprobe
    uint32_t aim_loaded, aim_stripped;
};

const Program kPrograms[] = {
    {"paneprobe", nullptr, 1536, 2048},
    {"puts(\"hello\")", "size_puts.c", 640, 1280},
    {"printf(\"hello %d %s\\n\")", "size_printf.c", 3000, 3584},
};

// A scratch folder that goes away with its contents.
class WorkDir {
public:
    WorkDir()
    {
        std::string pattern = (fs::temp_directory_path() / "vekos-size.XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a scratch folder: " + std::string(std::strerror(errno)));
        path_ = pattern;
    }
    ~WorkDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

void run(const std::string& command)
{
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

template <typename T>
T read_at(const std::vector<uint8_t>& file, size_t offset, const fs::path& path)
{
    T value;
    if (offset > file.size() || file.size() - offset < sizeof value)
        throw std::runtime_error(path.string() + ": truncated ELF file");
    std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

Sizes measure(const fs::path& program, const fs::path& work)
{
    std::ifstream in(program, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + program.string());
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    const auto header = read_at<Elf32_Ehdr>(file, 0, program);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS32)
        throw std::runtime_error(program.string() + ": not a 32-bit ELF file");
    Sizes sizes;
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        const auto section = read_at<Elf32_Shdr>(file, header.e_shoff + size_t(i) * sizeof(Elf32_Shdr), program);
        if (section.sh_type != SHT_PROGBITS || !(section.sh_flags & SHF_ALLOC))
            continue;
        if (section.sh_flags & SHF_EXECINSTR)
            sizes.code += section.sh_size;
        else if (section.sh_flags & SHF_WRITE)
            sizes.data += section.sh_size;
        else
            sizes.rodata += section.sh_size;
    }
    const fs::path stripped = work / (program.filename().string() + ".stripped");
    run(quoted(VEKOS_STRIP) + " -o " + quoted(stripped) + " " + quoted(program));
    sizes.stripped = fs::file_size(stripped);
    return sizes;
}

int run_all()
{
    WorkDir work;
    std::printf("==== program sizes in bytes: loaded = code + read-only data (records too) + data ====\n");
    std::printf("%-26s %6s %7s %5s %7s %6s | %9s %6s\n", "program", "code", "rodata", "data", "loaded", "aim",
        "stripped", "aim");
    bool all_met = true;
    for (const Program& p : kPrograms) {
        fs::path program = VEKOS_BENCH_IMAGE;
        if (p.source) {
            program = work.path() / fs::path(p.source).stem();
            run(quoted(VEKOS_CC) + " " + quoted(fs::path(VEKOS_SIZE_SOURCES) / p.source) + " -o " + quoted(program));
        }
        const Sizes s = measure(program, work.path());
        const bool met = s.loaded() <= p.aim_loaded && s.stripped <= p.aim_stripped;
        all_met = all_met && met;
        std::printf("%-26s %6u %7u %5u %7u %6u | %9ju %6u  %s\n", p.label, s.code, s.rodata, s.data, s.loaded(),
            p.aim_loaded, s.stripped, p.aim_stripped, met ? "met" : "MISSED");
    }
    std::printf("\n%s\n", all_met ? "every aim met" : "some aims missed");
    return all_met ? 0 : 1;
}

} // namespace

int main()
{
    try {
        return run_all();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vekos_bench_size: %s\n", e.what());
        return 2;
    }
}
