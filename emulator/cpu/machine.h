// An i386 CPU (Unicorn) running one vekos program at user privilege: loading,
// start-up stack, kernel calls, faults, limits, and direct calls of guest
// functions.
#pragma once

#include "cpu/disassembler.h"
#include "cpu/elf_image.h"
#include "cpu/faults.h"
#include "cpu/guest_memory.h"
#include "cpu/trap.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct uc_struct;
struct uc_context;

namespace vekos {

// A debugger's view of the run: asked before every instruction whether to
// stop there, told of every access the program makes (not the kernel's).
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual bool stop_before(uint32_t eip) = 0;
    virtual void accessed(uint32_t address, uint32_t size, bool write) = 0;
};

struct MachineOptions {
    uint64_t max_instructions = 0; // 0: no limit
    bool count_instructions = false; // instructions_executed() without a limit
    double timeout_seconds = 0;    // 0: no limit
    bool scratch = false;          // map the harness's scratch region
    bool profile = false;          // count every instruction and every store (slow)
    // rdtsc answers a value the host sets (set_tsc) instead of the host's
    // counter, so runs that read it are reproducible.
    bool fixed_tsc = false;
    // Hooks on every instruction and access for a debugger (slow); the run
    // stops with Stop::Why::Paused when it asks.
    RunObserver* observer = nullptr;
    bool coverage = false; // count the runs of every executed block (block_runs())
};

// Counts kept when MachineOptions::profile is set; reset at each run.
struct Profile {
    uint64_t instructions = 0; // a rep-prefixed instruction counts once per iteration
    uint64_t stores = 0;       // memory write accesses, whatever their width
    uint64_t stored_bytes = 0;
};

struct Stop {
    enum class Why {
        Exited,           // the exit call; exit_status is the program's
        Returned,         // a harness call came back (never from start())
        Faulted,          // fault says what and where
        InstructionLimit, // MachineOptions::max_instructions
        Timeout,          // MachineOptions::timeout_seconds
        Interrupted,      // request_stop() from another thread; signal says why
        OutputClosed,     // the console's reader went away (a broken pipe)
        Paused,           // MachineOptions::observer asked to stop before eip
    } why
        = Why::Exited;
    int32_t exit_status = 0;
    std::optional<Fault> fault; // set exactly when why is Faulted
    int signal = 0;             // for Interrupted
};

// The arguments do not fit on the start-up stack.
class ArgumentsTooLong : public std::length_error {
public:
    using std::length_error::length_error;
};
// Bytes the start-up stack needs for these arguments (strings, pointers, argc);
// at most kMaxArgumentBytes fit.
uint64_t argument_bytes(const std::vector<std::string>& argv);

class Machine {
public:
    // Throws LoadError when the program's memory cannot be laid out (writable code).
    Machine(const ElfImage& image, TrapHandler& kernel, MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Runs the program from its entry point with argv on the start-up stack;
    // throws ArgumentsTooLong before running when argv does not fit.
    Stop start(const std::vector<std::string>& argv);
    // start() in two steps: the start-up stack laid out and eip at the entry
    // point, then runs that go on from eip (after a Paused stop, say).
    void prepare_start(const std::vector<std::string>& argv);
    Stop resume();
    // Calls a guest function with 32-bit word arguments (cdecl); it returns to
    // a sentinel page.  Registers other than esp and eip are left as they are.
    Stop call(uint32_t function, std::span<const uint32_t> args);
    // Memory and CPU back to the state right after loading.
    void reset();
    // From any thread: ends the run in progress (or the next one) with
    // Stop::Why::Interrupted, cutting short any kernel call that waits.
    void request_stop(int signal);

    uint32_t reg(int uc_register) const;
    void set_reg(int uc_register, uint32_t value);
    long double st0() const;
    // Any register as raw bytes, little-endian (the x87 stack registers are 10).
    void read_register_bytes(int uc_register, std::span<uint8_t> out) const;
    void write_register_bytes(int uc_register, std::span<const uint8_t> bytes);
    uint16_t fpu_control_word() const;

    GuestMemory& memory() { return memory_; }
    // A debugger's write: protections ignored, code retranslated.
    bool patch(uint32_t address, std::span<const uint8_t> bytes);
    // With MachineOptions::coverage: (address << 32 | size) of each block -> its runs,
    // summed over every run since the machine was made.
    const std::unordered_map<uint64_t, uint64_t>& block_runs() const { return block_runs_; }
    const ElfImage& image() const { return image_; }
    uint64_t instructions_executed() const { return executed_; }
    const Profile& profile() const { return profile_; }
    // What rdtsc answers next; it then counts up by one per read.
    void set_tsc(uint64_t value) { tsc_ = value; }
    uint64_t tsc() const { return tsc_; }
    // Only effective when the machine was built with a limit (the hook exists).
    void set_instruction_limit(uint64_t limit) { options_.max_instructions = limit; }
    // Stack pointer at the program's entry in the last start().
    uint32_t entry_stack_pointer() const { return entry_sp_; }

private:
    enum class Mode { entering_user_mode, program, call };

    FaultRegisters registers() const;
    std::vector<uint32_t> frame_chain(uint32_t ebp) const;
    std::optional<uint32_t> caller_before_frame(uint32_t eip, uint32_t esp) const;

    static void on_interrupt(uc_struct* uc, uint32_t intno, void* self);
    static bool on_invalid_memory(uc_struct* uc, int type, uint64_t address, int size, int64_t value, void* self);
    static void on_block(uc_struct* uc, uint64_t address, uint32_t size, void* self);
    static void on_memory_probe(uc_struct*, int, uint64_t, int, int64_t, void*) { }
    static void on_observed_code(uc_struct* uc, uint64_t address, uint32_t, void* self);
    static void on_observed_access(uc_struct*, int type, uint64_t address, int size, int64_t, void* self);
    static void on_covered_block(uc_struct*, uint64_t address, uint32_t size, void* self);
    static void on_profile_code(uc_struct*, uint64_t, uint32_t, void* self);
    static void on_after_rdtsc(uc_struct* uc, uint64_t, uint32_t, void* self);
    static void on_profile_store(uc_struct*, int, uint64_t, int size, int64_t, void* self);
    static uint32_t on_port_input(uc_struct* uc, uint32_t port, int size, void* self);
    static void on_port_output(uc_struct* uc, uint32_t port, int size, uint32_t value, void* self);
    static void on_sysenter(uc_struct* uc, void* self);
    static void on_syscall(uc_struct* uc, void* self);

    void add_hooks();
    void enter_user_mode();
    Stop run(uint32_t begin, Mode mode);
    void supervise(std::unique_lock<std::mutex>& lock);
    void record_fault(std::string kind, std::string detail, uint32_t eip, int status);
    void record_interrupt(uint32_t vector, uint32_t eip);
    void record_forbidden(Disassembler::Kind kind);
    std::string instruction_at(uint32_t eip) const;
    std::vector<uint8_t> readable_bytes(uint32_t from, uint32_t to) const;

    const ElfImage& image_;
    TrapHandler& kernel_;
    MachineOptions options_;
    GuestMemory memory_;
    Disassembler disassembler_;
    uc_struct* uc_ = nullptr;
    uc_context* pristine_ = nullptr;

    // Per-run state.
    Mode mode_ = Mode::program;
    std::optional<Stop> stop_;
    std::exception_ptr hook_error_;
    uint64_t executed_ = 0;
    uint32_t entry_sp_ = 0;
    Profile profile_;
    uint64_t tsc_ = 0;
    std::unordered_map<uint32_t, uint32_t> block_sizes_;
    std::unordered_map<uint64_t, uint64_t> block_runs_;
    uint64_t last_block_ = 0; // the key of the block running now
    std::vector<uint64_t> untranslatable_; // sorted; where the engine must stop

    // Stopping from other threads: the watchdog of --timeout and request_stop().
    std::mutex stop_mutex_;
    std::condition_variable stop_wake_;
    bool running_ = false;
    std::atomic<int> requested_signal_ = 0;
    std::atomic<bool> timed_out_ = false;
};

} // namespace vekos
