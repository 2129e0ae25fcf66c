// Test harness: one emulated machine with the test image loaded, restored to
// its pristine state before each test, calling guest functions by symbol.
#pragma once

#include "base/temp_dir.h"
#include "session/session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::test {

struct CallResult {
    Stop stop;
    uint32_t eax = 0;
    uint32_t edx = 0;
    long double st0 = 0;

    int32_t value() const { return int32_t(eax); }
    uint64_t value64() const { return uint64_t(edx) << 32 | eax; }
    bool returned() const { return stop.why == Stop::Why::Returned; }
    bool exited() const { return stop.why == Stop::Why::Exited; }
    int32_t exit_status() const { return stop.exit_status; }
};

// Register values set before a wrapper runs: a register the wrapper must not
// set reaches the trap with its preset value, and callee-saved ones must
// come back with theirs.
struct Presets {
    uint32_t ebx, ecx, edx, esi, edi, ebp;
};
constexpr Presets preset{0xB0B0B0B0, 0xC0C0C0C0, 0xD0D0D0D0, 0x51515151, 0xD1D1D1D1, 0xBBBBBBBB};

class GuestMachine {
public:
    // The machine of this test program, built on first use.
    static GuestMachine& shared();

    // Fresh process state: memory, registers, descriptors, console, log, sandbox.
    void reset();

    CallResult call(std::string_view symbol, std::span<const uint32_t> args);
    // Anything a test passes to a guest function becomes one 32-bit word.
    template <typename... Args>
    CallResult operator()(std::string_view symbol, Args... args)
    {
        static_assert(((sizeof(Args) <= 4) && ...), "guest arguments are 32-bit words");
        const uint32_t words[] = {static_cast<uint32_t>(args)..., 0};
        return call(symbol, std::span<const uint32_t>(words, sizeof...(Args)));
    }
    // Loads the preset values into the six general registers.
    void preset_registers();
    // Whether ebx, esi, edi and ebp still hold their preset values.
    bool callee_saved_kept() const;
    // Runs the program from _start with these arguments.
    Stop start(const std::vector<std::string>& argv) { return session_.run(argv); }

    uint32_t symbol(std::string_view name) const { return session_.symbol(name); }
    // Guest memory in the scratch area, valid until the next reset.
    uint32_t put_string(std::string_view text);
    uint32_t put_bytes(std::span<const uint8_t> bytes);
    uint32_t put_bytes(std::string_view b) { return put_bytes({reinterpret_cast<const uint8_t*>(b.data()), b.size()}); }
    uint32_t put_words(std::span<const uint32_t> words);
    uint32_t alloc(uint32_t size, uint8_t fill = 0);
    std::vector<uint8_t> read(uint32_t addr, uint32_t len) const { return session_.peek(addr, len); }
    uint32_t read_u32(uint32_t addr) const { return session_.peek_u32(addr); }
    void write_u32(uint32_t addr, uint32_t value) { session_.poke_u32(addr, value); }
    std::string read_cstring(uint32_t addr) const { return session_.peek_string(addr); }
    uint32_t global_u32(std::string_view name) const { return read_u32(symbol(name)); }

    void feed_input(std::string_view text) { session_.captured()->feed(text); }
    const std::string& output() const { return session_.captured()->output(); }
    // An injection in --inject's words: "write@2=-5".
    void inject(std::string_view spec);
    const std::vector<CallRecord>& calls() const { return session_.calls(); }

    Machine& machine() { return session_.machine(); }
    Kernel& kernel() { return session_.kernel(); }
    const std::filesystem::path& root() const { return session_.root(); }

private:
    GuestMachine();

    Session session_;
    uint32_t scratch_next_ = 0;
};

// Fixture: each test starts from a pristine machine.
class GuestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        guest_ = &GuestMachine::shared();
        guest_->reset();
    }
    GuestMachine& guest() { return *guest_; }

private:
    GuestMachine* guest_ = nullptr;
};

// Paths of the built programs, for tests that run vekos-run itself.
std::filesystem::path build_dir();

// A name inside a scratch folder, as a string for a command line.
inline std::string operator/(const TempDir& dir, const std::string& name) { return (dir.path() / name).string(); }

// A file's bytes ("" when it cannot be read).
std::string slurp(const std::filesystem::path& path);

} // namespace vekos::test
