// Console and file services: descriptors, files, directories and pipes, all
// inside the sandbox.
#include "cpu/guest_memory.h"
#include "kernel/guest_args.h"
#include "kernel/kernel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

extern "C" {
#include "vekos_abi.h"
}

namespace vekos {
namespace {

constexpr uint32_t kMaxRead = 1 << 20; // what one read delivers at most

int32_t fd_arg(uint32_t reg) { return int32_t(reg); }

} // namespace

Answer serve_write(Kernel& k, const Call& c)
{
    Descriptor* d = k.files().descriptor(fd_arg(c.regs.ebx));
    if (!d)
        return {-EBADF};
    auto in = guest_bytes(c.memory, c.regs.ecx, c.regs.edx);
    if (!in)
        return {-EFAULT};
    const std::span<const uint8_t> bytes = in->bytes;
    switch (d->kind) {
    case Descriptor::Kind::console_out:
    case Descriptor::Kind::console_err: {
        int r = k.console().write(d->kind == Descriptor::Kind::console_out ? 1 : 2, bytes);
        if (r == -EPIPE)
            k.close_output();
        return {r};
    }
    case Descriptor::Kind::file: return {k.files().write_file(d->file->get(), bytes)};
    case Descriptor::Kind::pipe_write: {
        Pipe& p = *d->pipe;
        if (p.readers == 0)
            return {-EPIPE};
        const size_t room = Pipe::kCapacity - p.bytes.size();
        if (room == 0 && !bytes.empty())
            return {-EAGAIN}; // nobody else can drain it: waiting would hang
        const size_t n = std::min(room, bytes.size());
        p.bytes.insert(p.bytes.end(), bytes.begin(), bytes.begin() + ptrdiff_t(n));
        return {int32_t(n)};
    }
    default: return {-EBADF};
    }
}

Answer serve_read(Kernel& k, const Call& c)
{
    Descriptor* d = k.files().descriptor(fd_arg(c.regs.ebx));
    if (!d)
        return {-EBADF};
    const uint32_t buf = c.regs.ecx, count = c.regs.edx;
    if (!c.memory.accessible(buf, count, kWrite))
        return {-EFAULT};
    // Read into a bounce buffer: the target may span regions, and a huge count
    // must not allocate more than one read can deliver.
    std::vector<uint8_t> bytes(std::min(count, kMaxRead));
    int32_t n = 0;
    switch (d->kind) {
    case Descriptor::Kind::console_in: n = k.console().read(bytes); break;
    case Descriptor::Kind::file: {
        ssize_t r;
        do {
            r = ::read(d->file->get(), bytes.data(), bytes.size());
        } while (r < 0 && errno == EINTR);
        n = r < 0 ? -errno : int32_t(r);
        break;
    }
    case Descriptor::Kind::pipe_read: {
        Pipe& p = *d->pipe;
        if (p.bytes.empty())
            return {p.writers > 0 && count > 0 ? -EAGAIN : 0};
        const size_t taken = std::min(bytes.size(), p.bytes.size());
        std::copy_n(p.bytes.begin(), taken, bytes.begin());
        p.bytes.erase(p.bytes.begin(), p.bytes.begin() + ptrdiff_t(taken));
        n = int32_t(taken);
        break;
    }
    default: return {-EBADF};
    }
    if (n > 0)
        c.memory.poke(buf, std::span<const uint8_t>(bytes.data(), size_t(n)));
    return {n};
}

namespace {

Answer open_path(Kernel& k, const std::string& path, uint32_t flags)
{
    int host = 0;
    switch (flags & VEKOS_O_ACCMODE) {
    case VEKOS_O_RDONLY: host = O_RDONLY; break;
    case VEKOS_O_WRONLY: host = O_WRONLY; break;
    case VEKOS_O_RDWR: host = O_RDWR; break;
    default: return {-EINVAL};
    }
    const std::pair<uint32_t, int> honoured[] = {{VEKOS_O_CREAT, O_CREAT}, {VEKOS_O_EXCL, O_EXCL},
        {VEKOS_O_TRUNC, O_TRUNC}, {VEKOS_O_APPEND, O_APPEND}, {VEKOS_O_DIRECTORY, O_DIRECTORY}};
    for (const auto& [guest, on_host] : honoured)
        if (flags & guest)
            host |= on_host;
    // Non-blocking: a FIFO or a device under the root must not hold the
    // program (or the stand-in) for ever; regular files are not affected.
    UniqueFd fd;
    int r = k.files().fs().open(path, host | O_NOCTTY | O_NONBLOCK, 0, fd);
    if (r < 0)
        return {r};
    return {k.files().install(Descriptor{Descriptor::Kind::file, std::make_shared<UniqueFd>(std::move(fd)), {}})};
}

} // namespace

Answer serve_open(Kernel& k, const Call& c)
{
    return with_path<Answer>(
        c.memory, c.regs.ebx, [&](const std::string& path) { return open_path(k, path, c.regs.ecx); });
}
Answer serve_close(Kernel& k, const Call& c) { return {k.files().close(fd_arg(c.regs.ebx))}; }

Answer serve_lseek(Kernel& k, const Call& c)
{
    Descriptor* d = k.files().descriptor(fd_arg(c.regs.ebx));
    if (!d)
        return {-EBADF};
    if (d->kind != Descriptor::Kind::file)
        return {-ESPIPE};
    // The new position is worked out first, so a refused seek moves nothing.
    const int host = d->file->get();
    int64_t base = 0;
    switch (int32_t(c.regs.edx)) {
    case VEKOS_SEEK_SET: break;
    case VEKOS_SEEK_CUR: base = ::lseek(host, 0, SEEK_CUR); break;
    case VEKOS_SEEK_END: {
        struct stat st { };
        base = fstat(host, &st) == 0 ? int64_t(st.st_size) : -1;
        break;
    }
    default: return {-EINVAL};
    }
    if (base < 0)
        return {-errno};
    const int64_t target = base + int32_t(c.regs.ecx);
    if (target < 0)
        return {-EINVAL};
    if (target > INT32_MAX)
        return {-EOVERFLOW};
    if (::lseek(host, target, SEEK_SET) < 0)
        return {-errno};
    return {int32_t(target)};
}

namespace {

template <typename Operation>
Answer path_service(Kernel& k, const Call& c, Operation operation)
{
    return with_path<Answer>(
        c.memory, c.regs.ebx, [&](const std::string& path) { return Answer{operation(k.files().fs(), path)}; });
}

} // namespace

Answer serve_mkdir(Kernel& k, const Call& c)
{
    return path_service(k, c, [](SandboxFs& fs, const std::string& p) { return fs.mkdir(p); });
}
Answer serve_unlink(Kernel& k, const Call& c)
{
    return path_service(k, c, [](SandboxFs& fs, const std::string& p) { return fs.unlink(p); });
}
Answer serve_rmdir(Kernel& k, const Call& c)
{
    return path_service(k, c, [](SandboxFs& fs, const std::string& p) { return fs.rmdir(p); });
}
Answer serve_chdir(Kernel& k, const Call& c)
{
    return path_service(k, c, [](SandboxFs& fs, const std::string& p) { return fs.chdir(p); });
}

Answer serve_getcwd(Kernel& k, const Call& c)
{
    const std::string& cwd = k.files().fs().cwd();
    const uint32_t needed = uint32_t(cwd.size()) + 1;
    if (c.regs.ecx < needed)
        return {-ERANGE};
    if (!c.memory.accessible(c.regs.ebx, needed, kWrite))
        return {-EFAULT};
    c.memory.poke(c.regs.ebx, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(cwd.c_str()), needed));
    return {int32_t(needed)};
}

Answer serve_dup(Kernel& k, const Call& c)
{
    Descriptor* d = k.files().descriptor(fd_arg(c.regs.ebx));
    if (!d)
        return {-EBADF};
    return {k.files().install(*d)};
}

Answer serve_dup2(Kernel& k, const Call& c)
{
    const int32_t fd = fd_arg(c.regs.ebx), target = fd_arg(c.regs.ecx);
    Descriptor* d = k.files().descriptor(fd);
    if (!d || target < 0 || target >= Files::kMaxDescriptors)
        return {-EBADF};
    if (fd == target)
        return {target};
    Descriptor copy = *d;
    k.files().close(target);
    return {k.files().install(std::move(copy), target)};
}

Answer serve_pipe(Kernel& k, const Call& c)
{
    if (!c.memory.accessible(c.regs.ebx, 8, kWrite))
        return {-EFAULT};
    auto pipe = std::make_shared<Pipe>();
    const int32_t r = k.files().install(Descriptor{Descriptor::Kind::pipe_read, {}, pipe});
    if (r < 0)
        return {r};
    const int32_t w = k.files().install(Descriptor{Descriptor::Kind::pipe_write, {}, pipe});
    if (w < 0) {
        k.files().close(r);
        return {w};
    }
    const int32_t both[2] = {r, w};
    c.memory.poke(c.regs.ebx, std::as_bytes(std::span(both)));
    return {0};
}

} // namespace vekos
