// One vekos program in the stand-in: its image, the directory that is its
// "/", its console, the kernel, the window service if it has one, and the
// machine.  vekos-run, the test harness, the benchmarks and the fuzzers all
// run programs through a Session.
#pragma once

#include "base/temp_dir.h"
#include "coverage/line_table.h"
#include "cpu/elf_image.h"
#include "cpu/machine.h"
#include "kernel/console.h"
#include "kernel/kernel.h"
#include "window/window.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

struct SessionOptions {
    // The guest's "/": a host directory; empty: a temporary directory of the
    // session's own, emptied by reset() and removed with the session.
    std::filesystem::path root;
    // The console; none: a CapturedConsole of the session's own.
    Console* console = nullptr;
    KernelOptions kernel; // its root is the one above
    MachineOptions machine;
    // The window service, with where its frames go; none: the window calls
    // answer -38.
    std::optional<WindowOptions> window;
    Viewer* viewer = nullptr;
    // An lcov tracefile the lines the program ran are added to (the program
    // built with -g): by write_coverage(), or when the session ends.
    std::optional<std::filesystem::path> coverage;
};

class Session {
public:
    // Throws LoadError naming the file.
    Session(const std::filesystem::path& program, SessionOptions options = {});
    Session(ElfImage image, SessionOptions options = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs the program from _start with these arguments.
    Stop run(const std::vector<std::string>& argv);
    // Calls a guest function by symbol (or address) with 32-bit arguments.
    Stop call(std::string_view symbol, std::span<const uint32_t> args);
    Stop call(uint32_t address, std::span<const uint32_t> args);
    // A fresh process: memory, CPU, descriptors, the call log, the console,
    // the window, and (for its own) the sandbox.
    void reset();

    // Adds the lines run so far to the coverage tracefile, once; throws
    // std::runtime_error naming the file when it cannot be written.
    void write_coverage();

    // The symbol's address; throws std::invalid_argument when there is none.
    uint32_t symbol(std::string_view name) const;
    // Host access to guest memory, whatever its protection; throws
    // std::out_of_range for unmapped memory.
    void poke(uint32_t addr, std::span<const uint8_t> bytes);
    std::vector<uint8_t> peek(uint32_t addr, uint32_t len) const;
    uint32_t peek_u32(uint32_t addr) const;
    void poke_u32(uint32_t addr, uint32_t value);
    std::string peek_string(uint32_t addr) const;

    const std::vector<CallRecord>& calls() const { return kernel_.log(); }
    const ElfImage& image() const { return image_; }
    Machine& machine() { return *machine_; }
    const Machine& machine() const { return *machine_; }
    Kernel& kernel() { return kernel_; }
    Window* window() { return window_ ? &*window_ : nullptr; }
    // The session's own console (nullptr when one was given).
    CapturedConsole* captured() { return own_console_.get(); }
    const CapturedConsole* captured() const { return own_console_.get(); }
    const std::filesystem::path& root() const { return root_; }

private:
    static KernelOptions with_root(KernelOptions options, const std::filesystem::path& root);

    ElfImage image_; // first: a program that cannot load leaves no sandbox behind
    std::optional<TempDir> own_root_; // when no root was given
    std::filesystem::path root_;
    std::unique_ptr<CapturedConsole> own_console_;
    Kernel kernel_;
    std::optional<Window> window_;
    std::unique_ptr<Machine> machine_;
    std::optional<std::filesystem::path> coverage_file_;
    std::unique_ptr<coverage::LineTable> lines_;
};

} // namespace vekos
