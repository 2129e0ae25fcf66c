// Guest RAM: regions backed by host memory the stand-in owns, shared with the
// CPU emulator by pointer.  Each region is a private copy-on-write view of its
// pristine image, so a reset drops every write at the cost of the pages touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct uc_struct;

namespace vekos {

enum Access : uint32_t { kRead = 1, kWrite = 2, kExec = 4 }; // same bits as Unicorn's UC_PROT_*

class GuestMemory {
public:
    GuestMemory() = default;
    ~GuestMemory();
    GuestMemory(const GuestMemory&) = delete;
    GuestMemory& operator=(const GuestMemory&) = delete;

    // Adds a zero-filled region; base and size are page multiples.
    void add_region(uint32_t base, uint32_t size, uint32_t access, std::string name);
    // Writes the pristine image (before the first run); ignores protections.
    void load(uint32_t addr, std::span<const uint8_t> bytes);
    void load(uint32_t addr, std::span<const std::byte> bytes)
    {
        load(addr, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
    // Changes a whole region's access as the host sees it (the caller changes
    // the CPU emulator's).
    void protect(uint32_t base, uint32_t access);
    // Hands every region to the CPU emulator.
    void map_into(uc_struct* uc) const;
    // Drops everything written since load().
    void reset();

    // Host view of [addr, addr+len) if it is mapped with at least `need` access;
    // nullopt otherwise.  A length of 0 is valid anywhere.
    std::optional<std::span<uint8_t>> view(uint32_t addr, uint32_t len, uint32_t need);
    std::optional<std::span<const uint8_t>> view(uint32_t addr, uint32_t len, uint32_t need) const;
    bool accessible(uint32_t addr, uint32_t len, uint32_t need) const;

    // A NUL-terminated guest string of at most `max` bytes before the NUL.
    // nullopt if unreadable or unterminated within the limit.
    std::optional<std::string> read_cstring(uint32_t addr, uint32_t max) const;

    // Host-side access that ignores guest protections (harness, loader).
    bool poke(uint32_t addr, std::span<const uint8_t> bytes);
    bool poke(uint32_t addr, std::span<const std::byte> bytes)
    {
        return poke(addr, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
    bool peek(uint32_t addr, std::span<uint8_t> bytes) const;

private:
    struct Region {
        uint32_t base;
        uint32_t size;
        uint32_t access;
        std::string name;
        uint8_t* live;     // what the guest sees
        uint8_t* pristine; // the image a reset returns to
        int memfd;
    };
    const Region* find(uint32_t addr) const;
    // Calls copy(host pointer, offset into the range, length) for each piece
    // of [addr, addr + len) that lies in one region; false if any is unmapped.
    template <typename Copy>
    bool each_piece(uint32_t addr, size_t len, Copy copy) const;
    std::vector<Region> regions_;
};

} // namespace vekos
