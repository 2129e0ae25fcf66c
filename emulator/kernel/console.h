// The console behind descriptors 0 (input), 1 (output) and 2 (error output).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vekos {

// A console control record: one write of exactly these four bytes to the
// output, 0xFF then red, green and blue.  The text that follows takes that
// colour when the output is a terminal; elsewhere the record is dropped.
constexpr size_t kControlRecordSize = 4;
constexpr uint8_t kControlRecordMark = 0xFF;
// The colour 0xRRGGBB of a write that is a control record.
std::optional<uint32_t> control_record_colour(std::span<const uint8_t> written);

class Console {
public:
    virtual ~Console() = default;
    // Answers bytes read, 0 at end of input, or -errno.
    virtual int read(std::span<uint8_t> buf) = 0;
    // stream 1 is output, 2 error output; answers bytes written or -errno
    // (-32 once the reader has gone away).
    virtual int write(int stream, std::span<const uint8_t> bytes) = 0;
    // Called from another thread (the run's watchdog): a read or write that is
    // waiting gives up with -4, now and for the rest of the run.  Consoles that
    // never wait need not do anything.
    virtual void interrupt() { }
};

// The host process's own standard input, output and error.  Nothing waits
// beyond an interrupt: reads, and writes to what can make a writer wait (a
// pipe, a socket, a terminal), wait in poll() beside a wake-up pipe, and a
// pipe or socket is written at most PIPE_BUF bytes at a time, which a
// writable pipe always takes without blocking.  Files and other devices are
// written directly.
//
// Control records never reach the host as bytes: on a terminal they become
// 24-bit colour sequences, undone when the console goes.
class HostConsole : public Console {
public:
    HostConsole();
    ~HostConsole() override;
    HostConsole(const HostConsole&) = delete;
    HostConsole& operator=(const HostConsole&) = delete;

    int read(std::span<uint8_t> buf) override;
    int write(int stream, std::span<const uint8_t> bytes) override;
    void interrupt() override;
    // Readable once interrupted: other waits of the run can poll it too.
    int wake_fd() const { return wake_[0]; }

private:
    // Waits until fd is ready for `events`; false when interrupted.
    bool wait_for(int fd, short events);

    int wake_[2] = {-1, -1}; // a byte here ends a waiting read or write
    bool coloured_ = false;  // a control record set the terminal's colour: reset at the end
    std::atomic<bool> interrupted_ = false;
    bool chunked_[3] = {};  // by descriptor: a pipe, FIFO or socket
    bool may_wait_[3] = {}; // ... or a terminal
};

// In-memory console for tests: input is fed, output is captured.
class CapturedConsole : public Console {
public:
    int read(std::span<uint8_t> buf) override;
    int write(int stream, std::span<const uint8_t> bytes) override;

    void feed(std::string_view text) { input_.append(text); }
    void clear()
    {
        input_.clear();
        input_pos_ = 0;
        output_.clear();
        error_.clear();
    }
    const std::string& output() const { return output_; }
    const std::string& error_output() const { return error_; }

private:
    std::string input_;
    size_t input_pos_ = 0;
    std::string output_;
    std::string error_;
};

} // namespace vekos
