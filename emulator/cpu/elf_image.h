// A validated 32-bit i386 static executable, ready to be placed in guest memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vekos {

struct Segment {
    uint32_t vaddr = 0;
    uint32_t memsz = 0;
    uint32_t flags = 0;             // PF_R 4, PF_W 2, PF_X 1
    std::span<const uint8_t> bytes; // the file part (in the image's copy of the file); zeros follow up to memsz
};

// What a program may be, checked before anything is mapped: its file, its
// loadable segments, and the memory they take in all.
constexpr uint64_t kMaxProgramFileBytes = 64ull << 20;
constexpr unsigned kMaxLoadSegments = 16;
constexpr uint64_t kMaxProgramMemoryBytes = 1ull << 30;

struct Symbol {
    uint32_t value = 0;
    uint32_t size = 0;
};

class ElfImage {
public:
    // Throws LoadError naming the file and the fault.
    static ElfImage load(const std::filesystem::path& path);
    static ElfImage parse(std::vector<uint8_t> file, const std::string& name);

    uint32_t entry() const { return entry_; }
    const std::vector<Segment>& segments() const { return segments_; }
    std::optional<Symbol> symbol(const std::string& name) const;
    // "main+44": the function an address lies in, its C++ name demangled, and
    // the offset into it; empty when no function symbol covers it.  A return
    // address is looked up by the call before it, which may end its function.
    std::string function_at(uint32_t address, bool return_address = false) const;
    // Where the function holding this address begins.
    std::optional<uint32_t> function_start(uint32_t address) const;
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::shared_ptr<const std::vector<uint8_t>> file_; // segments point into it; copies share it
    uint32_t entry_ = 0;
    std::vector<Segment> segments_;
    std::map<std::string, Symbol> symbols_;
    struct Function {
        std::string name;
        uint32_t size = 0;
    };
    std::map<uint32_t, Function> functions_; // by start address
};

} // namespace vekos
