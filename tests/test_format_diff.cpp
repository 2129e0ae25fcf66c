// The buffer formatter against the host C library's snprintf: thousands of
// generated formats and arguments, every byte of the buffer and the result
// compared.  The generator stays inside the part of the language where the
// two are meant to agree (d, i, u, x, X, s, c and %% with the flags "-", "0"
// and "+", widths and precisions, literal or "*").  It leaves out exactly the
// points where this library differs on purpose:
//
//   1. "c" ignores the width (and so "-"): the host pads it.
//   2. A negative "*" width means no fill here; the host takes it as "-"
//      with the positive width.  (Negative "*" precisions mean "absent" in
//      both and are generated.)
//   3. A precision of 0 prints the value 0 as "0" here; the host prints
//      nothing for it.
//   4. A null "s" argument prints the first bytes of "(null)" here under any
//      precision; the host prints "(null)" only when the precision is absent
//      or at least 6, else nothing.  Null strings are generated only there.
//   5. "%%" with flags, width or precision is left out (the host's reading of
//      them is its own); plain "%%" is generated.
//   6. "l", "ll" and "z" are skipped here and every integer is one 32-bit
//      word; on the host they widen the argument.  They are generated in
//      the guest's format only and dropped from the host's.
//
// Not generated at all because they are outside the shared language: "p"
// (the host prints "(nil)" and applies flags and width), the space and "#"
// flags, unrecognised conversions, counts beyond 32 bits, and outputs longer
// than a signed 32-bit count.
#include "harness.h"

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

constexpr uint32_t kSeed = 20240605;
constexpr int kCases = 20000;
constexpr int kCasesPerReset = 200;
constexpr uint8_t kCanary = 0xEE;
constexpr uint32_t kGuard = 8;
constexpr size_t kMaxArgs = 16;

// One generated case: the two formats and the arguments, word for word.
struct Case {
    std::string guest_format, host_format;
    // A word, or a string (is_text); a null string is is_text with null_text.
    struct Arg {
        uint32_t word = 0;
        bool is_text = false, null_text = false;
        std::string text;
    };
    std::vector<Arg> args;
    uint32_t size = 0;
    bool null_buffer = false;
};

Case::Arg word_arg(uint32_t w)
{
    Case::Arg a;
    a.word = w;
    return a;
}

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) { }

    Case next()
    {
        Case c;
        const int pieces = 1 + pick(4);
        for (int i = 0; i < pieces; ++i) {
            if (pick(3) == 0)
                literal(c);
            else
                directive(c);
        }
        static const uint32_t sizes[] = {0, 1, 2, 3, 5, 6, 8, 13, 32, 400};
        c.size = sizes[pick(std::size(sizes))];
        c.null_buffer = c.size == 0 && pick(4) == 0;
        return c;
    }

private:
    uint32_t pick(size_t n) { return uint32_t(rng_() % n); }

    void both(Case& c, const std::string& s)
    {
        c.guest_format += s;
        c.host_format += s;
    }

    void literal(Case& c)
    {
        static const char chars[] = "abc XYZ09-+.*#\t\n|\x7f\x80\xff";
        const int n = 1 + pick(4);
        for (int i = 0; i < n; ++i)
            both(c, std::string(1, chars[pick(sizeof chars - 1)]));
    }

    int32_t integer_value()
    {
        switch (pick(8)) {
        case 0: return 0;
        case 1: return -1;
        case 2: return INT32_MIN;
        case 3: return INT32_MAX;
        case 4: return int32_t(pick(10));
        case 5: return -int32_t(pick(1000));
        default: return int32_t(rng_());
        }
    }

    std::string text_value()
    {
        static const char* pool[] = {"", "a", "hello", "hello, world", "\x80\xfe\xff", "0123456789abcdef"};
        return pool[pick(std::size(pool))];
    }

    // Flags: any mix of "-", "0" and "+", repeats included.
    std::string flags()
    {
        std::string f;
        for (int n = pick(4); n > 0; --n)
            f += "-0+"[pick(3)];
        return f;
    }

    void directive(Case& c)
    {
        static const char conversions[] = "diuxXsc%";
        const char conv = conversions[pick(sizeof conversions - 1)];
        if (conv == '%') { // (5)
            both(c, "%%");
            return;
        }
        std::string head = "%";
        head += flags();
        std::vector<Case::Arg> star_args;
        // Width: none, digits, or "*" with a value that is never negative (2).
        // "c" takes none (1).
        if (conv != 'c') {
            switch (pick(4)) {
            case 0: head += std::to_string(1 + pick(pick(5) == 0 ? 300 : 20)); break;
            case 1:
                head += "*";
                star_args.push_back(word_arg(pick(25)));
                break;
            default: break;
            }
        }
        // Precision: none, ".", ".digits", or ".*" with any value, negative included.
        int precision = -1;
        switch (pick(5)) {
        case 0:
            head += ".";
            precision = 0;
            break;
        case 1:
            precision = int(pick(pick(5) == 0 ? 200 : 12));
            head += '.';
            head += std::to_string(precision);
            break;
        case 2:
            precision = int(pick(30)) - 8;
            head += ".*";
            star_args.push_back(word_arg(uint32_t(precision)));
            break;
        default: break;
        }
        // Length modifier, in the guest's format only (6).
        static const char* lengths[] = {"", "", "", "l", "ll", "z"};
        const std::string length = lengths[pick(std::size(lengths))];
        head += length;
        c.guest_format += head;
        c.guest_format += conv;
        c.host_format += head.substr(0, head.size() - length.size());
        c.host_format += conv;
        c.args.insert(c.args.end(), star_args.begin(), star_args.end());

        Case::Arg value;
        if (conv == 's') {
            value.is_text = true;
            // (4): a null string only where both print "(null)" whole.
            value.null_text = (precision < 0 || precision >= 6) && pick(6) == 0;
            value.text = text_value();
        } else if (conv == 'c') {
            value.word = pick(3) == 0 ? pick(256) : uint32_t(integer_value());
        } else {
            value.word = uint32_t(integer_value());
            if (precision == 0 && value.word == 0) // (3)
                value.word = 1 + pick(100);
        }
        c.args.push_back(value);
    }

    std::mt19937 rng_;
};

std::string show(const std::string& bytes)
{
    std::string s;
    for (unsigned char b : bytes) {
        if (b >= 32 && b < 127 && b != '\\') {
            s += char(b);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            s += hex;
        }
    }
    return s;
}

// The host's answer for a case: the guarded buffer after the call, and the result.
std::pair<std::string, int> host_run(const Case& c)
{
    uintptr_t a[kMaxArgs] = {};
    for (size_t i = 0; i < c.args.size(); ++i) {
        const Case::Arg& arg = c.args[i];
        // Every argument travels in a 64-bit slot; an int or unsigned
        // conversion reads the slot's low 32 bits.
        if (arg.is_text)
            a[i] = arg.null_text ? 0 : reinterpret_cast<uintptr_t>(arg.text.c_str());
        else
            a[i] = arg.word;
    }
    std::string buf(c.size + 2 * kGuard, char(kCanary));
    char* dst = c.null_buffer ? nullptr : buf.data() + kGuard;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::snprintf(dst, c.size, c.host_format.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
        a[9], a[10], a[11], a[12], a[13], a[14], a[15]);
#pragma GCC diagnostic pop
    return {buf, n};
}

class FormatDiffTest : public GuestTest {
protected:
    std::pair<std::string, int> guest_run(const Case& c)
    {
        uint32_t buf = guest().alloc(c.size + 2 * kGuard, kCanary);
        std::vector<uint32_t> words = {c.null_buffer ? 0 : buf + kGuard, c.size, guest().put_string(c.guest_format)};
        for (const Case::Arg& arg : c.args)
            words.push_back(!arg.is_text ? arg.word : arg.null_text ? 0 : guest().put_string(arg.text));
        CallResult r = guest().call("snprintf", words);
        EXPECT_TRUE(r.returned()) << show(c.guest_format);
        auto bytes = guest().read(buf, c.size + 2 * kGuard);
        return {std::string(bytes.begin(), bytes.end()), r.value()};
    }
};

TEST_F(FormatDiffTest, AgreesWithTheHostSnprintfOnTheSharedLanguage)
{
    Generator gen(kSeed);
    int failures = 0, compared = 0;
    for (int i = 0; i < kCases && failures < 10; ++i) {
        if (i % kCasesPerReset == 0)
            guest().reset();
        const Case c = gen.next();
        ASSERT_LE(c.args.size(), kMaxArgs);
        auto [host_bytes, host_n] = host_run(c);
        auto [guest_bytes, guest_n] = guest_run(c);
        ++compared;
        if (host_bytes != guest_bytes || host_n != guest_n) {
            ++failures;
            ADD_FAILURE() << "case " << i << ": guest format '" << show(c.guest_format) << "', host format '"
                          << show(c.host_format) << "', size " << c.size << (c.null_buffer ? " (null buffer)" : "")
                          << "\n  host:  " << host_n << " '" << show(host_bytes) << "'\n  guest: " << guest_n << " '"
                          << show(guest_bytes) << "'";
        }
    }
    EXPECT_EQ(compared, kCases);
}

// The generator reaches every part of the shared language it claims to cover.
TEST(FormatDiffGenerator, CoversTheSharedLanguage)
{
    Generator gen(kSeed);
    std::string all;
    int cut = 0, null_buffers = 0;
    for (int i = 0; i < kCases; ++i) {
        Case c = gen.next();
        all += c.guest_format + "\n";
        auto [bytes, n] = host_run(c);
        cut += n >= 0 && uint32_t(n) >= c.size && c.size > 0;
        null_buffers += c.null_buffer;
    }
    for (const char* piece :
        {"%d", "%i", "%u", "%x", "%X", "%s", "%c", "%%", "%-", "%0", "%+", "*", ".*", "%l", "ll", "z", "%-0", "%+0"})
        EXPECT_NE(all.find(piece), std::string::npos) << piece;
    EXPECT_GT(cut, kCases / 10);
    EXPECT_GT(null_buffers, 10);
}

} // namespace
} // namespace vekos::test
