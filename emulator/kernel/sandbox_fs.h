// The guest's file system: a host directory that is the guest's "/".
//
// Guest paths are joined to the guest's working directory and cleaned
// lexically ("." dropped, ".." removed with its parent, never above "/"),
// then resolved by the host kernel with RESOLVE_IN_ROOT, so symbolic links
// (absolute ones too) are followed inside the root and never out of it.
//
// Every operation answers a host-independent result: a non-negative value or
// a negative Linux errno number (-2 no such file, -13 permission denied, ...).
#pragma once

#include "base/unique_fd.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace vekos {

class SandboxFs {
public:
    explicit SandboxFs(const std::filesystem::path& root);

    // The cleaned guest path, always starting with "/".
    std::string absolute(std::string_view guest_path) const;

    // Opens with host open(2) flags; answers a host descriptor or -errno.
    int open(std::string_view guest_path, int host_flags, unsigned mode, UniqueFd& out) const;
    int mkdir(std::string_view guest_path) const;
    int unlink(std::string_view guest_path) const;
    int rmdir(std::string_view guest_path) const;
    // Replaces the file's whole content at once (write to a temporary, then
    // rename).  A symbolic link is followed inside the root, as open would:
    // the link stays and the file it names gets the content.  A new file gets
    // mode 0644 less the umask; a replaced one keeps its mode.  0 or -errno.
    int writefile(std::string_view guest_path, std::span<const uint8_t> data) const;
    // Size of the file (links followed inside the root); 0 when there is none.
    uint64_t file_size(std::string_view guest_path) const;
    int chdir(std::string_view guest_path);
    const std::string& cwd() const { return cwd_; }
    void reset_cwd() { cwd_ = "/"; }
    const std::filesystem::path& root() const { return root_path_; }

private:
    // Opens the directory that holds the path's last part; leaf gets that part.
    int open_parent(std::string_view guest_path, UniqueFd& dir, std::string& leaf) const;
    int resolve(const std::string& relative, int flags, unsigned mode, UniqueFd& out) const;
    // operation(parent directory, last part) on the path's last part; the
    // root itself, which has no parent inside the sandbox, answers at_root.
    template <typename Operation>
    int on_leaf(std::string_view guest_path, int32_t at_root, Operation operation) const;

    std::filesystem::path root_path_;
    UniqueFd root_;
    std::string cwd_ = "/";
};

} // namespace vekos
