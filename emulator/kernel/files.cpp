#include "kernel/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vekos {

Files::Files(const std::filesystem::path& root, FsQuota quota) : fs_(root), quota_(quota) { reset(); }

void Files::reset()
{
    table_.clear();
    table_.resize(3);
    table_[0] = Descriptor{Descriptor::Kind::console_in, {}, {}};
    table_[1] = Descriptor{Descriptor::Kind::console_out, {}, {}};
    table_[2] = Descriptor{Descriptor::Kind::console_err, {}, {}};
    streams_.clear();
    next_stream_ = 1;
    used_ = 0;
    fs_.reset_cwd();
}

Descriptor* Files::descriptor(int32_t fd)
{
    if (fd < 0 || size_t(fd) >= table_.size() || !table_[size_t(fd)])
        return nullptr;
    return &*table_[size_t(fd)];
}

int32_t Files::install(Descriptor d, int32_t at)
{
    if (at < 0) {
        auto free = std::find_if(table_.begin(), table_.end(), [](const auto& slot) { return !slot; });
        if (free == table_.end() && table_.size() >= kMaxDescriptors)
            return -EMFILE;
        at = int32_t(free - table_.begin());
    }
    if (d.pipe)
        (d.kind == Descriptor::Kind::pipe_read ? d.pipe->readers : d.pipe->writers)++;
    if (size_t(at) >= table_.size())
        table_.resize(size_t(at) + 1);
    table_[size_t(at)] = std::move(d);
    return at;
}

void Files::unlink_pipe_end(Descriptor& d)
{
    if (d.pipe)
        (d.kind == Descriptor::Kind::pipe_read ? d.pipe->readers : d.pipe->writers)--;
}

int32_t Files::close(int32_t fd)
{
    Descriptor* d = descriptor(fd);
    if (!d)
        return -EBADF;
    unlink_pipe_end(*d);
    table_[size_t(fd)].reset();
    return 0;
}

int64_t Files::quota_allows(uint64_t position, uint64_t size, uint64_t count) const
{
    if (count == 0)
        return 0;
    if (position >= quota_.file_bytes)
        return -EFBIG;
    count = std::min(count, quota_.file_bytes - position);
    if (position + count <= size)
        return int64_t(count); // overwrites cost nothing
    // Growth (a hole past the old end included) comes out of what is left.
    const uint64_t left = quota_.total_bytes - std::min(used_, quota_.total_bytes);
    const uint64_t allowed_end = size + left;
    if (allowed_end <= position)
        return -ENOSPC;
    return int64_t(std::min(count, allowed_end - position));
}

bool Files::reserve(uint64_t bytes)
{
    if (bytes > quota_.total_bytes - std::min(used_, quota_.total_bytes))
        return false;
    used_ += bytes;
    return true;
}

int32_t Files::write_file(int fd, std::span<const uint8_t> bytes)
{
    struct stat st { };
    if (fstat(fd, &st) != 0)
        return -errno;
    const bool regular = S_ISREG(st.st_mode);
    uint64_t position = uint64_t(st.st_size);
    if (regular && !(fcntl(fd, F_GETFL) & O_APPEND)) {
        off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at < 0)
            return -errno;
        position = uint64_t(at);
    }
    size_t count = bytes.size();
    if (regular) {
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
    if (regular && end > uint64_t(st.st_size))
        used_ += end - uint64_t(st.st_size);
    return int32_t(n);
}

int Files::replace_file(const std::string& path, std::span<const uint8_t> bytes, uint64_t already_counted)
{
    const uint64_t old_size = fs_.file_size(path);
    const uint64_t growth = bytes.size() > old_size ? bytes.size() - old_size : 0;
    const uint64_t used = used_ - std::min(used_, already_counted);
    if (growth > quota_.total_bytes || used > quota_.total_bytes - growth)
        return -ENOSPC;
    int r = fs_.writefile(path, bytes);
    if (r < 0)
        return r;
    used_ = used + growth;
    return 0;
}

} // namespace vekos
