#include "kernel/sandbox_fs.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace vekos {
namespace {

constexpr unsigned kNewFileMode = 0644;
constexpr unsigned kNewDirMode = 0755;

std::string clean(std::string_view cwd, std::string_view path)
{
    std::vector<std::string_view> parts;
    auto push = [&](std::string_view text) {
        size_t i = 0;
        while (i <= text.size()) {
            size_t j = text.find('/', i);
            if (j == std::string_view::npos)
                j = text.size();
            std::string_view part = text.substr(i, j - i);
            if (part == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            i = j + 1;
        }
    };
    if (path.empty() || path.front() != '/')
        push(cwd);
    push(path);
    std::string out;
    for (std::string_view p : parts) {
        out += '/';
        out += p;
    }
    return out.empty() ? "/" : out;
}

int retry_errno(long r) { return r < 0 ? -errno : int(r); }

} // namespace

SandboxFs::SandboxFs(const std::filesystem::path& root) : root_path_(root)
{
    int fd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("--root " + root.string() + ": " + std::strerror(errno));
    root_ = UniqueFd(fd);
}

std::string SandboxFs::absolute(std::string_view guest_path) const { return clean(cwd_, guest_path); }

int SandboxFs::resolve(const std::string& relative, int flags, unsigned mode, UniqueFd& out) const
{
    open_how how{};
    how.flags = uint64_t(flags) | O_CLOEXEC;
    // openat2 refuses a mode without O_CREAT or O_TMPFILE; O_TMPFILE includes
    // the O_DIRECTORY bit, so it must be tested whole.
    bool creates = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
    how.mode = creates ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const char* p = relative.empty() ? "." : relative.c_str();
    long fd;
    do {
        fd = syscall(SYS_openat2, root_.get(), p, &how, sizeof how);
    } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
    if (fd < 0)
        return -errno;
    out = UniqueFd(int(fd));
    return int(fd);
}

int SandboxFs::open(std::string_view guest_path, int host_flags, unsigned mode, UniqueFd& out) const
{
    std::string abs = absolute(guest_path);
    return resolve(abs.substr(1), host_flags, mode ? mode : kNewFileMode, out);
}

int SandboxFs::open_parent(std::string_view guest_path, UniqueFd& dir, std::string& leaf) const
{
    std::string abs = absolute(guest_path);
    if (abs == "/")
        return -EBUSY; // the root itself has no parent inside the sandbox
    size_t slash = abs.rfind('/');
    leaf = abs.substr(slash + 1);
    int r = resolve(abs.substr(1, slash == 0 ? 0 : slash - 1), O_PATH | O_DIRECTORY, 0, dir);
    return r < 0 ? r : 0;
}

template <typename Operation>
int SandboxFs::on_leaf(std::string_view guest_path, int32_t at_root, Operation operation) const
{
    UniqueFd dir;
    std::string leaf;
    int r = open_parent(guest_path, dir, leaf);
    if (r == -EBUSY)
        return at_root;
    if (r < 0)
        return r;
    return retry_errno(operation(dir.get(), leaf.c_str()));
}

int SandboxFs::mkdir(std::string_view guest_path) const
{
    return on_leaf(guest_path, -EEXIST, [](int dir, const char* leaf) { return ::mkdirat(dir, leaf, kNewDirMode); });
}

int SandboxFs::unlink(std::string_view guest_path) const
{
    return on_leaf(guest_path, -EISDIR, [](int dir, const char* leaf) { return ::unlinkat(dir, leaf, 0); });
}

int SandboxFs::rmdir(std::string_view guest_path) const
{
    return on_leaf(guest_path, -EBUSY, [](int dir, const char* leaf) { return ::unlinkat(dir, leaf, AT_REMOVEDIR); });
}

uint64_t SandboxFs::file_size(std::string_view guest_path) const
{
    UniqueFd fd;
    struct stat st { };
    if (open(guest_path, O_PATH, 0, fd) < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return uint64_t(st.st_size);
}

int SandboxFs::writefile(std::string_view guest_path, std::span<const uint8_t> data) const
{
    constexpr int kMaxLinks = 40; // as the host kernel allows in one lookup
    std::string path = absolute(guest_path);
    UniqueFd dir;
    std::string leaf;
    struct stat existing { };
    bool exists = false;
    for (int links = 0;; ++links) {
        int r = open_parent(path, dir, leaf);
        if (r == -EBUSY)
            return -EISDIR;
        if (r < 0)
            return r;
        exists = fstatat(dir.get(), leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists || !S_ISLNK(existing.st_mode))
            break;
        if (links == kMaxLinks)
            return -ELOOP;
        std::string target(4096, '\0');
        ssize_t n = readlinkat(dir.get(), leaf.c_str(), target.data(), target.size());
        if (n < 0)
            return -errno;
        target.resize(size_t(n));
        path = clean(path.substr(0, path.rfind('/')), target); // an absolute target starts at the root
    }
    if (exists && S_ISDIR(existing.st_mode))
        return -EISDIR;

    // The new content goes to a temporary file beside the target and replaces
    // it in one rename: a failure part-way never leaves a cut file behind.
    std::random_device entropy;
    std::string temp;
    UniqueFd out;
    for (int attempt = 0; attempt < 16 && !out; ++attempt) {
        temp = "." + leaf + ".vekos-" + std::to_string(entropy());
        int fd = ::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0)
            out = UniqueFd(fd);
        else if (errno != EEXIST)
            return -errno;
    }
    if (!out)
        return -EEXIST;
    auto fail = [&](int error) {
        ::unlinkat(dir.get(), temp.c_str(), 0);
        return -error;
    };
    if (exists && fchmod(out.get(), existing.st_mode & 07777) != 0)
        return fail(errno);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(out.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n < 0 ? errno : EIO);
        done += size_t(n);
    }
    if (::renameat(dir.get(), temp.c_str(), dir.get(), leaf.c_str()) != 0)
        return fail(errno);
    return 0;
}

int SandboxFs::chdir(std::string_view guest_path)
{
    std::string abs = absolute(guest_path);
    UniqueFd dir;
    int r = resolve(abs.substr(1), O_PATH | O_DIRECTORY, 0, dir);
    if (r < 0)
        return r;
    cwd_ = abs;
    return 0;
}

} // namespace vekos
