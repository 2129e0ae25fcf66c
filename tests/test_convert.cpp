// Text to numbers on the real i386 code: strtoul, strtol, atoi, atol, strtold
// and strtod.  Integer results and end positions exactly, with canaries around
// the end cell and the text checked unchanged; floating-point results bit for
// bit against the host's model of the same x87 operations (x87_reference.h).
#include "harness.h"
#include "x87_reference.h"

#include <cmath>
#include <tuple>

namespace vekos::test {
namespace {

constexpr uint32_t kRoom = 16384, kCanaryWord = 0xCCCCCCCC;
constexpr int64_t kNullEnd = -1, kUntouched = -2;
constexpr long double kModel = NAN; // no exact value given: the model alone decides

std::string rep(size_t n, char c) { return std::string(n, c); }

// Long texts shown by their start.
std::string printable(const std::string& text) { return testing::PrintToString(text.substr(0, 100)); }

// One text area and one end cell between canaries, reused by every call.
class ConvertTest : public GuestTest {
protected:
    void SetUp() override
    {
        GuestTest::SetUp();
        text_ = guest().alloc(kRoom, 0xEE);
        cell_ = guest().alloc(12, 0xCC) + 4;
    }
    uint32_t place(const std::string& text)
    {
        placed_.assign(text.begin(), text.end());
        placed_.push_back(0);
        guest().machine().memory().poke(text_, placed_);
        guest().write_u32(cell_, kCanaryWord);
        return text_;
    }
    // Where the end cell points, as an offset into the text; the text and the
    // bytes around the cell must be unchanged.
    int64_t end()
    {
        EXPECT_EQ(guest().read(text_, uint32_t(placed_.size())), placed_) << "the text was written";
        EXPECT_EQ(guest().read_u32(cell_ - 4), kCanaryWord) << "the canary before the end cell";
        EXPECT_EQ(guest().read_u32(cell_ + 4), kCanaryWord) << "the canary after the end cell";
        const uint32_t e = guest().read_u32(cell_);
        return e == 0 ? kNullEnd : e == kCanaryWord ? kUntouched : int64_t(e) - int64_t(text_);
    }
    CallResult call(const char* function, const std::string& text, int base = 0)
    {
        CallResult r = guest()(function, place(text), cell_, base);
        EXPECT_TRUE(r.returned()) << function << " " << printable(text);
        return r;
    }
    // strtold and strtod against the model (strtod: the model narrowed), value
    // and end; answers the two results.
    std::vector<long double> expect_model(const std::string& text)
    {
        const ReferenceConversion model = reference_strtold(text);
        volatile double narrowed = double(model.value);
        std::vector<long double> got;
        for (const auto& [function, want] :
            {std::pair<const char*, long double>{"strtold", model.value}, {"strtod", narrowed}}) {
            got.push_back(call(function, text).st0);
            EXPECT_TRUE(same_bits(got.back(), want))
                << function << ": " << x87_bits(got.back()) << ", model " << x87_bits(want);
            EXPECT_EQ(end(), int64_t(model.end)) << function;
        }
        return got;
    }

    uint32_t text_ = 0, cell_ = 0;
    std::vector<uint8_t> placed_;
};

// ---- strtoul, strtol, atoi and atol -------------------------------------------

TEST_F(ConvertTest, IntegerScannersGiveValueAndEnd)
{
    // The text and base; what strtoul and strtol answer and where they end; what atoi and atol answer.
    const std::tuple<std::string, int, uint32_t, int64_t, int32_t> rows[] = {{"  0x1A", 0, 26, 6, 0},
        {"0x", 16, 0, 2, 0}, {"0X", 0, 0, 2, 0}, {"0xg", 16, 0, 2, 0}, {"0", 0, 0, 1, 0}, {"019", 0, 1, 2, 19},
        {"08", 0, 0, 1, 8}, {"0777", 0, 511, 4, 777}, {"777", 8, 511, 3, 777}, {"1010", 2, 10, 4, 1010},
        {"fF", 36, 555, 2, 0}, {"zz", 36, 0, 0, 0}, {"fg", 36, 15, 1, 0}, {"-5", 10, 0, 0, -5}, {"+5", 10, 0, 0, 5},
        {"-5", 0, 0, 0, -5}, {"4294967296", 10, 0, 10, 0}, {"4294967295", 10, 0xFFFFFFFF, 10, -1},
        {"4294967297", 10, 1, 10, 1},
        {"99999999999", 10, uint32_t(99999999999ull), 11, int32_t(uint32_t(99999999999ull))},
        {"ffffffff", 16, 0xFFFFFFFF, 8, 0}, {"0x100000001", 16, 1, 11, 0}, {"0x1f", 10, 0, 1, 0}, {"0x1f", 8, 0, 1, 0},
        {"1f", 16, 31, 2, 1}, {"123abc", 10, 123, 3, 123}, {"abc", 10, 0, 0, 0}, {"ABC", 16, 2748, 3, 0},
        {"\v7", 10, 0, 0, 0}, {"\f7", 10, 0, 0, 0}, {"\r7", 10, 7, 2, 0}, {"\t\n\r 7", 10, 7, 5, 0},
        {"\t\n 7", 10, 7, 4, 7}, {"\b7", 10, 0, 0, 0}, {"\x0e\x37", 10, 0, 0, 0}, {"\x1f\x37", 10, 0, 0, 0},
        {"!7", 10, 0, 0, 0}, {"\xa0\x37", 10, 0, 0, 0}, {"\x89\x37", 10, 0, 0, 0}, {"   ", 10, 0, 3, 0},
        {"", 10, 0, 0, 0}, {"  x", 0, 0, 2, 0}, {"0101", 1, 0, 1, 101}, {"1", 1, 0, 0, 1}, {"5", -1, 0, 0, 5},
        {"5", -16, 0, 0, 5}, {"0x10", -16, 0, 0, 0}, {"10", 17, 17, 2, 10}, {"0x10", 17, 0, 1, 0}, {"9", 9, 0, 0, 9},
        {"89", 9, 8, 1, 89}, {" \xb0\x35", 10, 0, 1, 0}, {"0x\xff", 0, 0, 2, 0}, {"1 2", 10, 1, 1, 1},
        {"00x5", 0, 0, 2, 0}, {"  -42abc", 10, 0, 2, -42}, {"+-1", 10, 0, 0, 0}, {"- 1", 10, 0, 0, 0},
        {"\r5", 10, 5, 2, 0}, {"010", 10, 10, 3, 10}, {"2147483648", 10, 0x80000000u, 10, INT32_MIN},
        {"-2147483648", 10, 0, 0, INT32_MIN}, {"-4294967295", 10, 0, 0, 1}, {" -9", 10, 0, 1, -9}, {"-", 10, 0, 0, 0},
        {"+", 10, 0, 0, 0}, {"--5", 10, 0, 0, 0}, {"12 34", 10, 12, 2, 12}, {"-0", 10, 0, 0, 0}, {"+7", 10, 0, 0, 7}};
    for (const auto& [text, base, value, end_at, atoi] : rows) {
        SCOPED_TRACE(printable(text) + " base " + std::to_string(base));
        for (const char* function : {"strtoul", "strtol"}) {
            EXPECT_EQ(call(function, text, base).eax, value) << function;
            EXPECT_EQ(end(), end_at) << function;
        }
        for (const char* function : {"atoi", "atol"})
            EXPECT_EQ(guest()(function, place(text)).value(), atoi) << function;
    }
}

TEST_F(ConvertTest, NullTextAndNullEndCellAreAccepted)
{
    for (const auto& [function, x87] :
        {std::pair{"strtoul", false}, {"strtol", false}, {"strtold", true}, {"strtod", true}}) {
        SCOPED_TRACE(function);
        CallResult r = guest()(function, place("  42z"), 0, 10); // no end cell: nothing written
        EXPECT_TRUE(x87 ? same_bits(r.st0, 42.0L) : r.eax == 42);
        EXPECT_EQ(end(), kUntouched);
        r = guest()(function, 0, cell_, 10);
        EXPECT_TRUE(x87 ? same_bits(r.st0, 0.0L) : r.eax == 0);
        EXPECT_EQ(end(), kNullEnd);
        EXPECT_TRUE(guest()(function, 0, 0, 0).returned());
    }
    for (const char* function : {"atoi", "atol"})
        EXPECT_EQ(guest()(function, 0).eax, 0u) << function;
}

// ---- strtold and strtod ----------------------------------------------------------

struct FloatRow {
    std::string text;
    int64_t end;
    long double value;        // of strtold, or kModel
    double narrowed = kModel; // of strtod, or kModel
};

TEST_F(ConvertTest, FloatScannersMatchTheModelAndTheExactValues)
{
    const std::string huge = std::string("1").append(4940, '0'), thirds = std::string("0.").append(1024, '3');
    const FloatRow rows[] = {{"1.5e3x", 5, 1500.0L, 1500.0}, {"5.", 2, 5.0L}, {".5", 2, 0.5L}, {"-.5e-1", 6, kModel},
        {"5.e3", 4, 5000.0L}, {"12e3.4", 4, 12000.0L}, {"00x5", 2, 0.0L}, {"1e", 1, 1.0L}, {"1e+", 1, 1.0L},
        {"1E-", 1, 1.0L}, {"1ex", 1, 1.0L}, {"0x1p", 3, 1.0L}, {"0x1p+", 3, 1.0L}, {"0x1P-", 3, 1.0L},
        {"0x1.8p1", 7, 3.0L, 3.0}, {"0x.8", 4, 0.5L}, {"0X1P-2", 6, 0.25L}, {"0xA.8", 5, 10.5L}, {"0xa.8", 5, 10.5L},
        {"0x1.", 4, 1.0L}, {"0x", 0, 0.0L}, {"0xg", 0, 0.0L}, {"0x.", 0, 0.0L}, {"0xp1", 0, 0.0L}, {"0x.p1", 0, 0.0L},
        {"-0x", 0, 0.0L}, {"  -0x.g", 0, 0.0L}, {"0x1e3", 5, 483.0L}, {"0x1p3e", 5, 8.0L}, {"1p3", 1, 1.0L},
        {"0x10", 4, 16.0L}, {".", 0, 0.0L}, {"inf", 0, 0.0L, 0.0}, {"nan", 0, 0.0L}, {"+-1", 0, 0.0L}, {"- 1", 0, 0.0L},
        {"-.", 0, 0.0L}, {"-x", 0, 0.0L}, {"-", 0, 0.0L}, {"  \v\f+7", 6, 7.0L}, {"\t\n\v\f\r 7", 7, 7.0L},
        {"\b7", 0, 0.0L}, {"\x0e\x37", 0, 0.0L}, {"\x1f\x37", 0, 0.0L}, {"!7", 0, 0.0L}, {"\xa0\x37", 0, 0.0L},
        {"\x8b\x37", 0, 0.0L}, {"1.25", 4, 1.25L}, {"0.1", 3, kModel}, {"1e1", 3, 10.0L}, {"1e-1", 4, kModel},
        {"123.456e2", 9, kModel}, {"1e0", 3, 1.0L}, {"1e-0", 4, 1.0L}, {"1e+0", 4, 1.0L},
        {"25E00000000000000000002", 23, 2500.0L}, {"1e5000", 6, kModel}, {"1e1024", 6, kModel}, {"1e4097", 6, kModel},
        {"1e-5000", 7, kModel}, {"1e-99999999999999999", 20, kModel}, {"1e4294967296", 12, kModel},
        {"0x1p5000", 8, 0x1p1024L}, {"0x1p-5000", 9, 0x1p-1024L}, {"0x1p99999999999999999999", 24, 0x1p1024L},
        {"0x.01p4", 7, 0.0625L}, {"0xFFFFFFFFFFFFFFFF", 18, 18446744073709551615.0L},
        {"18446744073709551615", 20, 18446744073709551615.0L}, {"18446744073709551617", 20, kModel}, {"5..", 2, 5.0L},
        {"5.5.5", 3, 5.5L}, {"+.5", 3, 0.5L}, {"1e1e1", 3, 10.0L}, {"0e99999", 7, 0.0L}, {"0", 1, 0.0L},
        {"+0", 2, 0.0L}, {"0x0", 3, 0.0L}, {".0", 2, 0.0L}, {"-0", 2, -0.0L}, {"-0.0", 4, -0.0L}, {"-.0e5", 5, -0.0L},
        {"-0x0", 4, -0.0L}, {"-0x0.0p-9", 9, -0.0L}, {"-0e-5000", 8, -0.0L}, {"  -000", 6, -0.0L, -0.0},
        // Overflow through the arithmetic: a long digit string, then more scaling.
        {huge, 4941, HUGE_VALL}, {huge + ".5e-1000", 4949, HUGE_VALL},
        {"-1" + rep(3910, '0') + "e1024", 3917, -HUGE_VALL}, {"0x" + rep(4097, 'f') + ".8p-3", 4104, HUGE_VALL},
        // Fraction digits past the 1024th are read over but do not enter the value.
        {thirds, 1026, kModel}, {thirds + "9e2", 1029, kModel}, {thirds + rep(5000, '9') + "e2", 6028, kModel},
        {"12." + rep(1100, '5'), 1103, kModel}, {"0x0." + rep(1024, 'f'), 1028, 1.0L},
        {"0x0." + rep(1024, 'f') + rep(3000, 'F') + "p-1", 4031, 0.5L}, {"0x1." + rep(2000, '0') + "1", 2005, 1.0L},
        // strtod: the nearest double, infinity beyond the range, subnormals and zero below it.
        {"1e400", 5, kModel, HUGE_VAL}, {"-1e400", 6, kModel, -HUGE_VAL}, {"1e-400", 6, kModel, 0.0},
        {"0x1p-1074", 9, 0x1p-1024L, 0x1p-1024}, // the halving stops after 1024 steps
        {"0x1p-1023", 9, 0x1p-1023L, 0x1p-1023}, {"0x1p-1022", 9, 0x1p-1022L, 0x1p-1022},
        {"0x1.fffffffffffff8p1023", 23, kModel, HUGE_VAL}, // rounds up past the largest double
        {"0x1.fffffffffffff7p1023", 23, kModel, 0x1.fffffffffffffp1023},
        {"0x1.00000000000008p0", 20, kModel, 1.0}, // a tie goes to even
        {"0x1.00000000000018p0", 20, kModel, 0x1.0000000000002p0}, {"0x1p1024", 8, 0x1p1024L, HUGE_VAL},
        {"4.9406564584124654e-324", 23, kModel, 0x1p-1074}, {"2e-324", 6, kModel, 0.0}};
    for (const FloatRow& row : rows) {
        SCOPED_TRACE(printable(row.text));
        const std::vector<long double> got = expect_model(row.text);
        EXPECT_EQ(end(), row.end);
        EXPECT_TRUE(std::isnan(row.value) || same_bits(got[0], row.value)) << "strtold, " << x87_bits(row.value);
        EXPECT_TRUE(std::isnan(row.narrowed) || same_bits(got[1], row.narrowed))
            << "strtod, " << x87_bits(row.narrowed);
    }
}

} // namespace
} // namespace vekos::test
