// libFuzzer target: the formatters, the scanner and the six number routines
// of the real i386 code on arbitrary bytes, in the stand-in.  Every call must
// return (no fault, no runaway) and write nothing outside its own cells:
// canaries lie everywhere else.  Besides:
//   - vsnprintf cuts consistently: a short buffer holds the start of the
//     whole output, its terminator and nothing after it, with the same count;
//   - vsscanf counts no more values than the format has conversions;
//   - end cells stay inside the text, and strtold and strtod agree bit for
//     bit with the host's model (x87_reference.h), on random texts as the
//     family test does on its table.
//
// Byte 0 picks the routine.  Formatters: byte 1 the buffer size (0xF0 and
// up: a null buffer), then eight argument words, then the format.  vsscanf:
// the format up to the first zero byte, then the input.  strtoul and strtol:
// byte 1 is the base.  libFuzzer sees only host code, so the guest's path
// shows through extra counters fed with each call's cost.
#include "cpu/layout.h"
#include "library_session.h"
#include "x87_reference.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace vekos;

constexpr uint8_t kFill = 0xA5;
constexpr uint32_t kGuard = 16, kLarge = 8192, kWords = 8, kPoolSize = 256;
constexpr uint32_t kPool = kScratchBase + kScratchSize - kPoolSize; // "s" strings end the mapping
constexpr size_t kMaxFormat = 256;
enum Routine { kFormat, kVsscanf, kStrtoul, kStrtol, kAtoi, kAtol, kStrtold, kStrtod, kRoutines };
const char* const kNames[] = {"vsnprintf", "vsscanf", "strtoul", "strtol", "atoi", "atol", "strtold", "strtod"};

__attribute__((section("__libfuzzer_extra_counters"))) uint8_t g_features[1 << 14];
std::string g_input; // for the report

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_library: %s\n  input: ", what.c_str());
    for (unsigned char c : g_input)
        std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

Session& session()
{
    static Session s(VEKOS_TEST_IMAGE, test::library_session_options(100'000'000));
    return s;
}

uint32_t call(const char* name, std::vector<uint32_t> args, uint64_t limit = 20'000'000)
{
    session().machine().set_instruction_limit(limit);
    const Stop s = session().call(name, args);
    if (s.why != Stop::Why::Returned)
        fail(std::string(name) + ": " + (s.fault ? s.fault->message() : "no return (instruction limit or exit)"));
    const size_t h = std::hash<std::string_view>{}(name) ^ (session().machine().instructions_executed() / 8);
    g_features[h % sizeof g_features] += g_features[h % sizeof g_features] < 255;
    return session().machine().reg(UC_X86_REG_EAX);
}

// Blocks from the scratch base, each followed by canaries, put in guest
// memory as they come; check() fails on a change outside the writable ones.
struct Layout {
    std::vector<uint8_t> image = std::vector<uint8_t>(kGuard, kFill);
    std::vector<std::pair<uint32_t, uint32_t>> writable;

    uint32_t put(std::string_view bytes, uint32_t room = 0)
    {
        const uint32_t addr = kScratchBase + uint32_t(image.size());
        image.insert(image.end(), bytes.begin(), bytes.end());
        image.resize(image.size() + room + kGuard, kFill);
        if (room)
            writable.push_back({addr, room});
        session().poke(addr - kGuard, std::span(image).subspan(addr - kGuard - kScratchBase));
        return addr;
    }
    uint32_t text(const std::string& s) { return put({s.c_str(), s.size() + 1}); }
    void check() const
    {
        const std::vector<uint8_t> now = session().peek(kScratchBase, uint32_t(image.size()));
        for (uint32_t i = 0, at = kScratchBase; i < now.size(); ++i, ++at)
            if (now[i] != image[i]
                && std::none_of(writable.begin(), writable.end(), [&](auto w) { return at - w.first < w.second; }))
                fail("a write outside the cells at scratch offset " + std::to_string(i));
    }
};

// vsnprintf into a guarded buffer: the count and the bytes before the terminator.
std::pair<int32_t, std::string> buffer_run(const std::string& format, uint32_t args, uint32_t size, bool null)
{
    Layout l;
    const uint32_t f = l.text(format), buf = null ? 0 : l.put("", size);
    const int32_t n = int32_t(call("vsnprintf", {buf, size, f, args}, 5'000'000));
    l.check();
    if (null || size == 0)
        return {n, ""}; // nothing may be stored: the layout has no writable part
    const std::vector<uint8_t> stored = session().peek(buf, size);
    const std::string bytes(stored.begin(), stored.end());
    const size_t end = std::min<uint32_t>(uint32_t(n), size - 1);
    if (bytes[end] != 0 || bytes.find_first_not_of(char(kFill), end + 1) != std::string::npos)
        fail("no terminator, or bytes stored after it");
    return {n, bytes.substr(0, end)};
}

void fuzz_format(const std::string& in)
{
    if (in.size() < 1 + 4 * kWords)
        return;
    std::string format = in.substr(1 + 4 * kWords);
    format.resize(std::min(std::strlen(format.c_str()), kMaxFormat));
    // The pool holds short strings back to back, the last one ending the
    // mapping; the argument words lie below it, the eight input words over
    // and over, each fit for "s": an address below the guard page or into the pool.
    std::vector<uint32_t> words(2 * kMaxFormat + kPoolSize / 4);
    for (size_t i = 0; i < 2 * kMaxFormat; ++i) {
        std::memcpy(&words[i], in.data() + 1 + 4 * (i % kWords), 4);
        words[i] = words[i] < 4096 || words[i] - kPool < kPoolSize ? words[i] : kPool + words[i] % kPoolSize;
    }
    for (uint32_t i = 0; i + 1 < kPoolSize; ++i)
        reinterpret_cast<uint8_t*>(&words[2 * kMaxFormat])[i] = i % 7 == 6 || i % 11 == 10 ? 0 : 'a' + i % 26;
    const uint32_t args = kPool - 8 * kMaxFormat;
    session().poke(args, std::vector<uint8_t>((uint8_t*)words.data(), (uint8_t*)(words.data() + words.size())));

    const uint32_t size = uint8_t(in[0]) % 48;
    const bool null = uint8_t(in[0]) >= 0xF0;
    const auto [whole_n, whole] = buffer_run(format, args, kLarge, false);
    const auto [cut_n, cut] = buffer_run(format, args, size, null);
    if (whole_n < 0 || cut_n != whole_n)
        fail("vsnprintf counts " + std::to_string(whole_n) + " and " + std::to_string(cut_n));
    if (uint32_t(whole_n) < kLarge && cut != (null || !size ? "" : whole.substr(0, size - 1)))
        fail("a cut output is not the start of the whole one");
}

void fuzz_vsscanf(const std::string& in)
{
    const size_t zero = in.find('\0');
    const std::string format = in.substr(0, zero), input = zero == std::string::npos ? "" : in.substr(zero + 1);
    const size_t conversions = std::count(format.begin(), format.end(), '%');
    Layout l;
    const uint32_t text = l.text(input), f = l.text(format);
    std::vector<uint32_t> cells;
    for (size_t i = 0; i < conversions; ++i) // room for the longest word, or a number
        cells.push_back(l.put("", uint32_t(std::max<size_t>(input.size() + 1, 4))));
    const uint32_t list = l.put({reinterpret_cast<const char*>(cells.data()), 4 * cells.size()});
    const int32_t count = int32_t(call("vsscanf", {text, f, list}));
    l.check();
    if (count < 0 || size_t(count) > conversions)
        fail("count " + std::to_string(count) + " with " + std::to_string(conversions) + " conversions");
}

void fuzz_number(Routine routine, std::string text)
{
    const bool integer = routine == kStrtoul || routine == kStrtol, atoi = routine == kAtoi || routine == kAtol;
    const int base = integer && !text.empty() ? int8_t(text[0]) : 10;
    text = text.substr(integer && !text.empty());
    Layout l;
    const uint32_t t = l.text(text), end = atoi ? 0 : l.put("", 4);
    call(kNames[routine], {t, end, uint32_t(base)});
    l.check();
    const uint32_t stop = atoi ? t : session().peek_u32(end);
    if (stop < t || stop - t > std::strlen(text.c_str()))
        fail("end cell outside the text");
    if (routine == kStrtold || routine == kStrtod) {
        const test::ReferenceConversion model = test::reference_strtold(text.c_str());
        volatile double narrowed = double(model.value);
        const long double want = routine == kStrtod ? narrowed : model.value, got = session().machine().st0();
        if (!test::same_bits(got, want) || stop - t != model.end)
            fail("result " + test::x87_bits(got) + " end " + std::to_string(stop - t) + ", model "
                + test::x87_bits(want) + " end " + std::to_string(model.end));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_input.assign(reinterpret_cast<const char*>(data), size);
    session().reset();
    const Routine routine = size ? Routine(data[0] % kRoutines) : kFormat;
    const std::string rest = size ? g_input.substr(1) : "";
    if (routine == kFormat)
        fuzz_format(rest);
    else if (routine == kVsscanf)
        fuzz_vsscanf(rest);
    else
        fuzz_number(routine, rest);
    return 0;
}
