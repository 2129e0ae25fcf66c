#include "cpu/guest_memory.h"

#include "cpu/layout.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vekos {

GuestMemory::~GuestMemory()
{
    for (Region& r : regions_) {
        munmap(r.live, r.size);
        munmap(r.pristine, r.size);
        close(r.memfd);
    }
}

void GuestMemory::add_region(uint32_t base, uint32_t size, uint32_t access, std::string name)
{
    if (base % kPageSize || size % kPageSize || size == 0)
        throw std::invalid_argument("guest region " + name + " is not page aligned");
    for (const Region& r : regions_)
        if (base < uint64_t(r.base) + r.size && r.base < uint64_t(base) + size)
            throw std::invalid_argument("guest region " + name + " overlaps " + r.name);

    int fd = memfd_create(("vekos-" + name).c_str(), MFD_CLOEXEC);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "memfd_create for guest memory");
    if (ftruncate(fd, size) != 0) {
        int e = errno;
        close(fd);
        throw std::system_error(e, std::generic_category(), "sizing guest memory");
    }
    void* pristine = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    void* live = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (pristine == MAP_FAILED || live == MAP_FAILED) {
        int e = errno;
        if (pristine != MAP_FAILED)
            munmap(pristine, size);
        if (live != MAP_FAILED)
            munmap(live, size);
        close(fd);
        throw std::system_error(e, std::generic_category(), "mapping guest memory");
    }
    Region region{
        base, size, access, std::move(name), static_cast<uint8_t*>(live), static_cast<uint8_t*>(pristine), fd};
    auto at = std::lower_bound(
        regions_.begin(), regions_.end(), base, [](const Region& r, uint32_t b) { return r.base < b; });
    regions_.insert(at, std::move(region));
}

const GuestMemory::Region* GuestMemory::find(uint32_t addr) const
{
    auto it = std::upper_bound(
        regions_.begin(), regions_.end(), addr, [](uint32_t a, const Region& r) { return a < r.base; });
    if (it == regions_.begin())
        return nullptr;
    --it;
    return addr - it->base < it->size ? &*it : nullptr;
}

void GuestMemory::load(uint32_t addr, std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const Region* r = find(addr + uint32_t(done));
        if (!r)
            throw std::out_of_range("loading outside guest memory");
        uint32_t off = addr + uint32_t(done) - r->base;
        size_t n = std::min<size_t>(bytes.size() - done, r->size - off);
        std::memcpy(r->pristine + off, bytes.data() + done, n);
        done += n;
    }
}

void GuestMemory::protect(uint32_t base, uint32_t access)
{
    for (Region& r : regions_)
        if (r.base == base) {
            r.access = access;
            return;
        }
    throw std::invalid_argument("no guest region at " + std::to_string(base));
}

void GuestMemory::map_into(uc_struct* uc) const
{
    for (const Region& r : regions_) {
        uc_err err = uc_mem_map_ptr(uc, r.base, r.size, r.access, r.live);
        if (err != UC_ERR_OK)
            throw std::runtime_error("mapping guest region " + r.name + ": " + uc_strerror(err));
    }
}

void GuestMemory::reset()
{
    for (Region& r : regions_) {
        // Private pages that were written go back to the pristine file pages.
        if (madvise(r.live, r.size, MADV_DONTNEED) != 0)
            throw std::system_error(errno, std::generic_category(), "resetting guest memory");
    }
}

std::optional<std::span<const uint8_t>> GuestMemory::view(uint32_t addr, uint32_t len, uint32_t need) const
{
    if (len == 0)
        return std::span<const uint8_t>();
    if (uint64_t(addr) + len > 0x100000000ull)
        return std::nullopt;
    // A range may span adjacent regions (e.g. data followed by bss); they are
    // separate host mappings, so only single-region ranges get a direct view.
    const Region* r = find(addr);
    if (!r || (r->access & need) != need)
        return std::nullopt;
    uint32_t off = addr - r->base;
    if (uint64_t(off) + len > r->size)
        return std::nullopt;
    return std::span<const uint8_t>(r->live + off, len);
}

std::optional<std::span<uint8_t>> GuestMemory::view(uint32_t addr, uint32_t len, uint32_t need)
{
    auto v = std::as_const(*this).view(addr, len, need);
    if (!v)
        return std::nullopt;
    return std::span<uint8_t>(const_cast<uint8_t*>(v->data()), v->size());
}

bool GuestMemory::accessible(uint32_t addr, uint32_t len, uint32_t need) const
{
    uint64_t at = addr, end = uint64_t(addr) + len;
    if (end > 0x100000000ull)
        return false;
    while (at < end) {
        const Region* r = find(uint32_t(at));
        if (!r || (r->access & need) != need)
            return false;
        at = uint64_t(r->base) + r->size;
    }
    return true;
}

std::optional<std::string> GuestMemory::read_cstring(uint32_t addr, uint32_t max) const
{
    std::string out;
    uint64_t at = addr;
    while (out.size() <= max) {
        if (at >= 0x100000000ull)
            return std::nullopt;
        const Region* r = find(uint32_t(at));
        if (!r || !(r->access & kRead))
            return std::nullopt;
        const uint8_t* p = r->live + (uint32_t(at) - r->base);
        size_t avail = r->base + uint64_t(r->size) - at;
        size_t want = std::min<size_t>(avail, max + 1 - out.size());
        const void* nul = std::memchr(p, 0, want);
        if (nul) {
            out.append(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(nul) - p);
            return out;
        }
        out.append(reinterpret_cast<const char*>(p), want);
        at += want;
    }
    return std::nullopt;
}

template <typename Copy>
bool GuestMemory::each_piece(uint32_t addr, size_t len, Copy copy) const
{
    if (!accessible(addr, uint32_t(len), 0))
        return false;
    for (size_t done = 0; done < len;) {
        const Region* r = find(addr + uint32_t(done));
        const uint32_t off = addr + uint32_t(done) - r->base;
        const size_t n = std::min<size_t>(len - done, r->size - off);
        copy(r->live + off, done, n);
        done += n;
    }
    return true;
}

bool GuestMemory::poke(uint32_t addr, std::span<const uint8_t> bytes)
{
    return each_piece(
        addr, bytes.size(), [&](uint8_t* guest, size_t done, size_t n) { std::memcpy(guest, bytes.data() + done, n); });
}

bool GuestMemory::peek(uint32_t addr, std::span<uint8_t> bytes) const
{
    return each_piece(addr, bytes.size(),
        [&](const uint8_t* guest, size_t done, size_t n) { std::memcpy(bytes.data() + done, guest, n); });
}

} // namespace vekos
