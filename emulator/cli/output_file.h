// A file vekos-run writes for its user: --record, --screenshot, --trace=FILE.
//
// Nothing at the path is opened, truncated or removed until there is
// something to write.  A regular file (or a new one) is written to a
// temporary file beside it and renamed into place by commit(), so the old
// content stays whole until the new is complete; a temporary that is never
// committed is removed, and nothing else ever is.  A symbolic link is
// followed: the file it names is the one replaced.  A character device, FIFO
// or socket is written in place, never truncated or removed.
#pragma once

#include "base/unique_fd.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace vekos {

class OutputFile {
public:
    // Checks the path now, before any run: throws UsageError naming the
    // option when its directory is missing or not writable, or the path is
    // a directory.
    OutputFile(std::string option, const std::filesystem::path& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens on first use; throws std::runtime_error naming the option and the
    // file.  `wake`, when given, is a descriptor that becomes readable to cut
    // a wait for a slow reader (FIFO, socket) short.
    void write(std::span<const uint8_t> bytes);
    void write(std::string_view text)
    {
        write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }
    void set_wake(int wake_fd) { wake_ = wake_fd; }
    // Puts what was written in place; nothing happens when nothing was written.
    void commit();
    bool written() const { return bool(fd_); }
    // "--record out.gif", for messages.
    const std::string& name() const { return name_; }

private:
    [[noreturn]] void fail(const std::string& what, int error) const;
    void open();

    std::string name_;
    std::filesystem::path target_; // links resolved
    bool in_place_ = false;        // a device, FIFO or socket
    bool replaces_ = false;        // a regular file is there now
    unsigned mode_ = 0;            // its mode, kept by the new content
    std::filesystem::path temporary_;
    UniqueFd fd_;
    int wake_ = -1;
};

} // namespace vekos
