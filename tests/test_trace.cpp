// The kernel-call trace, line for line, and the --inject and --trace-calls rules.
#include "harness.h"

#include "base/errors.h"
#include "cli/options.h"
#include "kernel/calls.h"
#include "kernel/trace.h"

#include <cstdio>
#include <fstream>
#include <optional>

namespace vekos::test {
namespace {

std::string hex(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

class TraceTest : public GuestTest {
protected:
    void SetUp() override
    {
        GuestTest::SetUp();
        restart();
    }
    // A fresh process that still traces into lines_.
    void restart()
    {
        guest().reset();
        guest().kernel().set_observer(
            [this](const GuestMemory& m, const CallRecord& c) { lines_.push_back(format_call(m, c)); });
        lines_.clear();
    }
    // The one line a guest call leaves.
    std::string line_of(std::string_view fn, std::vector<uint32_t> args)
    {
        lines_.clear();
        guest().call(fn, args);
        EXPECT_EQ(lines_.size(), 1u) << fn;
        return lines_.empty() ? "" : lines_.back();
    }
    std::vector<std::string> lines_;
};

TEST_F(TraceTest, WrittenBytesAreQuotedEscapedAndCutAfter32)
{
    const std::string a32 = "0123456789abcdefghijklmnopqrstuv";
    const std::vector<std::pair<std::string, std::string>> writes = {
        {"hi\n", R"("hi\n")"}, {"", R"("")"}, {a32, "\"" + a32 + "\""},
        {a32 + "w", "\"" + a32 + "\"..."}, // exactly the limit is whole; one more is cut
        {std::string("\x01\x7f\x80\xff", 4), R"("\x01\x7f\x80\xff")"}, {std::string("\0z", 2), R"("\x00z")"},
        {"tab\there\r\"q\" back\\slash", R"("tab\there\r\"q\" back\\slash")"},
        {"\xff\x11\x22", R"("\xff\x11\"")"}, // three bytes, or on descriptor 2, are no control record
    };
    for (const auto& [data, shown] : writes) {
        SCOPED_TRACE(shown);
        const std::string n = std::to_string(data.size());
        EXPECT_EQ(line_of("write", {1, guest().put_bytes(data), uint32_t(data.size())}),
            "write(1, " + shown + ", " + n + ") = " + n);
    }
    EXPECT_EQ(line_of("write", {2, guest().put_bytes("\xff\x11\x22\x33"), 4}), R"(write(2, "\xff\x11\"3", 4) = 4)");
}

// One row per argument kind of the call table: calls of the same kinds are shown by the same code (their
// names are the table's, checked by the wrappers' tests).
TEST_F(TraceTest, EachCallShowsItsArgumentsByKindAndErrorsByName)
{
    std::ofstream(guest().root() / "present") << "abc";
    uint32_t missing = guest().put_string("/missing"), present = guest().put_string("/present");
    uint32_t dir = guest().put_string("/d"), data = guest().put_bytes("xyz"), buf = guest().alloc(64),
             fds = guest().alloc(8);
    guest().feed_input("ab");
    const std::vector<std::tuple<std::string, std::vector<uint32_t>, std::string>> rows = {
        {"open", {missing, 0}, R"(open("/missing", O_RDONLY, 0) = -2 ENOENT (No such file or directory))"},
        {"open", {present, 2}, R"(open("/present", O_RDWR, 0) = 3)"}, {"read", {3, buf, 8}, R"(read(3, "abc", 8) = 3)"},
        {"read", {3, buf, 8}, "read(3, " + hex(buf) + ", 8) = 0"}, {"read", {0, buf, 64}, R"(read(0, "ab", 64) = 2)"},
        {"close", {3}, "close(3) = 0"}, {"close", {3}, "close(3) = -9 EBADF (Bad file descriptor)"},
        {"writefile", {present, data, 3}, R"(writefile("/present", "xyz", 3) = 3)"},
        {"mkdir", {dir}, R"(mkdir("/d") = 0)"}, {"getcwd", {buf, 64}, R"(getcwd("/", 64) = 2)"},
        {"getcwd", {buf, 1}, "getcwd(" + hex(buf) + ", 1) = -34 ERANGE (Numerical result out of range)"},
        {"lseek", {1, 0xFFFFFFFF, 2}, "lseek(1, -1, 2) = -29 ESPIPE (Illegal seek)"},
        {"pipe", {fds}, "pipe([3, 4]) = 0"}, {"usleep", {16000}, "usleep(16000) = 0"},
        {"write", {1, 0x10000000, 4}, "write(1, 0x10000000, 4) = -14 EFAULT (Bad address)"},
        {"open", {missing, 0x241}, R"(open("/missing", O_WRONLY|O_CREAT|O_TRUNC, O_WRONLY|O_CREAT|O_TRUNC) = 5)"},
        {"open", {missing, 0x10483},
            R"(open("/missing", 0x3|O_EXCL|O_APPEND|O_DIRECTORY, 0) = -22 EINVAL (Invalid argument))"},
        {"open", {missing, 0x80000040},
            R"(open("/missing", O_RDONLY|O_CREAT|0x80000000, O_RDONLY|O_CREAT|0x80000000) = 6)"}};
    for (const auto& [fn, args, line] : rows) {
        SCOPED_TRACE(line);
        EXPECT_EQ(line_of(fn, args), line);
    }
}

// The window calls too, on a kernel without a window service: one that opens and one that names a window.
TEST_F(TraceTest, CallsNotProvidedShowTheirRegistersRaw)
{
    for (const auto& [number, name] : std::vector<std::pair<uint32_t, std::string>>{
             {VEKOS_SYS_gui_create, "gui_create"}, {VEKOS_SYS_gui_begin, "gui_begin"}, {VEKOS_SYS_spawn, "spawn"},
             {VEKOS_SYS_mkfifo, "mkfifo"}, {200, "call200"}}) {
        SCOPED_TRACE(name);
        lines_.clear();
        TrapOutcome out
            = guest().kernel().handle(guest().machine().memory(), CallRegs{number, 0x11, 0xFFFFFFFF, 0x80000000});
        EXPECT_EQ(out.answer, -38);
        EXPECT_EQ(lines_,
            std::vector<std::string>{name + "(0x00000011, 0xffffffff, 0x80000000) = -38 ENOSYS (not implemented)"});
        EXPECT_FALSE(guest().calls().back().provided);
    }
}

// (An exit that is not injected shows "= ?": the vekos-run and paneprobe transcripts end so.)
TEST_F(TraceTest, InjectedAnswersAreMarkedEvenAnExitThatComesBack)
{
    guest().inject("write=-5");
    guest().inject("open@2=9");
    uint32_t text = guest().put_bytes("hi\n"), path = guest().put_string("/nothing"); // refused, then injected
    EXPECT_EQ(line_of("write", {1, text, 3}), R"(write(1, "hi\n", 3) = -5 EIO (injected))");
    EXPECT_EQ(line_of("open", {path, 0}), R"(open("/nothing", O_RDONLY, 0) = -2 ENOENT (No such file or directory))");
    EXPECT_EQ(line_of("open", {path, 0}), R"(open("/nothing", O_RDONLY, 0) = 9 (injected))");
    EXPECT_EQ(guest().output(), "");
    restart(); // an exit that is injected comes back, and says so
    guest().inject("_exit=0");
    guest().machine().set_instruction_limit(1000);
    EXPECT_EQ(line_of("_exit", {3}), "exit(3) = 0 (injected)");
}

TEST(InjectionParseTest, CallsByNameOrNumberAnswersAsNumbersOrErrorNames)
{
    const auto every = std::nullopt;
    const std::vector<std::tuple<const char*, uint32_t, std::optional<uint64_t>, int32_t>> rows = {
        {"write=-5", 1, every, -5}, {"write@3=7", 1, 3, 7}, {"110@1=0", 110, 1, 0}, {"sleep=-4", 22, every, -4},
        {"_exit=0", 2, every, 0}, {"200=1", 200, every, 1}, {"open=ENOENT", 4, every, -2}, {"write@2=EPIPE", 1, 2, -32},
        {"write=4294967295", 1, every, -1}, {"write=-2147483648", 1, every, INT32_MIN},
        {"vekfs_stream_end@18446744073709551615=1", 55, 18446744073709551615ull, 1}};
    for (const auto& [option, number, nth, answer] : rows) {
        Injection inj = parse_injection(option);
        EXPECT_EQ(std::tie(inj.number, inj.nth, inj.answer), std::tie(number, nth, answer)) << option;
    }
    // One option per way of being wrong: each part missing or not of its form, and answers out of range.
    const std::string answer = "ANSWER must be a 32-bit whole number or an error name such as ENOENT";
    const std::vector<std::pair<const char*, std::string>> bad = {{"write", "missing '='"},
        {"Write=1", "unknown call 'Write'"}, {"write@0=1", "N must be a positive whole number"},
        {"write@2x=1", "N must be a positive whole number"}, {"=5", "no call named"}, {"write=enoent", answer},
        {"write=1x", answer}, {"write=4294967296", answer}, {"write=-2147483649", answer}};
    for (const auto& [option, why] : bad) {
        SCOPED_TRACE(option);
        try {
            parse_injection(option);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            EXPECT_EQ(std::string(e.what()),
                "--inject " + std::string(option) + ": " + why
                    + " (expected CALL[@N]=ANSWER, e.g. write@3=-5 or open=ENOENT)");
        }
    }
    EXPECT_EQ(parse_call_list("open,write,22,_exit"), (std::set<uint32_t>{1, 2, 4, 22}));
    for (const char* list : {"", "open,", "open,,write", "nosuch"})
        EXPECT_THROW(parse_call_list(list), UsageError) << list;
}

// The Nth call of its kind only, or every one; where two rules match, the first given wins; an injected
// call is not performed; a new process counts from the start again, its injections kept.
TEST_F(TraceTest, InjectionsCountTheCallsOfTheirKindAndRestartWithTheProcess)
{
    const uint32_t text = guest().put_string("x"), path = guest().put_string("/f");
    guest().inject("writefile@2=0");
    guest().inject("writefile=-7");
    EXPECT_EQ(guest()("write", 1, text, 1).value(), 1); // performed, and not counted
    for (int process = 1; process <= 2; ++process, guest().kernel().reset())
        for (int32_t answer : {-7, 0, -7})
            EXPECT_EQ(guest()("writefile", path, text, 1).value(), answer) << "process " << process;
    EXPECT_FALSE(std::filesystem::exists(guest().root() / "f"));
    EXPECT_EQ(guest().output(), "x");
}

} // namespace
} // namespace vekos::test
