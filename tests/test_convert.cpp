// Text to numbers on the real i386 code: strtoul, strtol, atoi, atol,
// strtold and strtod.  Integer results and end cells are checked exactly;
// floating-point results bit for bit against the host's model of the same
// x87 operation sequence (x87_reference.h).
#include "harness.h"
#include "x87_reference.h"

#include <unicorn/unicorn.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

constexpr uint32_t kCanary = 0xCCCCCCCC;
constexpr uint32_t kTextRoom = 16384;
constexpr int64_t kNullEnd = -1;

// One text buffer and one end cell, rewritten for each call, so a test can
// make thousands of calls without running out of scratch memory.
class ConvertTest : public GuestTest {
protected:
    void SetUp() override
    {
        GuestTest::SetUp();
        text_ = guest().alloc(kTextRoom, 0xEE);
        cell_ = guest().alloc(4);
    }

    uint32_t place(const std::string& text)
    {
        if (text.size() + 1 > kTextRoom)
            throw std::length_error("test text too long");
        std::vector<uint8_t> bytes(text.begin(), text.end());
        bytes.push_back(0);
        guest().machine().memory().poke(text_, bytes);
        guest().write_u32(cell_, kCanary);
        return text_;
    }

    // The end cell as an offset into the text; kNullEnd for a null pointer.
    int64_t end_offset() { return guest_end() == 0 ? kNullEnd : int64_t(guest_end()) - int64_t(text_); }
    uint32_t guest_end() { return guest().read_u32(cell_); }

    CallResult integer(const char* function, const std::string& text, int base)
    {
        CallResult r = guest()(function, place(text), cell_, base);
        EXPECT_TRUE(r.returned()) << function << " '" << text << "'";
        return r;
    }

    long double extended(const char* function, const std::string& text)
    {
        CallResult r = guest()(function, place(text), cell_);
        EXPECT_TRUE(r.returned()) << function << " faulted on '" << text.substr(0, 80) << "'";
        pop_result();
        return r.st0;
    }

    // A caller pops the result off the x87 stack; the sentinel return does
    // not, and the emulator lets the stack wrap silently, so empty it here.
    void pop_result() { guest().machine().set_reg(UC_X86_REG_FPTAG, 0xFFFF); }

    uint32_t text_ = 0;
    uint32_t cell_ = 0;
};

std::string printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text.substr(0, 120)) {
        char esc[8];
        std::snprintf(esc, sizeof esc, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
        out += esc;
    }
    return text.size() > 120 ? out + "...(" + std::to_string(text.size()) + " bytes)" : out;
}

// ---- strtoul, strtol, atoi and atol -----------------------------------------

struct IntegerRow {
    std::string text;
    int base;
    uint32_t value;
    int64_t end; // offset of the end position
};

TEST_F(ConvertTest, StrtoulAndStrtolReadBasesPrefixesAndStopExactly)
{
    const IntegerRow rows[] = {
        {"  0x1A", 0, 26, 6},
        {"0x", 16, 0, 2},
        {"0X", 0, 0, 2},
        {"0x", 0, 0, 2},
        {"0xg", 16, 0, 2},
        {"0", 0, 0, 1},
        {"019", 0, 1, 2},
        {"08", 0, 0, 1},
        {"0777", 0, 511, 4},
        {"777", 8, 511, 3},
        {"1010", 2, 10, 4},
        {"fF", 36, 555, 2},
        {"zz", 36, 0, 0},
        {"fg", 36, 15, 1},
        {"-5", 10, 0, 0},
        {"+5", 10, 0, 0},
        {"-5", 0, 0, 0},
        {"4294967296", 10, 0, 10},
        {"4294967295", 10, 0xFFFFFFFF, 10},
        {"4294967297", 10, 1, 10},
        {"99999999999", 10, uint32_t(99999999999ull), 11},
        {"ffffffff", 16, 0xFFFFFFFF, 8},
        {"0x100000001", 16, 1, 11},
        {"0x1f", 10, 0, 1},
        {"0x1f", 8, 0, 1},
        {"1f", 16, 31, 2},
        {"123abc", 10, 123, 3},
        {"abc", 10, 0, 0},
        {"ABC", 16, 2748, 3},
        {"\v7", 10, 0, 0},
        {"\f7", 10, 0, 0},
        {"\r7", 10, 7, 2},
        {"\t\n\r 7", 10, 7, 5},
        {"   ", 10, 0, 3},
        {"", 10, 0, 0},
        {"  x", 0, 0, 2},
        {"0101", 1, 0, 1},
        {"1", 1, 0, 0},
        {"5", -1, 0, 0},
        {"5", -16, 0, 0},
        {"0x10", -16, 0, 0},
        {"10", 17, 17, 2},
        {"0x10", 17, 0, 1},
        {"9", 9, 0, 0},
        {"89", 9, 8, 1},
        {" \xb0"
         "5",
            10, 0, 1},
        {"0x\xff", 0, 0, 2},
        {"1 2", 10, 1, 1},
        {"00x5", 0, 0, 2},
    };
    for (const auto& row : rows)
        for (const char* function : {"strtoul", "strtol"}) {
            EXPECT_EQ(integer(function, row.text, row.base).eax, row.value)
                << function << " '" << printable(row.text) << "' base " << row.base;
            EXPECT_EQ(end_offset(), row.end) << function << " '" << printable(row.text) << "' base " << row.base;
        }
    EXPECT_EQ(integer("strtol", "ffffffff", 16).value(), -1);
    EXPECT_EQ(integer("strtol", "2147483648", 10).value(), INT32_MIN);
}

TEST_F(ConvertTest, NullTextOrEndCellGivesZeroAndWritesOnlyTheEndCell)
{
    uint32_t text = place("  42z");
    for (const char* function : {"strtoul", "strtol"}) {
        EXPECT_EQ(guest()(function, text, 0, 10).eax, 42u) << function; // no end cell: nothing written
        EXPECT_EQ(guest_end(), kCanary) << function;
        EXPECT_EQ(guest()(function, 0, cell_, 10).eax, 0u) << function;
        EXPECT_EQ(guest_end(), 0u) << function;
        EXPECT_TRUE(guest()(function, 0, 0, 0).returned()) << function;
        guest().write_u32(cell_, kCanary);
    }
    for (const char* function : {"strtold", "strtod"}) {
        guest().write_u32(cell_, kCanary);
        CallResult r = guest()(function, 0, cell_);
        ASSERT_TRUE(r.returned());
        pop_result();
        EXPECT_TRUE(same_bits(r.st0, 0.0L)) << function << " gave " << x87_bits(r.st0);
        EXPECT_EQ(guest_end(), 0u) << function;
        EXPECT_TRUE(guest()(function, 0, 0).returned()) << function;
        pop_result();
    }
    for (const char* function : {"atoi", "atol"})
        EXPECT_EQ(guest()(function, 0).eax, 0u) << function;
}

TEST_F(ConvertTest, AtoiTakesSignAndDecimalOnly)
{
    const struct {
        std::string text;
        int32_t value;
    } rows[] = {
        {"  -42abc", -42},
        {"+-1", 0},
        {"- 1", 0},
        {"\r5", 0},
        {"0x10", 0},
        {"010", 10},
        {"2147483648", INT32_MIN},
        {"-2147483648", INT32_MIN},
        {"4294967296", 0},
        {"4294967295", -1},
        {"-4294967295", 1},
        {" -9", -9},
        {"\t\n 7", 7},
        {"\v7", 0},
        {"\f7", 0},
        {"+7", 7},
        {"-", 0},
        {"+", 0},
        {"", 0},
        {"--5", 0},
        {"12 34", 12},
        {"-0", 0},
        {"99999999999", int32_t(uint32_t(99999999999ull))},
    };
    for (const auto& row : rows)
        for (const char* function : {"atoi", "atol"}) {
            CallResult r = guest()(function, place(row.text));
            ASSERT_TRUE(r.returned());
            EXPECT_EQ(r.value(), row.value) << function << " '" << printable(row.text) << "'";
        }
}

// Every byte value before "7": which ones each family skips.
TEST_F(ConvertTest, EachFamilySkipsExactlyItsOwnBlanks)
{
    const std::string not_blank_candidates = "0123456789abcdefABCDEF+-.xX";
    for (int b = 1; b < 256; ++b) {
        if (not_blank_candidates.find(char(b)) != std::string::npos)
            continue;
        std::string text = std::string(1, char(b)) + "7";
        bool atoi_blank = b == 9 || b == 10 || b == 32, strtoul_blank = atoi_blank || b == 13;
        bool float_blank = (b >= 9 && b <= 13) || b == 32;
        EXPECT_EQ(integer("strtoul", text, 10).eax, strtoul_blank ? 7u : 0u) << "strtoul, byte " << b;
        EXPECT_EQ(end_offset(), strtoul_blank ? 2 : 0) << "strtoul, byte " << b;
        EXPECT_EQ(guest()("atoi", place(text)).value(), atoi_blank ? 7 : 0) << "atoi, byte " << b;
        EXPECT_TRUE(same_bits(extended("strtold", text), float_blank ? 7.0L : 0.0L)) << "strtold, byte " << b;
        EXPECT_EQ(end_offset(), float_blank ? 2 : 0) << "strtold, byte " << b;
    }
}

// ---- strtold ------------------------------------------------------------------

struct FloatRow {
    std::string text;
    long double value;
    int64_t end;
    bool exact = true; // value is the exact result; otherwise only the model decides
};

TEST_F(ConvertTest, StrtoldExamples)
{
    const FloatRow rows[] = {
        {"1.5e3x", 1500.0L, 5},
        {"5.", 5.0L, 2},
        {".5", 0.5L, 2},
        {"-.5e-1", -0.05L, 6, false},
        {"5.e3", 5000.0L, 4},
        {"12e3.4", 12000.0L, 4},
        {"00x5", 0.0L, 2},
        {"1e", 1.0L, 1},
        {"1e+", 1.0L, 1},
        {"1E-", 1.0L, 1},
        {"1ex", 1.0L, 1},
        {"0x1p", 1.0L, 3},
        {"0x1p+", 1.0L, 3},
        {"0x1P-", 1.0L, 3},
        {"0x1.8p1", 3.0L, 7},
        {"0x.8", 0.5L, 4},
        {"0X1P-2", 0.25L, 6},
        {"0xA.8", 10.5L, 5},
        {"0xa.8", 10.5L, 5},
        {"0x1.", 1.0L, 4},
        {"0x", 0.0L, 0},
        {"0xg", 0.0L, 0},
        {"0x.", 0.0L, 0},
        {"0xp1", 0.0L, 0},
        {"0x.p1", 0.0L, 0},
        {"-0x", 0.0L, 0},
        {"  -0x.g", 0.0L, 0},
        {"0x1e3", 483.0L, 5},
        {"0x1p3e", 8.0L, 5},
        {"1p3", 1.0L, 1},
        {"0x10", 16.0L, 4},
        {".", 0.0L, 0},
        {"inf", 0.0L, 0},
        {"nan", 0.0L, 0},
        {"+-1", 0.0L, 0},
        {"- 1", 0.0L, 0},
        {"-.", 0.0L, 0},
        {"  \v\f+7", 7.0L, 6},
        {"\t\n\v\f\r 7", 7.0L, 7},
        {"1.25", 1.25L, 4},
        {"0.1", 0.1L, 3, false},
        {"1e1", 10.0L, 3},
        {"1e-1", 0.1L, 4, false},
        {"123.456e2", 12345.6L, 9, false},
        {"1e0", 1.0L, 3},
        {"1e-0", 1.0L, 4},
        {"1e+0", 1.0L, 4},
        {"25E00000000000000000002", 2500.0L, 23},
        {"1e5000", 0.0L, 6, false},
        {"1e-5000", 0.0L, 7, false},
        {"0x1p5000", 0x1p1024L, 8},
        {"0x1p-5000", 0x1p-1024L, 9},
        {"0x1p99999999999999999999", 0x1p1024L, 24},
        {"0x.01p4", 0.0625L, 7},
        {"0xFFFFFFFFFFFFFFFF", 18446744073709551615.0L, 18},
        {"18446744073709551615", 18446744073709551615.0L, 20},
        {"18446744073709551617", 0.0L, 20, false},
        {"5..", 5.0L, 2},
        {"5.5.5", 5.5L, 3},
        {"+.5", 0.5L, 3},
        {"1e1e1", 10.0L, 3},
        {"0e99999", 0.0L, 7},
    };
    for (const auto& row : rows) {
        long double v = extended("strtold", row.text);
        ReferenceConversion model = reference_strtold(row.text);
        EXPECT_EQ(end_offset(), row.end) << "'" << row.text << "'";
        EXPECT_EQ(int64_t(model.end), row.end) << "model of '" << row.text << "'";
        EXPECT_TRUE(same_bits(v, model.value))
            << "'" << row.text << "': guest " << x87_bits(v) << ", model " << x87_bits(model.value);
        if (row.exact)
            EXPECT_TRUE(same_bits(v, row.value))
                << "'" << row.text << "': " << x87_bits(v) << ", expected " << x87_bits(row.value);
        else
            EXPECT_EQ(std::signbit(v), std::signbit(row.value)) << "'" << row.text << "'";
    }
}

TEST_F(ConvertTest, StrtoldScalesAtMostATenTo1024)
{
    long double big = extended("strtold", "1e5000");
    EXPECT_TRUE(same_bits(big, extended("strtold", "1e1024"))) << x87_bits(big);
    EXPECT_TRUE(same_bits(big, extended("strtold", "1e4097")));
    EXPECT_TRUE(big > 1e1023L && big < 1e1025L) << x87_bits(big);
    long double small = extended("strtold", "1e-99999999999999999");
    EXPECT_TRUE(same_bits(small, extended("strtold", "1e-1024")));
    EXPECT_TRUE(small > 0.0L && small < 1e-1023L) << x87_bits(small);
}

TEST_F(ConvertTest, StrtoldNegativeZeroAndInfinities)
{
    for (const char* text : {"-0", "-0.0", "-.0e5", "-0x0", "-0x0.0p-9", "-0e-5000", "  -000"})
        EXPECT_TRUE(same_bits(extended("strtold", text), -0.0L)) << text;
    for (const char* text : {"0", "+0", "0x0", ".0", "-x", "-"})
        EXPECT_TRUE(same_bits(extended("strtold", text), 0.0L)) << text;
    // Overflow through the arithmetic: a long digit string, then more scaling.
    std::string huge = "1" + std::string(4940, '0');
    EXPECT_TRUE(same_bits(extended("strtold", huge), HUGE_VALL));
    EXPECT_EQ(end_offset(), int64_t(huge.size()));
    EXPECT_TRUE(same_bits(extended("strtold", "-1" + std::string(3910, '0') + "e1024"), -HUGE_VALL));
    EXPECT_TRUE(same_bits(extended("strtold", "0x" + std::string(4097, 'f') + ".8p-3"), HUGE_VALL));
    EXPECT_TRUE(std::isinf(extended("strtold", huge + ".5e-1000"))); // infinity divided by ten
}

// ---- Fractions of more than 1024 digits (mended) -------------------------------

// Digits past the 1024th are read over (the end lies after them) but no longer enter the value.
TEST_F(ConvertTest, LongDecimalFractionDropsDigitsPastThe1024th)
{
    const std::string kept = "0." + std::string(1024, '3');
    long double base = extended("strtold", kept);
    EXPECT_EQ(end_offset(), int64_t(kept.size()));
    EXPECT_TRUE(base > 0.333333L && base < 0.333334L) << x87_bits(base);
    const long double want = extended("strtold", kept + "e2");
    for (size_t extra : {1u, 7u, 1000u, 5000u}) {
        std::string text = kept + std::string(extra, '9') + "e2";
        long double v = extended("strtold", text);
        EXPECT_EQ(end_offset(), int64_t(text.size())) << extra;
        EXPECT_TRUE(same_bits(v, want)) << extra << ": " << x87_bits(v) << " vs " << x87_bits(want);
        EXPECT_LT(v, 34.0L) << extra;
    }
    // With an integer part the cut is still at the 1024th fraction digit.
    long double m = extended("strtold", "12." + std::string(1100, '5'));
    EXPECT_TRUE(same_bits(m, extended("strtold", "12." + std::string(1024, '5'))));
    EXPECT_LT(m, 13.0L);
}

TEST_F(ConvertTest, LongHexadecimalFractionDropsDigitsPastThe1024th)
{
    const std::string kept = "0x0." + std::string(1024, 'f');
    EXPECT_TRUE(same_bits(extended("strtold", kept), 1.0L)); // rounds up to exactly 1
    for (size_t extra : {1u, 3000u}) {
        std::string text = kept + std::string(extra, 'F') + "p-1";
        long double v = extended("strtold", text);
        EXPECT_EQ(end_offset(), int64_t(text.size())) << extra;
        EXPECT_TRUE(same_bits(v, 0.5L)) << extra << ": " << x87_bits(v);
    }
    EXPECT_TRUE(same_bits(extended("strtold", "0x1." + std::string(2000, '0') + "1"), 1.0L));
}

TEST_F(ConvertTest, LongFractionWorkStaysBounded)
{
    auto cost = [&](size_t digits) {
        extended("strtold", "0." + std::string(digits, '7'));
        return guest().machine().instructions_executed();
    };
    uint64_t at_512 = cost(512), at_1024 = cost(1024), at_5120 = cost(5120);
    // A kept digit costs x87 arithmetic; a dropped one only the few instructions that skip it.
    double kept = double(at_1024 - at_512) / 512, dropped = double(at_5120 - at_1024) / 4096;
    EXPECT_LT(dropped * 2, kept) << "kept " << kept << ", dropped " << dropped << " instructions a digit";
}

// ---- generated inputs, bit for bit ----------------------------------------------

// VEKOS_CONVERT_SAMPLES=N multiplies the generated inputs, for a longer hunt.
int sample_factor()
{
    const char* env = std::getenv("VEKOS_CONVERT_SAMPLES");
    int n = env ? std::atoi(env) : 1;
    return n > 0 ? n : 1;
}

class TextMaker {
public:
    explicit TextMaker(uint32_t seed) : rng_(seed) { }

    int below(int n) { return int(rng_() % uint32_t(n)); }
    bool chance(int percent) { return below(100) < percent; }
    char either(char a, char b) { return chance(50) ? a : b; }

    std::string digits(int n, bool hex)
    {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += hex ? "0123456789abcdefABCDEF"[below(22)] : "0123456789"[below(10)];
        return s;
    }

    int length()
    {
        switch (below(10)) {
        case 0: return 0;
        case 1: return 1 + below(3);
        case 2: return 17 + below(5); // around the 64-bit significand
        case 3: return 30 + below(60);
        default: return 1 + below(20);
        }
    }

    std::string exponent_digits()
    {
        switch (below(8)) {
        case 0: return std::to_string(below(5000) + 1);
        case 1: return std::string(below(5) + 1, '0') + std::to_string(below(100));
        case 2: return std::to_string(4090 + below(12));
        case 3: return std::to_string(1020 + below(10));
        case 4: return digits(12 + below(10), false);
        default: return std::to_string(below(400));
        }
    }

    std::string prefix()
    {
        std::string s;
        if (chance(15))
            for (int i = below(3) + 1; i > 0; --i)
                s += " \t\n\v\f\r"[below(6)];
        if (chance(30))
            s += either('-', '+');
        return s;
    }

    std::string tail()
    {
        static const char* tails[] = {"", "", "", "x", " 1", ".", "e", "e+", "p", "p-", "-", "g", "E5", "P3"};
        return tails[below(14)];
    }

    // Sign, digits, point, digits, and maybe an exponent with its own sign.
    std::string number(bool hex)
    {
        std::string s = prefix() + (hex ? (chance(50) ? "0x" : "0X") : "");
        int whole = length(), fraction = length();
        if (chance(3))
            fraction = 1000 + below(1100);
        s += digits(whole, hex);
        if (fraction > 0 || chance(hex ? 30 : 40))
            s += '.';
        s += digits(fraction, hex);
        if (!hex && whole == 0 && fraction == 0)
            s += digits(1, false);
        if (chance(hex ? 70 : 60)) {
            s += hex ? either('p', 'P') : either('e', 'E');
            if (chance(60))
                s += either('-', '+');
            s += hex && chance(30) ? std::to_string(16000 + below(1000)) : exponent_digits();
        }
        return s + tail();
    }

    std::string any() { return number(!chance(65)); }

private:
    std::mt19937 rng_;
};

TEST_F(ConvertTest, StrtoldMatchesTheModelBitForBit)
{
    TextMaker maker(20240611);
    int mismatches = 0, checked = 0;
    for (int i = 0; i < 6000 * sample_factor(); ++i, ++checked) {
        std::string text = maker.any();
        long double v = extended("strtold", text);
        ReferenceConversion model = reference_strtold(text);
        if (!(same_bits(v, model.value) && end_offset() == int64_t(model.end)) && ++mismatches <= 10)
            ADD_FAILURE() << "'" << printable(text) << "': guest " << x87_bits(v) << " end " << end_offset()
                          << ", model " << x87_bits(model.value) << " end " << model.end;
    }
    EXPECT_EQ(mismatches, 0) << "of " << checked;
}

// ---- strtod -------------------------------------------------------------------------

TEST_F(ConvertTest, StrtodNarrowsToDouble)
{
    const struct {
        std::string text;
        double value;
        int64_t end;
    } rows[] = {
        {"1e400", HUGE_VAL, 5},
        {"-1e400", -HUGE_VAL, 6},
        {"1e-400", 0.0, 6},
        {"0x1p-1074", std::ldexp(1.0, -1024), 9}, // the halving stops after 1024 steps
        {"0x1p-1024", std::ldexp(1.0, -1024), 9},
        {"0x1p-1023", std::ldexp(1.0, -1023), 9},
        {"0x1p-1022", std::ldexp(1.0, -1022), 9},
        {"0x1.8p1", 3.0, 7},
        {"1.5e3x", 1500.0, 5},
        {"0x1.fffffffffffff8p1023", HUGE_VAL, 23}, // rounds up past the largest double
        {"0x1.fffffffffffff7p1023", 0x1.fffffffffffffp1023, 23},
        {"0x1.00000000000008p0", 1.0, 20}, // a tie goes to even
        {"0x1.00000000000018p0", 0x1.0000000000002p0, 20},
        {"inf", 0.0, 0},
        {"   -0", -0.0, 5},
        {"0x1p1024", HUGE_VAL, 8}, // normal in the extended format but beyond double range
        // The smallest subnormal double; below half of it rounds to zero.
        {"4.9406564584124654e-324", std::ldexp(1.0, -1074), 23},
        {"2e-324", 0.0, 6},
    };
    for (const auto& row : rows) {
        long double v = extended("strtod", row.text);
        EXPECT_EQ(end_offset(), row.end) << row.text;
        EXPECT_TRUE(same_bits(v, (long double)row.value)) << row.text << ": " << x87_bits(v);
    }
    long double sub = extended("strtod", "1e-310");
    EXPECT_TRUE(sub > 0.0L && sub < std::ldexp(1.0L, -1022)) << x87_bits(sub);
    volatile double narrowed = double(reference_strtold("1e-310").value);
    EXPECT_TRUE(same_bits(sub, (long double)narrowed));
}

TEST_F(ConvertTest, StrtodMatchesTheModelNarrowedBitForBit)
{
    TextMaker maker(77);
    int mismatches = 0;
    for (int i = 0; i < 2000 * sample_factor(); ++i) {
        std::string text;
        if (i % 2 == 0) { // around the bottom and the top of the double range
            text = maker.digits(1 + maker.below(20), false) + '.';
            text += maker.digits(maker.below(20), false);
            bool low = maker.chance(70);
            text += (low ? "e-" : "e") + std::to_string(low ? 300 + maker.below(40) : 290 + maker.below(30));
        } else if (i % 4 == 1) {
            text = "0x1." + maker.digits(maker.below(16), true) + "p-" + std::to_string(1015 + maker.below(10));
        } else {
            text = maker.any();
        }
        long double v = extended("strtod", text);
        ReferenceConversion model = reference_strtold(text);
        volatile double narrowed = double(model.value);
        long double want = narrowed;
        if (!(same_bits(v, want) && end_offset() == int64_t(model.end)) && ++mismatches <= 10)
            ADD_FAILURE() << "'" << printable(text) << "': guest " << x87_bits(v) << ", model " << x87_bits(want);
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(ConvertTest, StrtoldDoesNotChangeTheControlWord)
{
    uint16_t before = guest().machine().fpu_control_word();
    extended("strtold", "123.456e-7");
    extended("strtod", "0x1.8p-3");
    EXPECT_EQ(guest().machine().fpu_control_word(), before);
    EXPECT_EQ(before, 0x037F);
}

} // namespace
} // namespace vekos::test
