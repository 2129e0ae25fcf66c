// What the file services work on: the descriptor table (console, files under
// the root, pipes), the whole-file streams in progress, and the quota.
#pragma once

#include "base/unique_fd.h"
#include "kernel/sandbox_fs.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vekos {

// What the program may write: no file beyond `file_bytes` (-27, file too
// large), and at most `total_bytes` in all (-28, no space left), counting what
// its writes add to files and what its whole-file streams hold until they end.
struct FsQuota {
    static constexpr uint64_t kDefaultFileBytes = 64ull << 20;
    static constexpr uint64_t kDefaultTotalBytes = 256ull << 20;
    // Answers are 32-bit: a file the program writes whole stays under 2 GiB.
    static constexpr uint64_t kMaxFileBytes = 0x7FFFFFFF;
    uint64_t file_bytes = kDefaultFileBytes;
    uint64_t total_bytes = kDefaultTotalBytes;
};

struct Pipe {
    static constexpr size_t kCapacity = 65536;
    std::deque<uint8_t> bytes;
    int readers = 0;
    int writers = 0;
};

struct Descriptor {
    enum class Kind { console_in, console_out, console_err, file, pipe_read, pipe_write } kind;
    std::shared_ptr<UniqueFd> file;
    std::shared_ptr<Pipe> pipe;
};

// A whole-file stream: its bytes are held until the end makes them the file.
struct WholeFileStream {
    std::string path; // fixed when it began, against a later chdir
    std::vector<uint8_t> bytes;
};

class Files {
public:
    static constexpr int kMaxDescriptors = 64;

    Files(const std::filesystem::path& root, FsQuota quota);
    // A fresh process: the console descriptors only, cwd "/", no streams, quota unused.
    void reset();

    SandboxFs& fs() { return fs_; }
    const FsQuota& quota() const { return quota_; }

    Descriptor* descriptor(int32_t fd);
    // Installs at `at`, or the lowest free descriptor; -24 when the table is full.
    int32_t install(Descriptor d, int32_t at = -1);
    int32_t close(int32_t fd);

    std::map<int32_t, WholeFileStream>& streams() { return streams_; }
    int32_t next_stream() { return next_stream_++; }

    // How many of `count` bytes may be written at `position` of a file of
    // `size` bytes; a negative errno when none may.
    int64_t quota_allows(uint64_t position, uint64_t size, uint64_t count) const;
    // Counts bytes against the total (held by a stream, or grown in a file).
    bool reserve(uint64_t bytes);
    void release(uint64_t bytes) { used_ -= std::min(used_, bytes); }
    // Writes to an open host file within the quota; bytes written or -errno.
    int32_t write_file(int fd, std::span<const uint8_t> bytes);
    // The whole content of a file at once; its growth counts against the quota,
    // less `already_counted` bytes reserved before.  0 or -errno.
    int replace_file(const std::string& path, std::span<const uint8_t> bytes, uint64_t already_counted);

private:
    void unlink_pipe_end(Descriptor& d);

    SandboxFs fs_;
    FsQuota quota_;
    uint64_t used_ = 0;
    std::vector<std::optional<Descriptor>> table_;
    std::map<int32_t, WholeFileStream> streams_;
    int32_t next_stream_ = 1;
};

} // namespace vekos
