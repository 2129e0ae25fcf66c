// The stand-in's kernel: answers each int 0x80 of the guest.
//
// Answers follow one rule: a non-negative value on success, a negative Linux
// errno number on failure (-2 no such file, -9 bad descriptor, -14 bad
// address, -22 invalid argument, -38 not implemented, ...).
#pragma once

#include "console.h"
#include "sandbox_fs.h"
#include "unique_fd.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

class GuestMemory;
class WindowService;

struct CallRegs {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

struct CallRecord {
    CallRegs in;
    int32_t answer = 0;
    bool injected = false;
    bool implemented = true;
};

// "--inject CALL[@N]=ANSWER": the Nth call (every call without @N) of CALL,
// given by name or number, answers ANSWER without being performed.
struct Injection {
    uint32_t number = 0;
    std::optional<uint64_t> nth;
    int32_t answer = 0;
};
Injection parse_injection(std::string_view spec);  // throws std::invalid_argument

// Sleeps either in real time or on a virtual clock; a real sleep can be cut
// short from another thread (the run's watchdog).
class Clock {
public:
    explicit Clock(bool virtual_time) : virtual_(virtual_time) {}
    void sleep_us(uint64_t usec);
    void interrupt();
    void reset();
    uint64_t slept_us() const { return slept_us_; }

private:
    bool virtual_;
    uint64_t slept_us_ = 0;
    // End of the last real sleep: a sleep that follows within one period is
    // counted from there, so a program that works a little and then sleeps
    // keeps the period it asked for instead of drifting by its own work.
    std::optional<std::chrono::steady_clock::time_point> last_wake_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool interrupted_ = false;
};

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

struct KernelOptions {
    std::filesystem::path root = ".";
    FsQuota quota;
    bool fast_clock = false;
    bool keep_log = false;
    std::function<void(std::string_view)> trace;  // one line per call, without newline
    std::vector<Injection> injections;
};

class Kernel {
public:
    Kernel(KernelOptions options, Console& console);
    ~Kernel();

    struct Outcome {
        int32_t answer = 0;
        bool exit = false;
        int32_t exit_status = 0;
        bool output_closed = false;  // the console's reader went away: end the run
    };
    Outcome handle(GuestMemory& memory, const CallRegs& regs);

    // Back to the state of a fresh process: console descriptors only, cwd "/",
    // call counters and log cleared.  Injections stay.
    void reset();
    void add_injection(const Injection& injection) { options_.injections.push_back(injection); }
    void clear_injections() { options_.injections.clear(); }
    void set_trace(std::function<void(std::string_view)> trace) { options_.trace = std::move(trace); }
    const std::vector<CallRecord>& log() const { return log_; }
    void clear_log() { log_.clear(); }
    Clock& clock() { return clock_; }
    // From another thread: cut short a sleep, a console read or write, or a
    // wait for a window event, in progress or to come in this run.
    void interrupt();
    SandboxFs& fs() { return fs_; }
    void set_window(WindowService* window) { window_ = window; }

private:
    struct Pipe {
        std::deque<uint8_t> bytes;
        int readers = 0;
        int writers = 0;
    };
    struct Descriptor {
        enum class Kind { ConsoleIn, ConsoleOut, ConsoleErr, File, PipeRead, PipeWrite } kind;
        std::shared_ptr<UniqueFd> file;
        std::shared_ptr<Pipe> pipe;
    };
    struct Stream {
        std::string path;
        std::vector<uint8_t> bytes;
    };
    static constexpr int kMaxDescriptors = 64;

    struct Answer {
        int32_t value = 0;
        bool implemented = true;
        bool exit = false;
    };
    Answer perform(GuestMemory& memory, const CallRegs& regs);
    std::optional<int32_t> injected_answer(uint32_t number);

    // Console and files.
    int32_t sys_write(GuestMemory& m, int32_t fd, uint32_t buf, uint32_t count);
    int32_t sys_read(GuestMemory& m, int32_t fd, uint32_t buf, uint32_t count);
    int32_t sys_open(GuestMemory& m, uint32_t path, uint32_t flags);
    int32_t sys_close(int32_t fd);
    int32_t sys_lseek(int32_t fd, int32_t offset, int32_t whence);
    int32_t sys_writefile(GuestMemory& m, uint32_t path, uint32_t data, uint32_t len);
    int32_t sys_path_call(GuestMemory& m, uint32_t number, uint32_t path);
    int32_t sys_getcwd(GuestMemory& m, uint32_t buf, uint32_t size);
    int32_t sys_dup(int32_t fd);
    int32_t sys_dup2(int32_t fd, int32_t target);
    int32_t sys_pipe(GuestMemory& m, uint32_t fds);
    int32_t sys_stream_begin(GuestMemory& m, uint32_t path);
    int32_t sys_stream_write(GuestMemory& m, int32_t stream, uint32_t data, uint32_t len);
    int32_t sys_stream_end(int32_t stream);
    // Process.
    int32_t sys_usleep(uint32_t usec);

    Descriptor* descriptor(int32_t fd);
    int32_t install(Descriptor d, int32_t at = -1);
    void release(Descriptor& d);
    std::optional<std::string> guest_path(GuestMemory& m, uint32_t addr, int32_t& error);
    // How many of `count` bytes may be written at `position` of a file of
    // `size` bytes under the quota; negative errno when none may.
    int64_t quota_allows(uint64_t position, uint64_t size, uint64_t count) const;
    int32_t write_file(int fd, std::span<const uint8_t> bytes);
    int replace_file(const std::string& path, std::span<const uint8_t> bytes, uint64_t already_counted);

    KernelOptions options_;
    Console& console_;
    SandboxFs fs_;
    Clock clock_;
    WindowService* window_ = nullptr;
    std::vector<std::optional<Descriptor>> fds_;
    std::map<int32_t, Stream> streams_;
    int32_t next_stream_ = 1;
    uint64_t quota_used_ = 0;
    bool output_closed_ = false;
    std::array<uint64_t, 256> counts_{};
    std::map<uint32_t, uint64_t> high_counts_;
    std::vector<CallRecord> log_;
};

} // namespace vekos
