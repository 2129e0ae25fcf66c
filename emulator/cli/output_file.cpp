#include "cli/output_file.h"

#include "base/errors.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

namespace vekos {

namespace fs = std::filesystem;

OutputFile::OutputFile(std::string option, const fs::path& path) : name_(std::move(option) + " " + path.string())
{
    auto refuse = [&](const std::string& why) { throw UsageError(name_ + ": " + why); };
    if (path.empty() || path.filename().empty())
        refuse("not a file name");
    std::error_code ec;
    target_ = fs::weakly_canonical(fs::absolute(path), ec); // follows links, even a dangling last one
    if (ec)
        refuse(ec.message());
    struct stat st { };
    if (::stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            refuse("is a directory");
        in_place_ = S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
        if (!in_place_ && !S_ISREG(st.st_mode))
            refuse("is neither a regular file nor a device");
        if (::access(target_.c_str(), W_OK) != 0)
            refuse(std::string("cannot be written: ") + std::strerror(errno));
        replaces_ = S_ISREG(st.st_mode);
        mode_ = st.st_mode & 07777;
        if (in_place_)
            return;
    } else if (errno != ENOENT) {
        refuse(std::strerror(errno));
    }
    const fs::path dir = target_.parent_path();
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        refuse("the directory " + dir.string() + " does not exist");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        refuse("cannot write in the directory " + dir.string() + ": " + std::strerror(errno));
}

OutputFile::~OutputFile()
{
    if (!temporary_.empty())
        ::unlink(temporary_.c_str()); // ours: made with O_EXCL and never renamed
}

void OutputFile::fail(const std::string& what, int error) const
{
    throw std::runtime_error(name_ + ": " + what + ": " + std::strerror(error));
}

void OutputFile::open()
{
    if (in_place_) {
        // Non-blocking: a FIFO nobody reads must not hold vekos-run.
        fd_ = UniqueFd(::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!fd_)
            fail("cannot open", errno);
        return;
    }
    std::random_device entropy;
    for (int attempt = 0; attempt < 16 && !fd_; ++attempt) {
        fs::path candidate
            = target_.parent_path() / ("." + target_.filename().string() + ".vekos-" + std::to_string(entropy()));
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = UniqueFd(fd);
            temporary_ = candidate;
        } else if (errno != EEXIST) {
            fail("cannot create a file in " + target_.parent_path().string(), errno);
        }
    }
    if (!fd_)
        fail("cannot create a temporary file", EEXIST);
    if (replaces_ && fchmod(fd_.get(), mode_) != 0)
        fail("cannot keep the file's mode", errno);
}

void OutputFile::write(std::span<const uint8_t> bytes)
{
    if (!fd_)
        open();
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd fds[2] = {{fd_.get(), POLLOUT, 0}, {wake_, POLLIN, 0}};
            if (::poll(fds, wake_ >= 0 ? 2 : 1, -1) > 0 && (fds[1].revents & POLLIN))
                fail("cannot write", EINTR);
            continue;
        }
        fail("cannot write", n < 0 ? errno : EIO);
    }
}

void OutputFile::commit()
{
    if (temporary_.empty())
        return;
    if (::rename(temporary_.c_str(), target_.c_str()) != 0)
        fail("cannot put the file in place", errno);
    temporary_.clear();
}

} // namespace vekos
