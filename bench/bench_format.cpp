// Formatter figures: guest instructions per output character of snprintf,
// and kernel calls per printf on the console, for the same formats.  Both are
// counts, not times, so one run of each is exact.
#include "cpu/layout.h"
#include "guest_session.h"

#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace vekos;

// An argument: a word, or a string placed in guest memory.
struct Arg {
    uint32_t word = 0;
    const char* text = nullptr;
};

struct Sample {
    const char* name;
    const char* format;
    std::vector<Arg> args;
};

// The first is the typical mixed format the headline figures use; the
// others show where the cost goes.
const std::vector<Sample>& samples()
{
    static const std::vector<Sample> list = {
        {"mixed", "user %s id %d at %p: %5u items, %x flags, %c%%\n",
            {{0, "alice"}, {4711}, {0x0804A000}, {42}, {0xBEEF}, {'k'}}},
        {"literal text", "The quick brown fox jumps over the lazy dog.\n", {}},
        {"numbers", "%d %u %x %d %u %x\n", {{uint32_t(-2147483647 - 1)}, {4294967295u}, {0xDEADBEEF}, {7}, {0}, {15}}},
        {"strings", "%s, %s and %10s\n", {{0, "first"}, {0, "second string"}, {0, "third"}}},
        {"wide fill", "[%40d]\n", {{42}}},
    };
    return list;
}

MachineOptions profiling()
{
    MachineOptions m;
    m.scratch = true;
    m.profile = true;
    m.fixed_tsc = true;
    m.max_instructions = 100'000'000;
    return m;
}

KernelOptions logging()
{
    KernelOptions o = bench::GuestSession::fast_clock();
    o.keep_log = true;
    return o;
}

class Bench {
public:
    Bench() : image_(ElfImage::load(VEKOS_BENCH_IMAGE)), guest_(image_, profiling(), logging()) { }

    struct Figures {
        uint32_t chars;
        uint64_t snprintf_instructions;
        uint64_t printf_instructions;
        size_t printf_calls;
    };

    Figures measure(const Sample& s)
    {
        Figures f{};
        // snprintf into a buffer large enough for the whole output.
        fresh();
        const uint32_t buf = place(std::string(512, '\0'));
        const int32_t n = int32_t(guest_.call("snprintf", concat({buf, 512, place(s.format)}, s.args)));
        f.chars = uint32_t(n);
        f.snprintf_instructions = guest_.machine().profile().instructions;
        // printf of the same format on the console.
        fresh();
        const int32_t written = int32_t(guest_.call("printf", concat({place(s.format)}, s.args)));
        if (written != n || guest_.console().output().size() != size_t(n))
            throw std::runtime_error(std::string(s.name) + ": printf and snprintf disagree");
        f.printf_instructions = guest_.machine().profile().instructions;
        f.printf_calls = guest_.kernel().log().size();
        return f;
    }

private:
    void fresh()
    {
        guest_.machine().reset();
        guest_.kernel().reset();
        guest_.console().clear();
        next_ = kScratchBase;
    }

    uint32_t place(const std::string& text)
    {
        const uint32_t addr = next_;
        guest_.put_string(addr, text);
        next_ += uint32_t(text.size() + 1 + 15) & ~15u;
        return addr;
    }

    std::vector<uint32_t> concat(std::vector<uint32_t> head, const std::vector<Arg>& args)
    {
        for (const Arg& a : args)
            head.push_back(a.text ? place(a.text) : a.word);
        return head;
    }

    ElfImage image_;
    bench::GuestSession guest_;
    uint32_t next_ = kScratchBase;
};

int run()
{
    Bench bench;
    std::printf("==== formatter figures (guest instructions and kernel calls, exact counts) ====\n");
    std::printf("  %-14s %6s %12s %12s %12s %12s %12s\n", "format", "chars", "snprintf", "instr/char", "printf",
        "instr/char", "calls");
    for (const Sample& s : samples()) {
        const Bench::Figures f = bench.measure(s);
        std::printf("  %-14s %6u %12llu %12.1f %12llu %12.1f %12zu\n", s.name, f.chars,
            static_cast<unsigned long long>(f.snprintf_instructions), double(f.snprintf_instructions) / f.chars,
            static_cast<unsigned long long>(f.printf_instructions), double(f.printf_instructions) / f.chars,
            f.printf_calls);
    }
    const Sample& typical = samples().front();
    const Bench::Figures f = bench.measure(typical);
    std::printf("\n  format: \"%s\" (the newline is \\n)\n",
        std::string(typical.format, std::strlen(typical.format) - 1).c_str());
    std::printf("  %-64s %10.1f\n", "snprintf: guest instructions per output character",
        double(f.snprintf_instructions) / f.chars);
    std::printf("  %-64s %10zu\n", "printf on the console: kernel calls per call", f.printf_calls);
    return 0;
}

} // namespace

int main() { return vekos::bench::run_guarded("bench_format", run); }
