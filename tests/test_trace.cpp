// The kernel-call trace, line for line, and the --inject rules.
#include "harness.h"

#include "calls.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

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
        guest().kernel().set_trace([this](std::string_view line) { lines_.emplace_back(line); });
        lines_.clear();
    }
    uint32_t bytes(std::string_view s)
    {
        return guest().put_bytes({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
    }
    // The one line a single guest call leaves.
    template <typename... Args>
    std::string line_of(const char* fn, Args... args)
    {
        lines_.clear();
        guest()(fn, args...);
        EXPECT_EQ(lines_.size(), 1u) << fn;
        return lines_.empty() ? "" : lines_.back();
    }
    std::vector<std::string> lines_;
};

TEST_F(TraceTest, WriteShowsItsBytesQuoted)
{
    struct Row {
        std::string data;
        std::string shown;
    };
    const std::string a32 = "0123456789abcdefghijklmnopqrstuv";
    const std::vector<Row> rows = {
        {"hi\n", R"("hi\n")"},
        {"", R"("")"},
        {a32, "\"" + a32 + "\""},                   // exactly the limit: whole
        {a32 + "w", "\"" + a32 + "\"..."},          // one more: cut
        {a32 + "wxyz and so on", "\"" + a32 + "\"..."},
        {std::string("\x01\x7f\x80\xff", 4), R"("\x01\x7f\x80\xff")"},
        {std::string("\0z", 2), R"("\x00z")"},
        {"tab\there\r\"q\" back\\slash", R"("tab\there\r\"q\" back\\slash")"},
    };
    for (const Row& row : rows) {
        uint32_t buf = bytes(row.data);
        std::string want = "write(1, " + row.shown + ", " + std::to_string(row.data.size()) +
                           ") = " + std::to_string(row.data.size());
        EXPECT_EQ(line_of("write", 1, buf, uint32_t(row.data.size())), want);
    }
}

TEST_F(TraceTest, EachCallHasItsOwnLine)
{
    std::ofstream(guest().root() / "present") << "abc";
    uint32_t missing = guest().put_string("/missing");
    uint32_t present = guest().put_string("/present");
    uint32_t dir = guest().put_string("/d");
    uint32_t data = bytes("xyz");
    uint32_t buf = guest().alloc(64);
    uint32_t fds = guest().alloc(8);
    guest().feed_input("ab");
    struct Row {
        std::string fn;
        std::vector<uint32_t> args;
        std::string line;
    };
    const std::vector<Row> rows = {
        {"open", {missing, 0}, R"(open("/missing", 0, 0) = -2 (No such file or directory))"},
        {"open", {present, 0}, R"(open("/present", 0, 0) = 3)"},
        {"read", {3, buf, 8}, R"(read(3, "abc", 8) = 3)"},
        {"read", {3, buf, 8}, "read(3, " + hex(buf) + ", 8) = 0"},
        {"read", {0, buf, 64}, R"(read(0, "ab", 64) = 2)"},
        {"close", {3}, "close(3) = 0"},
        {"close", {3}, "close(3) = -9 (Bad file descriptor)"},
        {"writefile", {present, data, 3}, R"(writefile("/present", "xyz", 3) = 3)"},
        {"mkdir", {dir}, R"(mkdir("/d") = 0)"},
        {"chdir", {dir}, R"(chdir("/d") = 0)"},
        {"getcwd", {buf, 64}, R"(getcwd("/d", 64) = 3)"},
        {"getcwd", {buf, 2}, "getcwd(" + hex(buf) + ", 2) = -34 (Numerical result out of range)"},
        {"rmdir", {dir}, R"(rmdir("/d") = 0)"},
        {"unlink", {missing}, R"(unlink("/missing") = -2 (No such file or directory))"},
        {"lseek", {1, 0xFFFFFFFF, 2}, "lseek(1, -1, 2) = -29 (Illegal seek)"},
        {"dup", {1}, "dup(1) = 3"},
        {"dup2", {1, 7}, "dup2(1, 7) = 7"},
        {"pipe", {fds}, "pipe([4, 5]) = 0"},
        {"usleep", {16000}, "usleep(16000) = 0"},
        {"write", {1, 0x10000000, 4}, "write(1, 0x10000000, 4) = -14 (Bad address)"},
        {"open", {0x10000000, 0}, "open(0x10000000, 0, 0) = -14 (Bad address)"},
        {"vekfs_stream_begin", {present}, R"(vekfs_stream_begin("/present") = 1)"},
        {"vekfs_stream_write", {1, data, 3}, R"(vekfs_stream_write(1, "xyz", 3) = 3)"},
        {"vekfs_stream_end", {1}, "vekfs_stream_end(1) = 0"},
        {"open", {missing, 0x241}, R"(open("/missing", 0x241, 0x241) = 6)"},
    };
    for (const Row& row : rows) {
        lines_.clear();
        guest().call(row.fn, row.args);
        ASSERT_EQ(lines_.size(), 1u) << row.fn;
        EXPECT_EQ(lines_[0], row.line);
    }
}

TEST_F(TraceTest, UnimplementedCallsShowRawArguments)
{
    struct Row {
        uint32_t number;
        std::string name;
    };
    const std::vector<Row> rows = {
        {VEKOS_SYS_gui_create, "gui_create"}, {VEKOS_SYS_gui_draw_char_font, "gui_draw_char_font"},
        {VEKOS_SYS_spawn, "spawn"},           {VEKOS_SYS_getkey, "getkey"},
        {VEKOS_SYS_mkfifo, "mkfifo"},         {200, "call200"},
    };
    for (const Row& row : rows) {
        lines_.clear();
        Kernel::Outcome out = guest().kernel().handle(guest().machine().memory(),
                                                      CallRegs{row.number, 0x11, 0xFFFFFFFF, 0x80000000});
        EXPECT_EQ(out.answer, -38);
        EXPECT_FALSE(out.exit);
        ASSERT_EQ(lines_.size(), 1u);
        EXPECT_EQ(lines_[0], row.name + "(0x00000011, 0xffffffff, 0x80000000) = -38 (not implemented)");
        EXPECT_FALSE(guest().calls().back().implemented);
    }
    // Through the guest's own wrapper: the pointers, not the strings, are shown.
    uint32_t path = guest().put_string("/bin/x");
    uint32_t args = guest().alloc(8);
    EXPECT_EQ(line_of("spawn", path, args, 2),
              "spawn(" + hex(path) + ", " + hex(args) + ", 0x00000002) = -38 (not implemented)");
}

TEST_F(TraceTest, InjectedAnswersAreMarked)
{
    guest().inject("write=-5");
    guest().inject("open@2=9");
    uint32_t text = bytes("hi\n");
    uint32_t path = guest().put_string("/nothing");
    EXPECT_EQ(line_of("write", 1, text, 3), R"(write(1, "hi\n", 3) = -5 (injected))");
    EXPECT_EQ(line_of("open", path, 0), R"(open("/nothing", 0, 0) = -2 (No such file or directory))");
    EXPECT_EQ(line_of("open", path, 0), R"(open("/nothing", 0, 0) = 9 (injected))");
    EXPECT_EQ(guest().output(), "");
}

TEST_F(TraceTest, ExitHasNoAnswer)
{
    EXPECT_EQ(line_of("_exit", 3), "exit(3) = ?");
    restart();
    EXPECT_EQ(line_of("_exit", -1), "exit(-1) = ?");
    // A whole run: the last line is the exit with main's result.
    restart();
    Stop stop = guest().start({"prog", "7"});
    ASSERT_EQ(stop.why, Stop::Why::Exited);
    ASSERT_FALSE(lines_.empty());
    EXPECT_EQ(lines_.back(), "exit(7) = ?");
    EXPECT_EQ(lines_[1], R"(write(1, "prog", 4) = 4)");
    // An exit that is injected comes back, and says so.
    restart();
    guest().inject("_exit=0");
    guest().machine().set_instruction_limit(1000);
    EXPECT_EQ(line_of("_exit", 3), "exit(3) = 0 (injected)");
}

// ---- --inject: parsing and effect -----------------------------------------

TEST(InjectionParseTest, AcceptedForms)
{
    struct Row {
        const char* spec;
        uint32_t number;
        std::optional<uint64_t> nth;
        int32_t answer;
    };
    const std::vector<Row> rows = {
        {"write=-5", 1, std::nullopt, -5},
        {"1=-5", 1, std::nullopt, -5},
        {"write@3=7", 1, 3, 7},
        {"110@1=0", 110, 1, 0},
        {"gui_create=0", 8, std::nullopt, 0},
        {"sleep=-4", 22, std::nullopt, -4},
        {"usleep@2=-4", 22, 2, -4},
        {"_exit=0", 2, std::nullopt, 0},
        {"exit=1", 2, std::nullopt, 1},
        {"vekfs_stream_end@18446744073709551615=1", 55, 18446744073709551615ull, 1},
        {"200=1", 200, std::nullopt, 1},
        {"write=2147483647", 1, std::nullopt, 2147483647},
        {"write=-2147483648", 1, std::nullopt, INT32_MIN},
        {"write=4294967295", 1, std::nullopt, -1},
    };
    for (const Row& row : rows) {
        Injection inj = parse_injection(row.spec);
        EXPECT_EQ(inj.number, row.number) << row.spec;
        EXPECT_EQ(inj.nth, row.nth) << row.spec;
        EXPECT_EQ(inj.answer, row.answer) << row.spec;
    }
}

TEST(InjectionParseTest, BadSpecsAreRefusedWithTheSpecQuoted)
{
    struct Row {
        const char* spec;
        std::string why;
    };
    const std::vector<Row> rows = {
        {"write", "missing '='"},
        {"", "missing '='"},
        {"nosuch=1", "unknown call 'nosuch'"},
        {"Write=1", "unknown call 'Write'"},
        {"write@0=1", "N must be a positive whole number"},
        {"write@=1", "N must be a positive whole number"},
        {"write@x=1", "N must be a positive whole number"},
        {"write@-1=1", "N must be a positive whole number"},
        {"write@2x=1", "N must be a positive whole number"},
        {"=5", "no call named"},
        {"@2=5", "no call named"},
        {"write=", "ANSWER must be a 32-bit whole number"},
        {"write=abc", "ANSWER must be a 32-bit whole number"},
        {"write=1x", "ANSWER must be a 32-bit whole number"},
        {"write=0x10", "ANSWER must be a 32-bit whole number"},
        {"write=4294967296", "ANSWER must be a 32-bit whole number"},
        {"write=-2147483649", "ANSWER must be a 32-bit whole number"},
        {"write=1=2", "ANSWER must be a 32-bit whole number"},
    };
    for (const Row& row : rows) {
        try {
            parse_injection(row.spec);
            ADD_FAILURE() << row.spec << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "--inject " + std::string(row.spec) + ": " + row.why +
                                                 " (expected CALL[@N]=ANSWER, e.g. write@3=-5)");
        }
    }
}

class InjectionTest : public GuestTest {};

TEST_F(InjectionTest, NthCallOnlyOrEveryCall)
{
    uint32_t text = guest().put_string("x");
    guest().inject("write@2=-5");
    std::vector<int32_t> answers;
    for (int i = 0; i < 4; ++i)
        answers.push_back(guest()("write", 1, text, 1).value());
    EXPECT_EQ(answers, (std::vector<int32_t>{1, -5, 1, 1}));
    EXPECT_EQ(guest().output(), "xxx");  // the injected call was not performed
    ASSERT_EQ(guest().calls().size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(guest().calls()[i].injected, i == 1) << i;

    guest().reset();
    text = guest().put_string("x");
    guest().inject("1=-7");  // by number, every call
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(guest()("write", 1, text, 1).value(), -7);
    EXPECT_EQ(guest().output(), "");
}

TEST_F(InjectionTest, CountsAreKeptPerCallAndRestartWithTheProcess)
{
    uint32_t text = guest().put_string("x");
    uint32_t path = guest().put_string("/f");
    guest().inject("writefile@2=0");
    EXPECT_EQ(guest()("write", 1, text, 1).value(), 1);        // other calls do not count
    EXPECT_EQ(guest()("writefile", path, text, 1).value(), 1); // first writefile: performed
    std::filesystem::remove(guest().root() / "f");
    EXPECT_EQ(guest()("writefile", path, text, 1).value(), 0); // second: injected
    EXPECT_FALSE(std::filesystem::exists(guest().root() / "f"));
    guest().kernel().reset();  // a new process: counting starts again, injections stay
    EXPECT_EQ(guest()("writefile", path, text, 1).value(), 1);
    EXPECT_EQ(guest()("writefile", path, text, 1).value(), 0);
}

TEST_F(InjectionTest, FirstMatchingInjectionWins)
{
    uint32_t text = guest().put_string("x");
    guest().inject("write@2=-5");
    guest().inject("write=-1");
    EXPECT_EQ(guest()("write", 1, text, 1).value(), -1);
    EXPECT_EQ(guest()("write", 1, text, 1).value(), -5);
    EXPECT_EQ(guest()("write", 1, text, 1).value(), -1);
}

} // namespace
} // namespace vekos::test
