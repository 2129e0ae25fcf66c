// libFuzzer target: arbitrary formats and argument words through both
// formatters in the emulator.  Neither may fault or run away, vsnprintf may
// not touch a byte outside its buffer and must cut consistently, and on the
// part of the language the two share they must give the same bytes.
//
// Input: byte 0 picks the buffer size (and a null buffer), bytes 1 to 32 are
// eight argument words, the rest is the format.
#include "cpu/layout.h"
#include "library_session.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace vekos;

constexpr size_t kWords = 8;
constexpr size_t kMaxFormat = 256;
constexpr uint32_t kGuard = 16;
constexpr uint8_t kCanary = 0xEE;
constexpr uint32_t kLargeSize = 8192;
// Widths and precisions the stream formatter is run with: each fill byte is
// a call of its own, so larger ones would only cost time.
constexpr unsigned kStreamCountLimit = 512;
constexpr int32_t kStreamStarRange = 97;
constexpr uint64_t kBufferInstructionLimit = 5'000'000;
constexpr uint64_t kStreamInstructionLimit = 100'000'000;

// Guest memory the driver lays out in the scratch region.
constexpr uint32_t kFormatAddr = kScratchBase;           // the format
constexpr uint32_t kArgsAddr = kScratchBase + 0x1000;    // the argument words
constexpr uint32_t kCellsAddr = kScratchBase + 0x8000;   // open_memstream's two cells
constexpr uint32_t kBufferAddr = kScratchBase + 0x10000; // guarded buffers
constexpr uint32_t kPoolSize = 256;
// Strings for "s" arguments: the last bytes of the mapping, so a read past
// a terminator would fault.
constexpr uint32_t kPoolAddr = kScratchBase + kScratchSize - kPoolSize;

[[noreturn]] void fail(const std::string& what, const std::string& format)
{
    std::fprintf(stderr, "fuzz_format: %s\n  format: ", what.c_str());
    for (unsigned char c : format)
        std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// What a directive takes from the argument list, in order.
enum class Role { Count, Text, Word, Wide };

// Walks the format the way one formatter reads it, noting the arguments it
// takes, the largest literal count, and whether the directive lies in the
// language both formatters share.
struct Reading {
    std::vector<Role> roles;
    unsigned largest_count = 0;
    bool shared = true;
};

const char* read_count(const char* p, unsigned& largest)
{
    unsigned v = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        v = v > 100000 ? v : v * 10 + unsigned(*p - '0');
    largest = std::max(largest, v);
    return p;
}

Reading read_format(const std::string& format, bool stream)
{
    Reading r;
    const char* p = format.c_str();
    while (*p) {
        if (*p++ != '%')
            continue;
        // "-", "+" and "0" are flags to one formatter and not to the other.
        if (*p == '-' || *p == '+' || *p == '0')
            r.shared = false;
        if (!stream)
            while (*p == '-' || *p == '+' || *p == '0')
                ++p;
        bool counted = false;
        if (*p == '*') {
            r.roles.push_back(Role::Count);
            counted = true;
            ++p;
        } else {
            counted = *p >= '0' && *p <= '9';
            p = read_count(p, r.largest_count);
        }
        if (*p == '.') {
            counted = true;
            if (*++p == '*') {
                r.roles.push_back(Role::Count);
                ++p;
            } else {
                p = read_count(p, r.largest_count);
            }
        }
        bool wide = false;
        if (*p == 'l') {
            wide = p[1] == 'l';
            p += wide ? 2 : 1;
        } else if (*p == 'z' && !stream) {
            r.shared = false;
            ++p;
        }
        const char conv = *p;
        if (!conv)
            break;
        ++p;
        const bool integer = conv == 'd' || conv == 'i' || conv == 'u' || conv == 'x' || conv == 'p';
        if (conv == 'X' || (integer && wide) || (conv == 'p' && counted))
            r.shared = false;
        if (conv == 's')
            r.roles.push_back(Role::Text);
        else if (integer && wide && stream)
            r.roles.push_back(Role::Wide);
        else if (integer || conv == 'c' || (conv == 'X' && !stream))
            r.roles.push_back(Role::Word);
    }
    return r;
}

class Driver {
public:
    Driver() : session_(VEKOS_TEST_IMAGE, options()), machine_(&session_.machine()) { }

    static SessionOptions options()
    {
        SessionOptions o;
        o.kernel.fast_clock = true;
        o.machine.scratch = true;
        o.machine.fixed_tsc = true;
        o.machine.max_instructions = kStreamInstructionLimit;
        return o;
    }

    void run(const uint8_t* data, size_t size)
    {
        if (size < 1 + 4 * kWords)
            return;
        const uint32_t buf_size = data[0] % 48;
        const bool null_buffer = data[0] >= 0xF0;
        uint32_t words[kWords];
        std::memcpy(words, data + 1, sizeof words);
        std::string format(reinterpret_cast<const char*>(data + 1 + sizeof words), size - 1 - sizeof words);
        format = format.substr(0, std::min(std::strlen(format.c_str()), kMaxFormat));

        fresh(format);
        const Reading as_buffer = read_format(format, false);
        const Reading as_stream = read_format(format, true);

        // The buffer formatter with the words as they come, huge counts included.
        const std::vector<uint32_t> raw = arguments(as_buffer.roles, words, false);
        const auto [full_n, full] = buffer_run(raw, kLargeSize, false, format);
        const auto [cut_n, cut] = buffer_run(raw, buf_size, null_buffer, format);
        if (full_n < 0 || cut_n != full_n)
            fail("vsnprintf results " + std::to_string(full_n) + " and " + std::to_string(cut_n), format);
        if (uint32_t(full_n) < kLargeSize) {
            const std::string out = full.substr(0, size_t(full_n));
            const std::string want
                = null_buffer || buf_size == 0 ? "" : out.substr(0, std::min<size_t>(out.size(), buf_size - 1)) + '\0';
            if (cut != want)
                fail("a cut output is not the start of the whole one", format);
        }

        if (as_stream.largest_count > kStreamCountLimit)
            return;
        const std::vector<uint32_t> tame = arguments(as_stream.roles, words, true);
        const auto [stream_n, written] = stream_run(tame, format);
        if (stream_n < 0)
            return; // only a heap that ran out refuses a memory stream
        if (written.size() != size_t(stream_n))
            fail("vfprintf answered " + std::to_string(stream_n) + " for " + std::to_string(written.size()) + " bytes",
                format);
        if (!as_buffer.shared || !as_stream.shared)
            return;
        const auto [same_n, same] = buffer_run(tame, kLargeSize, false, format);
        if (same_n != stream_n || same.substr(0, size_t(same_n)) != written)
            fail("the formatters disagree: '" + same.substr(0, size_t(std::max(same_n, 0))) + "' and '" + written + "'",
                format);
    }

private:
    void fresh(const std::string& format)
    {
        session_.reset();
        std::vector<uint8_t> f(format.begin(), format.end());
        f.push_back(0);
        poke(kFormatAddr, f);
        // Short strings back to back, so that most pointers into the pool
        // find a string of a few bytes; the last byte of the mapping ends
        // the last one.
        static const uint32_t lengths[] = {0, 1, 2, 3, 4, 5, 7, 10, 16};
        std::vector<uint8_t> pool(kPoolSize);
        for (uint32_t i = 0, k = 0; i < kPoolSize; ++k) {
            for (uint32_t j = 0; j < lengths[k % std::size(lengths)] && i < kPoolSize; ++j, ++i)
                pool[i] = uint8_t('a' + (i + k) % 26);
            if (i < kPoolSize)
                pool[i++] = 0;
        }
        pool.back() = 0;
        poke(kPoolAddr, pool);
    }

    void poke(uint32_t addr, const std::vector<uint8_t>& bytes)
    {
        if (!machine_->memory().poke(addr, bytes))
            fail("scratch memory not mapped", "");
    }

    // One word per argument taken, the eight input words over and over.
    // Strings point into the pool or below the guard page; under `tame`
    // "*" counts stay small.
    std::vector<uint32_t> arguments(const std::vector<Role>& roles, const uint32_t* words, bool tame)
    {
        std::vector<uint32_t> out;
        size_t next = 0;
        auto take = [&] { return words[next++ % kWords]; };
        for (Role role : roles) {
            const uint32_t w = take();
            switch (role) {
            case Role::Count: out.push_back(tame ? uint32_t(int32_t(w) % kStreamStarRange) : w); break;
            case Role::Text: out.push_back(w < 4096 ? w : kPoolAddr + w % kPoolSize); break;
            case Role::Word: out.push_back(w); break;
            case Role::Wide:
                out.push_back(w);
                out.push_back(take());
                break;
            }
        }
        return out;
    }

    uint32_t place_arguments(const std::vector<uint32_t>& args)
    {
        std::vector<uint8_t> bytes(4 * args.size() + 4);
        std::memcpy(bytes.data(), args.data(), 4 * args.size());
        poke(kArgsAddr, bytes);
        return kArgsAddr;
    }

    Stop call(const char* name, std::vector<uint32_t> args, uint64_t limit, const std::string& format)
    {
        auto symbol = session_.image().symbol(name);
        if (!symbol)
            fail(std::string("no symbol ") + name, format);
        machine_->set_instruction_limit(limit);
        Stop stop = machine_->call(symbol->value, args);
        if (stop.why != Stop::Why::Returned)
            fail(std::string(name) + " did not return: "
                    + (stop.fault ? stop.fault->message() : std::string("instruction limit or exit")),
                format);
        return stop;
    }

    int32_t eax() { return int32_t(machine_->reg(UC_X86_REG_EAX)); }

    // vsnprintf into a guarded buffer: the result and the buffer's bytes; the
    // canaries on both sides must be untouched.
    std::pair<int32_t, std::string> buffer_run(
        const std::vector<uint32_t>& args, uint32_t size, bool null_buffer, const std::string& format)
    {
        std::vector<uint8_t> guarded(size + 2 * kGuard, kCanary);
        poke(kBufferAddr, guarded);
        const uint32_t buf = null_buffer ? 0 : kBufferAddr + kGuard;
        call("vsnprintf", {buf, size, kFormatAddr, place_arguments(args)}, kBufferInstructionLimit, format);
        const int32_t n = eax();
        if (!machine_->memory().peek(kBufferAddr, guarded))
            fail("buffer not readable", format);
        for (uint32_t i = 0; i < guarded.size(); ++i) {
            const bool inside = !null_buffer && i >= kGuard && i < kGuard + size;
            if (!inside && guarded[i] != kCanary)
                fail("vsnprintf wrote outside its buffer of " + std::to_string(size) + " bytes", format);
        }
        // Bytes stored: up to and including the terminator; the rest must be untouched.
        std::string stored;
        if (!null_buffer && size > 0) {
            const uint32_t end = std::min<uint32_t>(uint32_t(n), size - 1);
            stored.assign(guarded.begin() + kGuard, guarded.begin() + kGuard + end + 1);
            if (stored.back() != 0)
                fail("no terminator", format);
            for (uint32_t i = kGuard + end + 1; i < kGuard + size; ++i)
                if (guarded[i] != kCanary)
                    fail("vsnprintf wrote past its terminator", format);
        }
        return {n, stored};
    }

    // vfprintf onto a memory stream: the result and the bytes the stream holds.
    std::pair<int32_t, std::string> stream_run(const std::vector<uint32_t>& args, const std::string& format)
    {
        call("open_memstream", {kCellsAddr, kCellsAddr + 4}, kBufferInstructionLimit, format);
        const uint32_t stream = uint32_t(eax());
        if (stream == 0)
            fail("open_memstream failed", format);
        call("vfprintf", {stream, kFormatAddr, place_arguments(args)}, kStreamInstructionLimit, format);
        const int32_t n = eax();
        uint8_t cells[8];
        machine_->memory().peek(kCellsAddr, cells);
        uint32_t data, len;
        std::memcpy(&data, cells, 4);
        std::memcpy(&len, cells + 4, 4);
        std::vector<uint8_t> bytes(len);
        if (data && !machine_->memory().peek(data, bytes))
            fail("memory stream buffer not readable", format);
        return {n, std::string(bytes.begin(), bytes.end())};
    }

    Session session_;
    Machine* machine_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Driver driver;
    driver.run(data, size);
    return 0;
}
