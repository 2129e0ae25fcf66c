// libFuzzer target: vsscanf and the six text-to-number routines of the real
// i386 code, on arbitrary bytes, in the stand-in.
//
// The first byte picks the routine.  For vsscanf the bytes up to the first
// zero are the format and the rest is the input; for strtoul and strtol the
// second byte is the base.  Every call must return (no fault, no runaway),
// write nothing but its own cells (canaries everywhere else, the texts
// unchanged), and leave end cells inside the text.  strtold and strtod must
// also agree bit for bit with the host's model of the x87 sequence.
//
// libFuzzer sees only host code; the guest's path shows through extra
// counters fed with what each call did (its result class and its cost).
#include "cpu/layout.h"
#include "library_session.h"
#include "x87_reference.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace vekos;

constexpr uint8_t kFill = 0xA5;
constexpr uint32_t kGuard = 64;        // canary bytes around everything placed
constexpr size_t kMaxText = 2048;      // longer inputs are cut
constexpr size_t kMaxConversions = 32; // formats with more "%" are cut
constexpr uint64_t kInstructionLimit = 20'000'000;

enum Routine { kVsscanf, kStrtoul, kStrtol, kAtoi, kAtol, kStrtold, kStrtod, kRoutines };
const char* const kNames[] = {"vsscanf", "strtoul", "strtol", "atoi", "atol", "strtold", "strtod"};

__attribute__((section("__libfuzzer_extra_counters"))) uint8_t g_features[1 << 14];

void feature(uint32_t a, uint32_t b)
{
    uint32_t h = (a * 0x9E3779B1u) ^ (b + 0x7F4A7C15u + (a << 6) + (a >> 2));
    uint8_t& c = g_features[h % sizeof g_features];
    if (c < 255)
        ++c;
}

[[noreturn]] void fail(const std::string& what, Routine routine, const std::string& text)
{
    std::fprintf(stderr, "fuzz_convert: %s: %s on %zu bytes\n", kNames[routine], what.c_str(), text.size());
    std::abort();
}

struct World {
    Session session{VEKOS_TEST_IMAGE, test::library_session_options(kInstructionLimit)};
    Machine* machine = &session.machine();
    uint32_t symbols[kRoutines];

    World()
    {
        for (int r = 0; r < kRoutines; ++r)
            symbols[r] = session.symbol(kNames[r]);
    }
};

World& world()
{
    static World w;
    return w;
}

// The scratch area laid out for one call: blocks with canaries between
// them, and the parts of each block the call may write.
class Layout {
public:
    explicit Layout(GuestMemory& memory) : memory_(memory) { }

    uint32_t place(const std::vector<uint8_t>& bytes, uint32_t room)
    {
        uint32_t addr = next_ + kGuard;
        next_ = addr + room;
        std::vector<uint8_t> block(room, kFill);
        std::copy(bytes.begin(), bytes.end(), block.begin());
        expected_.insert(expected_.end(), kGuard, kFill);
        expected_.insert(expected_.end(), block.begin(), block.end());
        return addr;
    }
    void writable(uint32_t addr, uint32_t len) { writable_.push_back({addr, len}); }

    void finish()
    {
        expected_.insert(expected_.end(), kGuard, kFill);
        next_ += kGuard;
        memory_.poke(kScratchBase, expected_);
    }

    // The first byte that changed outside the writable parts, or 0.
    uint32_t stray_write() const
    {
        std::vector<uint8_t> now(expected_.size());
        memory_.peek(kScratchBase, now);
        for (size_t i = 0; i < now.size(); ++i) {
            if (now[i] == expected_[i])
                continue;
            uint32_t addr = kScratchBase + uint32_t(i);
            bool allowed = false;
            for (auto [begin, len] : writable_)
                allowed = allowed || (addr >= begin && addr - begin < len);
            if (!allowed)
                return addr;
        }
        return 0;
    }

private:
    GuestMemory& memory_;
    uint32_t next_ = kScratchBase;
    std::vector<uint8_t> expected_;
    std::vector<std::pair<uint32_t, uint32_t>> writable_;
};

std::vector<uint8_t> c_string(const std::string& s)
{
    std::vector<uint8_t> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

std::vector<uint8_t> word_bytes(uint32_t w)
{
    return {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
}

Stop call(Routine routine, std::vector<uint32_t> args)
{
    World& w = world();
    Stop s = w.machine->call(w.symbols[routine], args);
    feature(routine, uint32_t(w.machine->instructions_executed() / 8));
    return s;
}

void check_returned(const Stop& s, Routine routine, const std::string& text)
{
    if (s.why == Stop::Why::Returned)
        return;
    fail(s.fault ? s.fault->message() : "no return (instruction limit)", routine, text);
}

void fuzz_vsscanf(const std::string& format, const std::string& input)
{
    World& w = world();
    size_t conversions = 0;
    for (char c : format)
        conversions += c == '%';
    // Room for the longest word any "%s" can store, and 4 bytes for numbers.
    const uint32_t cell = uint32_t(std::max<size_t>(input.size() + 1, 4));

    Layout layout(w.machine->memory());
    uint32_t in = layout.place(c_string(input), uint32_t(input.size() + 1));
    uint32_t fmt = layout.place(c_string(format), uint32_t(format.size() + 1));
    std::vector<uint32_t> cells;
    for (size_t i = 0; i < conversions; ++i) {
        cells.push_back(layout.place({}, cell));
        layout.writable(cells.back(), cell);
    }
    std::vector<uint8_t> list;
    for (uint32_t c : cells) {
        auto b = word_bytes(c);
        list.insert(list.end(), b.begin(), b.end());
    }
    uint32_t args = layout.place(list, uint32_t(list.size()));
    layout.finish();

    Stop s = call(kVsscanf, {in, fmt, args});
    check_returned(s, kVsscanf, format + "|" + input);
    int32_t count = int32_t(w.machine->reg(UC_X86_REG_EAX));
    if (count < 0 || size_t(count) > conversions)
        fail("count " + std::to_string(count) + " with " + std::to_string(conversions) + " conversions", kVsscanf,
            input);
    if (uint32_t addr = layout.stray_write())
        fail("write outside the argument cells at offset " + std::to_string(addr - kScratchBase), kVsscanf, input);
    feature(100, uint32_t(count));
}

void fuzz_number(Routine routine, const std::string& text, int base)
{
    World& w = world();
    Layout layout(w.machine->memory());
    uint32_t t = layout.place(c_string(text), uint32_t(text.size() + 1));
    uint32_t end = layout.place(word_bytes(0xA5A5A5A5), 4);
    if (routine != kAtoi && routine != kAtol)
        layout.writable(end, 4);
    layout.finish();

    std::vector<uint32_t> args = {t};
    if (routine == kStrtoul || routine == kStrtol)
        args.insert(args.end(), {end, uint32_t(base)});
    else if (routine == kStrtold || routine == kStrtod)
        args.push_back(end);
    Stop s = call(routine, args);
    check_returned(s, routine, text);
    if (uint32_t addr = layout.stray_write())
        fail("write outside the end cell at offset " + std::to_string(addr - kScratchBase), routine, text);
    if (routine == kAtoi || routine == kAtol)
        return;

    std::vector<uint8_t> cell(4);
    w.machine->memory().peek(end, cell);
    uint32_t stop = uint32_t(cell[0]) | uint32_t(cell[1]) << 8 | uint32_t(cell[2]) << 16 | uint32_t(cell[3]) << 24;
    size_t length = std::strlen(text.c_str());
    if (stop < t || stop - t > length)
        fail("end cell outside the text", routine, text);
    feature(200 + routine, stop - t);

    if (routine == kStrtold || routine == kStrtod) {
        test::ReferenceConversion model = test::reference_strtold(text.c_str());
        long double want = model.value;
        if (routine == kStrtod) {
            volatile double narrowed = double(model.value);
            want = narrowed;
        }
        long double got = w.machine->st0();
        if (!test::same_bits(got, want))
            fail("result " + test::x87_bits(got) + ", model " + test::x87_bits(want), routine, text);
        if (stop - t != model.end)
            fail("end " + std::to_string(stop - t) + ", model " + std::to_string(model.end), routine, text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    World& w = world();
    w.machine->reset();
    Routine routine = Routine(data[0] % kRoutines);
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (routine == kVsscanf) {
        size_t zero = rest.find('\0');
        std::string format = rest.substr(0, zero);
        std::string input = zero == std::string::npos ? std::string() : rest.substr(zero + 1);
        if (input.size() > kMaxText)
            input.resize(kMaxText);
        size_t percents = 0, cut = 0;
        for (; cut < format.size() && percents <= kMaxConversions; ++cut)
            percents += format[cut] == '%';
        if (percents > kMaxConversions)
            format.resize(cut - 1);
        fuzz_vsscanf(format, input);
    } else {
        int base = 10;
        if (routine == kStrtoul || routine == kStrtol) {
            if (rest.empty())
                return 0;
            base = int(int8_t(rest[0]));
            rest.erase(0, 1);
        }
        if (rest.size() > kMaxText)
            rest.resize(kMaxText);
        fuzz_number(routine, rest, base);
    }
    return 0;
}
