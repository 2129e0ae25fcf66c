// Console and file services: descriptors, files, directories, pipes and the
// whole-file writes, all inside the sandbox.
#include "calls.h"
#include "guest_memory.h"
#include "kernel.h"

#include <fcntl.h>
#include <sys/stat.h>
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

int64_t Kernel::quota_allows(uint64_t position, uint64_t size, uint64_t count) const
{
    const FsQuota& q = options_.quota;
    if (count == 0)
        return 0;
    if (position >= q.file_bytes)
        return -EFBIG;
    count = std::min(count, q.file_bytes - position);
    if (position + count <= size)
        return int64_t(count);  // overwrites cost nothing
    // Growth (a hole past the old end included) comes out of what is left.
    const uint64_t left = q.total_bytes - std::min(quota_used_, q.total_bytes);
    const uint64_t allowed_end = size + left;
    if (allowed_end <= position)
        return -ENOSPC;
    return int64_t(std::min(count, allowed_end - position));
}

int32_t Kernel::write_file(int fd, std::span<const uint8_t> bytes)
{
    struct stat st{};
    if (fstat(fd, &st) != 0)
        return -errno;
    uint64_t position = uint64_t(st.st_size);
    if (S_ISREG(st.st_mode) && !(fcntl(fd, F_GETFL) & O_APPEND)) {
        off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at < 0)
            return -errno;
        position = uint64_t(at);
    }
    size_t count = bytes.size();
    if (S_ISREG(st.st_mode)) {
        int64_t allowed = quota_allows(position, uint64_t(st.st_size), count);
        if (allowed < 0)
            return int32_t(allowed);
        count = size_t(allowed);
    }
    ssize_t n;
    do {
        n = ::write(fd, bytes.data(), count);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -errno;
    const uint64_t end = position + uint64_t(n);
    if (S_ISREG(st.st_mode) && end > uint64_t(st.st_size))
        quota_used_ += end - uint64_t(st.st_size);
    return int32_t(n);
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
    case Descriptor::Kind::ConsoleOut:
    case Descriptor::Kind::ConsoleErr: {
        int r = console_.write(d->kind == Descriptor::Kind::ConsoleOut ? 1 : 2, bytes);
        if (r == -EPIPE)
            output_closed_ = true;
        return r;
    }
    case Descriptor::Kind::File: return write_file(d->file->get(), bytes);
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
    // Non-blocking: a FIFO or a device under the root must not hold the
    // program (or the stand-in) for ever; regular files are not affected.
    UniqueFd fd;
    int r = fs_.open(*path, host | O_NOCTTY | O_NONBLOCK, 0, fd);
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
    // The new position is worked out first, so a refused seek moves nothing.
    const int host = d->file->get();
    int64_t base = 0;
    switch (whence) {
    case SEEK_SET: break;
    case SEEK_CUR: base = ::lseek(host, 0, SEEK_CUR); break;
    case SEEK_END: {
        struct stat st{};
        base = fstat(host, &st) == 0 ? int64_t(st.st_size) : -1;
        break;
    }
    default: return -EINVAL;
    }
    if (base < 0)
        return -errno;
    const int64_t target = base + offset;
    if (target < 0)
        return -EINVAL;
    if (target > INT32_MAX)
        return -EOVERFLOW;
    if (::lseek(host, target, SEEK_SET) < 0)
        return -errno;
    return int32_t(target);
}

int32_t Kernel::sys_writefile(GuestMemory& m, uint32_t path_addr, uint32_t data, uint32_t len)
{
    int32_t error = 0;
    auto path = guest_path(m, path_addr, error);
    if (!path)
        return error;
    if (len > options_.quota.file_bytes)
        return -EFBIG;
    auto bytes = copy_in(m, data, len);
    if (!bytes)
        return -EFAULT;
    int r = replace_file(*path, *bytes, 0);
    return r < 0 ? r : int32_t(len);  // len fits: the file limit is below 2 GiB
}

// The whole content of a file at once; what it adds beyond the old size counts
// against the quota, less `already_counted` bytes the caller had reserved.
// Answers 0 or a negative errno.
int Kernel::replace_file(const std::string& path, std::span<const uint8_t> bytes, uint64_t already_counted)
{
    const uint64_t old_size = fs_.file_size(path);
    const uint64_t growth = bytes.size() > old_size ? bytes.size() - old_size : 0;
    const uint64_t used = quota_used_ - already_counted;
    if (growth > options_.quota.total_bytes || used > options_.quota.total_bytes - growth)
        return -ENOSPC;
    int r = fs_.writefile(path, bytes);
    if (r < 0)
        return r;
    quota_used_ = used + growth;
    return 0;
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
    std::vector<uint8_t>& held = it->second.bytes;
    if (len > options_.quota.file_bytes - std::min<uint64_t>(held.size(), options_.quota.file_bytes))
        return -EFBIG;
    if (len > options_.quota.total_bytes - std::min(quota_used_, options_.quota.total_bytes))
        return -ENOSPC;
    if (!m.accessible(data, len, kRead))
        return -EFAULT;
    const size_t before = held.size();
    held.resize(before + len);
    m.peek(data, std::span<uint8_t>(held.data() + before, len));
    quota_used_ += len;
    return int32_t(len);
}

int32_t Kernel::sys_stream_end(int32_t stream)
{
    auto it = streams_.find(stream);
    if (it == streams_.end())
        return -EBADF;
    const Stream s = std::move(it->second);
    streams_.erase(it);
    // The held bytes were counted as they came; from here only the file's growth counts.
    int r = replace_file(s.path, s.bytes, s.bytes.size());
    if (r < 0)
        quota_used_ -= s.bytes.size();
    return r;
}

} // namespace vekos
