// Console and file services: descriptors, files, directories, pipes and the
// whole-file writes, all inside the sandbox.
#include "calls.h"
#include "guest_memory.h"
#include "kernel.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vekos {
namespace {

// The guest's open flags that the stand-in honours; they share Linux's values.
constexpr uint32_t kGuestAccessMask = 0x3;
constexpr uint32_t kGuestCreate = 0x40;
constexpr uint32_t kGuestExclusive = 0x80;
constexpr uint32_t kGuestTruncate = 0x200;
constexpr uint32_t kGuestAppend = 0x400;
constexpr uint32_t kGuestDirectory = 0x10000;
constexpr uint32_t kMaxPath = 4095;
constexpr size_t kPipeCapacity = 65536;

// Copies guest bytes when a direct view is not possible (a range across regions).
std::optional<std::vector<uint8_t>> copy_in(const GuestMemory& m, uint32_t addr, uint32_t len)
{
    if (!m.accessible(addr, len, kRead))
        return std::nullopt;
    std::vector<uint8_t> bytes(len);
    m.peek(addr, bytes);
    return bytes;
}

} // namespace

std::optional<std::string> Kernel::guest_path(GuestMemory& m, uint32_t addr, int32_t& error)
{
    auto path = m.read_cstring(addr, kMaxPath);
    if (!path) {
        // Too long only if every byte up to the limit could be read; a name
        // that runs into unmapped memory before its NUL is a bad address.
        error = m.accessible(addr, kMaxPath + 1, kRead) ? -ENAMETOOLONG : -EFAULT;
        return std::nullopt;
    }
    if (path->empty()) {
        error = -ENOENT;
        return std::nullopt;
    }
    return path;
}

Kernel::Descriptor* Kernel::descriptor(int32_t fd)
{
    if (fd < 0 || size_t(fd) >= fds_.size() || !fds_[size_t(fd)])
        return nullptr;
    return &*fds_[size_t(fd)];
}

int32_t Kernel::install(Descriptor d, int32_t at)
{
    if (d.pipe)
        (d.kind == Descriptor::Kind::PipeRead ? d.pipe->readers : d.pipe->writers)++;
    if (at < 0) {
        for (size_t i = 0; i < fds_.size(); ++i)
            if (!fds_[i]) {
                at = int32_t(i);
                break;
            }
        if (at < 0) {
            if (fds_.size() >= kMaxDescriptors) {
                release(d);
                return -EMFILE;
            }
            at = int32_t(fds_.size());
        }
    }
    if (size_t(at) >= fds_.size())
        fds_.resize(size_t(at) + 1);
    fds_[size_t(at)] = std::move(d);
    return at;
}

void Kernel::release(Descriptor& d)
{
    if (d.pipe)
        (d.kind == Descriptor::Kind::PipeRead ? d.pipe->readers : d.pipe->writers)--;
}

int32_t Kernel::sys_write(GuestMemory& m, int32_t fd, uint32_t buf, uint32_t count)
{
    Descriptor* d = descriptor(fd);
    if (!d)
        return -EBADF;
    std::optional<std::vector<uint8_t>> copy;
    auto view = m.view(buf, count, kRead);
    std::span<const uint8_t> bytes;
    if (view) {
        bytes = *view;
    } else {
        copy = copy_in(m, buf, count);
        if (!copy)
            return -EFAULT;
        bytes = *copy;
    }
    switch (d->kind) {
    case Descriptor::Kind::ConsoleOut: return console_.write(1, bytes);
    case Descriptor::Kind::ConsoleErr: return console_.write(2, bytes);
    case Descriptor::Kind::File: {
        ssize_t n;
        do {
            n = ::write(d->file->get(), bytes.data(), bytes.size());
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -errno : int32_t(n);
    }
    case Descriptor::Kind::PipeWrite: {
        if (d->pipe->readers == 0)
            return -EPIPE;
        size_t room = kPipeCapacity - d->pipe->bytes.size();
        if (room == 0 && !bytes.empty())
            return -EAGAIN;  // nobody else can drain it: waiting would hang
        size_t n = std::min(room, bytes.size());
        d->pipe->bytes.insert(d->pipe->bytes.end(), bytes.begin(), bytes.begin() + n);
        return int32_t(n);
    }
    default: return -EBADF;
    }
}

int32_t Kernel::sys_read(GuestMemory& m, int32_t fd, uint32_t buf, uint32_t count)
{
    Descriptor* d = descriptor(fd);
    if (!d)
        return -EBADF;
    if (!m.accessible(buf, count, kWrite))
        return -EFAULT;
    // Read into a bounce buffer: the target may span regions, and a huge count
    // must not allocate more than one read can deliver.
    constexpr uint32_t kChunk = 1 << 20;
    std::vector<uint8_t> bytes(std::min(count, kChunk));
    int32_t n = 0;
    switch (d->kind) {
    case Descriptor::Kind::ConsoleIn: n = console_.read(bytes); break;
    case Descriptor::Kind::File: {
        ssize_t r;
        do {
            r = ::read(d->file->get(), bytes.data(), bytes.size());
        } while (r < 0 && errno == EINTR);
        n = r < 0 ? -errno : int32_t(r);
        break;
    }
    case Descriptor::Kind::PipeRead: {
        if (d->pipe->bytes.empty())
            return d->pipe->writers > 0 && count > 0 ? -EAGAIN : 0;
        size_t k = std::min(bytes.size(), d->pipe->bytes.size());
        std::copy_n(d->pipe->bytes.begin(), k, bytes.begin());
        d->pipe->bytes.erase(d->pipe->bytes.begin(), d->pipe->bytes.begin() + ptrdiff_t(k));
        n = int32_t(k);
        break;
    }
    default: return -EBADF;
    }
    if (n > 0)
        m.poke(buf, std::span<const uint8_t>(bytes.data(), size_t(n)));
    return n;
}

int32_t Kernel::sys_open(GuestMemory& m, uint32_t path_addr, uint32_t flags)
{
    int32_t error = 0;
    auto path = guest_path(m, path_addr, error);
    if (!path)
        return error;
    int host = 0;
    switch (flags & kGuestAccessMask) {
    case 0: host = O_RDONLY; break;
    case 1: host = O_WRONLY; break;
    case 2: host = O_RDWR; break;
    default: return -EINVAL;
    }
    if (flags & kGuestCreate)
        host |= O_CREAT;
    if (flags & kGuestExclusive)
        host |= O_EXCL;
    if (flags & kGuestTruncate)
        host |= O_TRUNC;
    if (flags & kGuestAppend)
        host |= O_APPEND;
    if (flags & kGuestDirectory)
        host |= O_DIRECTORY;
    UniqueFd fd;
    int r = fs_.open(*path, host | O_NOCTTY, 0, fd);
    if (r < 0)
        return r;
    return install(Descriptor{Descriptor::Kind::File, std::make_shared<UniqueFd>(std::move(fd)), {}});
}

int32_t Kernel::sys_close(int32_t fd)
{
    Descriptor* d = descriptor(fd);
    if (!d)
        return -EBADF;
    release(*d);
    fds_[size_t(fd)].reset();
    return 0;
}

int32_t Kernel::sys_lseek(int32_t fd, int32_t offset, int32_t whence)
{
    Descriptor* d = descriptor(fd);
    if (!d)
        return -EBADF;
    if (d->kind != Descriptor::Kind::File)
        return -ESPIPE;
    if (whence < 0 || whence > 2)
        return -EINVAL;
    off_t r = ::lseek(d->file->get(), offset, whence);
    if (r < 0)
        return -errno;
    if (r > INT32_MAX)
        return -EOVERFLOW;
    return int32_t(r);
}

int32_t Kernel::sys_writefile(GuestMemory& m, uint32_t path_addr, uint32_t data, uint32_t len)
{
    int32_t error = 0;
    auto path = guest_path(m, path_addr, error);
    if (!path)
        return error;
    auto bytes = copy_in(m, data, len);
    if (!bytes)
        return -EFAULT;
    return fs_.writefile(*path, *bytes);
}

int32_t Kernel::sys_path_call(GuestMemory& m, uint32_t number, uint32_t path_addr)
{
    int32_t error = 0;
    auto path = guest_path(m, path_addr, error);
    if (!path)
        return error;
    switch (number) {
    case VEKOS_SYS_mkdir: return fs_.mkdir(*path);
    case VEKOS_SYS_unlink: return fs_.unlink(*path);
    case VEKOS_SYS_rmdir: return fs_.rmdir(*path);
    default: return fs_.chdir(*path);
    }
}

int32_t Kernel::sys_getcwd(GuestMemory& m, uint32_t buf, uint32_t size)
{
    const std::string& cwd = fs_.cwd();
    uint32_t needed = uint32_t(cwd.size()) + 1;
    if (size < needed)
        return -ERANGE;
    if (!m.accessible(buf, needed, kWrite))
        return -EFAULT;
    m.poke(buf, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(cwd.c_str()), needed));
    return int32_t(needed);
}

int32_t Kernel::sys_dup(int32_t fd)
{
    Descriptor* d = descriptor(fd);
    if (!d)
        return -EBADF;
    return install(*d);
}

int32_t Kernel::sys_dup2(int32_t fd, int32_t target)
{
    Descriptor* d = descriptor(fd);
    if (!d)
        return -EBADF;
    if (target < 0 || target >= kMaxDescriptors)
        return -EBADF;
    if (fd == target)
        return target;
    Descriptor copy = *d;
    if (Descriptor* old = descriptor(target)) {
        release(*old);
        fds_[size_t(target)].reset();
    }
    return install(std::move(copy), target);
}

int32_t Kernel::sys_pipe(GuestMemory& m, uint32_t fds_addr)
{
    if (!m.accessible(fds_addr, 8, kWrite))
        return -EFAULT;
    auto pipe = std::make_shared<Pipe>();
    int32_t r = install(Descriptor{Descriptor::Kind::PipeRead, {}, pipe});
    if (r < 0)
        return r;
    int32_t w = install(Descriptor{Descriptor::Kind::PipeWrite, {}, pipe});
    if (w < 0) {
        sys_close(r);
        return w;
    }
    int32_t both[2] = {r, w};
    m.poke(fds_addr, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(both), sizeof both));
    return 0;
}

int32_t Kernel::sys_stream_begin(GuestMemory& m, uint32_t path_addr)
{
    int32_t error = 0;
    auto path = guest_path(m, path_addr, error);
    if (!path)
        return error;
    if (streams_.size() >= kMaxDescriptors)
        return -EMFILE;
    int32_t handle = next_stream_++;
    streams_[handle] = Stream{fs_.absolute(*path), {}};  // fixed against later chdir
    return handle;
}

int32_t Kernel::sys_stream_write(GuestMemory& m, int32_t stream, uint32_t data, uint32_t len)
{
    auto it = streams_.find(stream);
    if (it == streams_.end())
        return -EBADF;
    auto bytes = copy_in(m, data, len);
    if (!bytes)
        return -EFAULT;
    it->second.bytes.insert(it->second.bytes.end(), bytes->begin(), bytes->end());
    return int32_t(len);
}

int32_t Kernel::sys_stream_end(int32_t stream)
{
    auto it = streams_.find(stream);
    if (it == streams_.end())
        return -EBADF;
    int r = fs_.writefile(it->second.path, it->second.bytes);
    streams_.erase(it);
    return r < 0 ? r : 0;
}

} // namespace vekos
