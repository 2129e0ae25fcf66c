// Streams on the real i386 code: records word by word, kernel calls register
// by register, buffers and files byte by byte.
#include "harness.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

enum Call : uint32_t { kWrite = 1, kRead = 3, kOpen = 4, kClose = 5, kWritefile = 21, kLseek = 110 };
enum Kind : uint32_t { kFdKind = 1, kMemoryKind = 2, kFileWriteKind = 3 };
// Byte offsets of the record's fields.
enum Field : uint32_t { kKind = 0, kFd = 4, kPath = 8, kData = 12, kLen = 16, kCap = 20,
                        kOutBuf = 24, kOutSize = 28, kError = 32, kPos = 36, kEof = 40 };
constexpr uint32_t kArena = 0x100000;
constexpr uint32_t kCanary = 0xCAFEF00D;
constexpr int32_t kFail = -1;

using Record = std::vector<uint32_t>;  // the 11 words
const Record kStdin{kFdKind, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Record kStdout{kFdKind, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct Trap {
    uint32_t eax, ebx, ecx, edx;
    bool operator==(const Trap&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Trap& t)
{
    return os << "{" << t.eax << std::hex << ", 0x" << t.ebx << ", 0x" << t.ecx << ", 0x" << t.edx << std::dec << "}";
}

struct MemStream {
    uint32_t stream, bufp, sizep;
};

class StdioTest : public GuestTest {
protected:
    template <typename... Args>
    int32_t run(std::string_view function, Args... args)
    {
        CallResult r = guest()(function, args...);
        EXPECT_TRUE(r.returned()) << function;
        return r.value();
    }
    template <typename... Args>
    uint32_t ptr(std::string_view function, Args... args) { return uint32_t(run(function, args...)); }
    uint32_t str(std::string_view s) { return guest().put_string(s); }

    uint32_t get(uint32_t stream, Field f) { return guest().read_u32(stream + f); }
    void set(uint32_t stream, Field f, uint32_t value) { guest().write_u32(stream + f, value); }
    Record record(uint32_t stream)
    {
        Record words;
        for (uint32_t i = 0; i < 11; ++i)
            words.push_back(guest().read_u32(stream + 4 * i));
        return words;
    }
    std::string bytes_at(uint32_t addr, uint32_t len)
    {
        auto b = guest().read(addr, len);
        return std::string(b.begin(), b.end());
    }
    std::vector<Trap> traps()
    {
        std::vector<Trap> out;
        for (const CallRecord& c : guest().calls())
            out.push_back({c.in.eax, c.in.ebx, c.in.ecx, c.in.edx});
        return out;
    }
    bool no_calls() { return guest().calls().empty(); }
    void forget_calls() { guest().kernel().clear_log(); }

    uint32_t heap_used() { return guest().global_u32("g_heap_used"); }
    bool in_heap(uint32_t addr) { return addr - guest().symbol("g_heap") < kArena; }
    void exhaust_heap()
    {
        for (uint32_t size = kArena; size > 0; size /= 2)
            while (ptr("malloc", size) != 0) {
            }
        ASSERT_EQ(ptr("malloc", 1), 0u);
    }
    // Non-zero bytes in the arena not yet handed out: a terminating NUL cannot
    // then come from fresh memory.
    void poison_free_heap()
    {
        std::vector<uint8_t> junk(kArena - heap_used(), 0xEE);
        guest().machine().memory().poke(guest().symbol("g_heap") + heap_used(), junk);
    }

    uint32_t standard(const char* name) { return guest().global_u32(name); }
    void make_standard(const char* name, uint32_t stream) { guest().write_u32(guest().symbol(name), stream); }

    MemStream memstream()
    {
        uint32_t bufp = guest().alloc(4, 0xAB), sizep = guest().alloc(4, 0xAB);
        uint32_t s = ptr("open_memstream", bufp, sizep);
        EXPECT_NE(s, 0u);
        return {s, bufp, sizep};
    }
    uint32_t fopen(const std::string& path, const char* mode) { return ptr("fopen", str(path), str(mode)); }
    uint32_t open_read(const std::string& name, const std::string& content)
    {
        std::ofstream(guest().root() / name, std::ios::binary) << content;
        uint32_t s = fopen("/" + name, "r");
        EXPECT_NE(s, 0u);
        forget_calls();
        return s;
    }
    // A record made by the heap like any other, with a kind and descriptor of our choosing.
    uint32_t hand_record(uint32_t kind, uint32_t fd)
    {
        uint32_t s = ptr("calloc", 1, 44);
        set(s, kKind, kind);
        set(s, kFd, fd);
        return s;
    }
    std::string file(const std::string& name)
    {
        std::ifstream in(guest().root() / name, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
    }
    // Appends n bytes of 'z'; the answer of file_write_bytes.
    int32_t put_z(uint32_t stream, uint32_t n) { return run("file_write_bytes", stream, guest().alloc(n, 'z'), n); }
};

// ---- standard streams, fopen ----------------------------------------------------

TEST_F(StdioTest, StandardRecordsAndPointers)
{
    for (const char* name : {"stdin", "stdout", "stderr"})
        EXPECT_EQ(standard(name), guest().symbol(std::string("g_") + name));
    EXPECT_EQ(record(guest().symbol("g_stdin")), kStdin);
    EXPECT_EQ(record(guest().symbol("g_stdout")), kStdout);
    EXPECT_EQ(record(guest().symbol("g_stderr")), kStdout);  // descriptor 1 too
    uint32_t s = str("oops");
    EXPECT_EQ(run("fputs", s, standard("stderr")), 4);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kWrite, 1, s, 4}}));
}

TEST_F(StdioTest, FopenOfDashOrNoPathGivesTheCurrentStandardStreams)
{
    std::ofstream(guest().root() / "in.txt") << "abc";
    const uint32_t in = standard("stdin"), out = standard("stdout");
    struct Row {
        const char *path, *mode;  // nullptr: none
        uint32_t want;
    } rows[] = {{nullptr, "r", in}, {nullptr, "w", out}, {"-", "r", in},       {"-", "rb", in},  {"-", "w", out},
                {"-", "w+", out},   {"-", "a", 0},       {"-", "", 0},         {nullptr, "a", 0}, {"-", nullptr, 0},
                {nullptr, nullptr, 0}, {"/in.txt", nullptr, 0}, {"/in.txt", "a", 0}, {"/in.txt", "a+", 0},
                {"/in.txt", "", 0},    {"/in.txt", "R", 0},     {"/in.txt", " r", 0}, {"/in.txt", "x", 0}};
    const uint32_t used = heap_used();
    for (const Row& row : rows)
        EXPECT_EQ(ptr("fopen", row.path ? str(row.path) : 0, row.mode ? str(row.mode) : 0), row.want)
            << (row.path ? row.path : "null") << " '" << (row.mode ? row.mode : "null") << "'";
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(heap_used(), used);
    // The pointer variables are read at each call.
    make_standard("stdin", 0x1234);
    make_standard("stdout", 0x5678);
    EXPECT_EQ(ptr("fopen", 0, str("r")), 0x1234u);
    EXPECT_EQ(fopen("-", "w"), 0x5678u);
}

TEST_F(StdioTest, FopenForReadingOpensTheFile)
{
    for (const char* mode : {"r", "rb", "r+", "read"}) {
        guest().reset();
        std::ofstream(guest().root() / "in.txt") << "abc";
        uint32_t path = str("/in.txt");
        uint32_t s = ptr("fopen", path, str(mode));
        ASSERT_EQ(traps(), (std::vector<Trap>{{kOpen, path, 0, 0}})) << mode;
        int32_t fd = guest().calls()[0].answer;
        EXPECT_GT(fd, 2) << mode;
        EXPECT_TRUE(in_heap(s)) << mode;
        EXPECT_EQ(record(s), (Record{kFdKind, uint32_t(fd), 0, 0, 0, 0, 0, 0, 0, 0, 0})) << mode;
    }
    // A missing file: null, and no record.
    const uint32_t used = heap_used();
    forget_calls();
    EXPECT_EQ(fopen("/absent", "r"), 0u);
    ASSERT_EQ(guest().calls().size(), 1u);
    EXPECT_LT(guest().calls()[0].answer, 0);
    EXPECT_EQ(heap_used(), used);
    // No memory for the record: the new descriptor is closed again.
    exhaust_heap();
    forget_calls();
    EXPECT_EQ(fopen("/in.txt", "r"), 0u);
    ASSERT_EQ(traps().size(), 2u);
    EXPECT_EQ(traps()[1].eax, kClose);
    EXPECT_EQ(int32_t(traps()[1].ebx), guest().calls()[0].answer);
}

TEST_F(StdioTest, FopenForWritingTouchesNoFile)
{
    for (const char* mode : {"w", "wb", "w+"}) {
        guest().reset();
        uint32_t path = str("/out.txt");
        uint32_t s = ptr("fopen", path, str(mode));
        ASSERT_NE(s, 0u) << mode;
        uint32_t copy = get(s, kPath);
        EXPECT_TRUE(in_heap(copy) && copy != path) << mode;
        EXPECT_EQ(guest().read_cstring(copy), "/out.txt") << mode;
        EXPECT_EQ(record(s), (Record{kFileWriteKind, 0, copy, 0, 0, 0, 0, 0, 0, 0, 0})) << mode;
        EXPECT_TRUE(no_calls()) << mode;
        EXPECT_EQ(file("out.txt"), "<missing>") << mode;
    }
    // Room for the record but not for this copy of the path.
    ASSERT_NE(ptr("malloc", kArena / 2), 0u);
    EXPECT_EQ(fopen(std::string(kArena / 2 + 16, 'p'), "w"), 0u);
    EXPECT_NE(fopen("/short", "w"), 0u);
}

// ---- fclose -----------------------------------------------------------------

TEST_F(StdioTest, FcloseLeavesStandardStreamsAndWhatIsStoredAsThem)
{
    EXPECT_EQ(run("fclose", 0), kFail);
    for (const char* name : {"stdin", "stdout", "stderr"})
        EXPECT_EQ(run("fclose", standard(name)), 0) << name;
    EXPECT_EQ(record(guest().symbol("g_stdout")), kStdout);

    uint32_t reader = open_read("in.txt", "abc");
    uint32_t whole = fopen("/out", "w");
    MemStream m = memstream();
    make_standard("stdin", reader);
    make_standard("stderr", whole);
    make_standard("stdout", m.stream);
    Record before = record(m.stream);
    for (uint32_t s : {reader, whole, m.stream, guest().symbol("g_stdout")})
        EXPECT_EQ(run("fclose", s), 0);
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(record(m.stream), before);
    EXPECT_EQ(file("out"), "<missing>");
    EXPECT_EQ(run("getchar"), 'a');  // still open
    EXPECT_EQ(run("puts", str("hi")), 0);
    EXPECT_EQ(guest().read_cstring(guest().read_u32(m.bufp)), "hi\n");
}

TEST_F(StdioTest, FclosePassesOnTheAnswerOfClose)
{
    for (int32_t answer : {0, -9, 7}) {
        guest().reset();
        uint32_t s = open_read("in.txt", "abc");
        const uint32_t fd = get(s, kFd);
        guest().inject("close=" + std::to_string(answer));
        EXPECT_EQ(run("fclose", s), answer);
        ASSERT_EQ(traps().size(), 1u);
        EXPECT_EQ(traps()[0].eax, kClose);
        EXPECT_EQ(traps()[0].ebx, fd);
    }
    for (uint32_t fd : {0u, 1u, 2u})
        EXPECT_EQ(run("fclose", hand_record(kFdKind, fd)), 0) << fd;
    EXPECT_EQ(guest().calls().size(), 1u);  // the close above alone
}

TEST_F(StdioTest, FcloseWritesTheWholeFileByteForByte)
{
    uint32_t s = fopen("/out.bin", "w");
    const std::string content("he\0llo\xff\n world", 14);
    ASSERT_EQ(run("fwrite", guest().put_bytes({reinterpret_cast<const uint8_t*>(content.data()), 8}), 1, 8, s), 8);
    ASSERT_EQ(run("fputs", str(" world"), s), 6);
    EXPECT_TRUE(no_calls());
    uint32_t path = get(s, kPath), data = get(s, kData);
    EXPECT_EQ(run("fclose", s), 0);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kWritefile, path, data, 14}}));
    EXPECT_EQ(file("out.bin"), content);

    // Never written: an empty file, from an empty string.
    guest().reset();
    s = fopen("/empty", "w");
    path = get(s, kPath);
    EXPECT_EQ(run("fclose", s), 0);
    ASSERT_EQ(traps().size(), 1u);
    EXPECT_EQ(traps()[0], (Trap{kWritefile, path, traps()[0].ecx, 0}));
    EXPECT_EQ(bytes_at(traps()[0].ecx, 1), std::string(1, '\0'));
    EXPECT_EQ(file("empty"), "");
}

TEST_F(StdioTest, FcloseOfAWholeFileFailsWhenTheWriteFails)
{
    struct Row {
        int32_t answer, want;
    } rows[] = {{-5, kFail}, {-1, kFail}, {INT32_MIN, kFail}, {0, 0}, {3, 0}, {INT32_MAX, 0}};
    for (auto [answer, want] : rows) {
        guest().reset();
        uint32_t s = fopen("/out", "w");
        run("fputs", str("abc"), s);
        guest().inject("writefile=" + std::to_string(answer));
        EXPECT_EQ(run("fclose", s), want) << answer;
        EXPECT_EQ(guest().calls().size(), 1u) << answer;
    }
    // Opening an unwritable path succeeds; closing it reports the failure.
    guest().reset();
    uint32_t s = fopen("/no/such/dir/file", "w");
    ASSERT_NE(s, 0u);
    run("fputs", str("lost"), s);
    EXPECT_EQ(run("fclose", s), kFail);
    ASSERT_EQ(guest().calls().size(), 1u);
    EXPECT_LT(guest().calls()[0].answer, 0);
    // Without a path there is nothing to write to.
    forget_calls();
    s = fopen("/out", "w");
    set(s, kPath, 0);
    EXPECT_EQ(run("fclose", s), kFail);
    EXPECT_TRUE(no_calls());
}

TEST_F(StdioTest, FcloseOfAMemoryStreamLeavesTheCallersBuffer)
{
    MemStream m = memstream();
    run("fputs", str("kept"), m.stream);
    uint32_t buf = guest().read_u32(m.bufp);
    EXPECT_EQ(run("fclose", m.stream), 0);
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(guest().read_u32(m.bufp), buf);
    EXPECT_EQ(guest().read_u32(m.sizep), 4u);
    EXPECT_EQ(bytes_at(buf, 5), std::string("kept", 5));
}

TEST_F(StdioTest, AWholeFileStreamStillOpenAtExitNeverReachesTheFile)
{
    ASSERT_EQ(run("fputs", str("data"), fopen("/unsaved", "w")), 4);
    ASSERT_TRUE(guest()("_exit", 0).exited());
    EXPECT_EQ(guest().calls().size(), 1u);  // the exit alone
    EXPECT_EQ(file("unsaved"), "<missing>");
}

// ---- file_write_bytes ---------------------------------------------------------

TEST_F(StdioTest, WriteBytesRefusalsAndEmptyWrites)
{
    MemStream m = memstream();
    uint32_t whole = fopen("/out", "w"), reader = open_read("in.txt", "abc");
    uint32_t fd2 = hand_record(kFdKind, 2), fd1 = hand_record(kFdKind, 1), bad = hand_record(kFdKind, 0xFFFFFFFF);
    guest().write_u32(m.bufp, kCanary);
    guest().write_u32(m.sizep, kCanary);
    const uint32_t used = heap_used();
    uint32_t x = str("x");
    for (uint32_t s : {standard("stdin"), standard("stdout"), m.stream, whole, reader, fd2}) {
        Record before = record(s);
        EXPECT_EQ(run("file_write_bytes", s, x, 0), 0);  // nothing to write: no effect at all
        EXPECT_EQ(run("file_write_bytes", s, 0, 1), kFail);
        EXPECT_EQ(run("file_write_bytes", s, 0, 0), kFail);
        EXPECT_EQ(record(s), before);
    }
    EXPECT_EQ(run("file_write_bytes", 0, x, 1), kFail);
    EXPECT_EQ(run("file_write_bytes", 0, x, 0), kFail);
    for (uint32_t s : {standard("stdin"), reader, fd2, bad})  // only descriptor 1 takes output
        EXPECT_EQ(run("file_write_bytes", s, x, 1), kFail);
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(guest().read_u32(m.bufp), kCanary);
    EXPECT_EQ(guest().read_u32(m.sizep), kCanary);
    EXPECT_EQ(heap_used(), used);
    EXPECT_EQ(run("file_write_bytes", fd1, x, 1), 0);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kWrite, 1, x, 1}}));
    EXPECT_EQ(guest().output(), "x");
}

TEST_F(StdioTest, ConsoleWritesLoopUntilDoneOrRefused)
{
    // Each row: the answers injected, bytes asked for, then (offset, count) of
    // each write call made.  src is 0x1000: injected calls never read memory.
    const uint32_t src = 0x1000, chunk = 0x7FFFFFFF;
    struct Row {
        std::vector<std::string> inject;
        uint32_t n;
        std::vector<std::pair<uint32_t, uint32_t>> writes;
        int32_t want;
    } rows[] = {
        {{"write@1=2", "write@2=3"}, 5, {{0, 5}, {2, 3}}, 0},
        {{"write@1=1", "write@2=1", "write@3=3"}, 5, {{0, 5}, {1, 4}, {2, 3}}, 0},
        {{"write@1=1", "write@2=0"}, 5, {{0, 5}, {1, 4}}, kFail},
        {{"write@1=-5"}, 5, {{0, 5}}, kFail},
        {{"write@1=4", "write@2=-2147483648"}, 5, {{0, 5}, {4, 1}}, kFail},
        {{"write=100"}, 5, {{0, 5}}, 0},  // more than asked for ends the loop
        {{"write=2147483647"}, 0xFFFFFFFF, {{0, chunk}, {chunk, chunk}, {2 * chunk, 1}}, 0},
        {{"write@1=2147483647", "write@2=5"}, 0x80000004, {{0, chunk}, {chunk, 5}}, 0},
    };
    for (const Row& row : rows) {
        guest().reset();
        for (const std::string& rule : row.inject)
            guest().inject(rule);
        std::vector<Trap> want;
        for (auto [offset, count] : row.writes)
            want.push_back({kWrite, 1, src + offset, count});
        EXPECT_EQ(run("file_write_bytes", standard("stdout"), src, row.n), row.want) << row.n;
        EXPECT_EQ(traps(), want) << row.n;
        EXPECT_EQ(record(standard("stdout")), kStdout);  // writes move no position, set no flag
    }
    guest().reset();
    guest().inject("write@1=2");
    EXPECT_EQ(run("fputs", str("hello"), standard("stdout")), 5);
    EXPECT_EQ(guest().output(), "llo");  // the first write was not performed
}

TEST_F(StdioTest, FirstGrowthPicksTheSmallestFittingCapacity)
{
    struct Row {
        uint32_t n, cap;
    } rows[] = {{1, 256},     {255, 256},   {256, 512},   {257, 512},   {511, 512},
                {512, 1024},  {1023, 1024}, {1024, 2048}, {4096, 8192}, {70000, 131072}};
    for (const Row& row : rows) {
        guest().reset();
        for (uint32_t s : {memstream().stream, fopen("/f", "w")}) {
            uint32_t src = guest().alloc(row.n, 'q');
            poison_free_heap();
            ASSERT_EQ(run("file_write_bytes", s, src, row.n), 0) << row.n;
            EXPECT_EQ(get(s, kCap), row.cap) << row.n;
            EXPECT_EQ(get(s, kLen), row.n) << row.n;
            EXPECT_TRUE(in_heap(get(s, kData))) << row.n;
            EXPECT_EQ(bytes_at(get(s, kData), row.n + 1), std::string(row.n, 'q') + '\0') << row.n;
        }
    }
}

TEST_F(StdioTest, LaterGrowthDoublesUntilItFitsAndPublishes)
{
    struct Row {
        uint32_t first, second, cap;
    } rows[] = {{200, 55, 256},   {255, 1, 512},    {255, 256, 512}, {255, 257, 1024},
                {100, 925, 2048}, {300, 212, 1024}, {300, 211, 512}, {1, 5000, 8192}};
    for (const Row& row : rows) {
        guest().reset();
        MemStream m = memstream();
        poison_free_heap();
        ASSERT_EQ(put_z(m.stream, row.first), 0);
        uint32_t old_data = get(m.stream, kData), old_cap = get(m.stream, kCap);
        ASSERT_EQ(run("file_write_bytes", m.stream, guest().alloc(row.second, 'b'), row.second), 0);
        const uint32_t len = row.first + row.second, data = get(m.stream, kData);
        EXPECT_EQ(get(m.stream, kCap), row.cap) << row.first << "+" << row.second;
        EXPECT_EQ(get(m.stream, kLen), len);
        EXPECT_EQ(data != old_data, row.cap != old_cap) << row.first << "+" << row.second;
        EXPECT_EQ(bytes_at(data, len + 1), std::string(row.first, 'z') + std::string(row.second, 'b') + '\0');
        EXPECT_EQ(guest().read_u32(m.bufp), data);
        EXPECT_EQ(guest().read_u32(m.sizep), len);
    }
}

TEST_F(StdioTest, PublishesOnlyForMemoryStreamsWithBothCells)
{
    MemStream m = memstream();
    set(m.stream, kOutSize, 0);
    guest().write_u32(m.bufp, kCanary);
    ASSERT_EQ(put_z(m.stream, 3), 0);
    EXPECT_EQ(guest().read_u32(m.bufp), kCanary);

    uint32_t whole = fopen("/f", "w"), cells = guest().alloc(8);
    guest().write_u32(cells, kCanary);
    guest().write_u32(cells + 4, kCanary);
    set(whole, kOutBuf, cells);
    set(whole, kOutSize, cells + 4);
    ASSERT_EQ(put_z(whole, 3), 0);
    EXPECT_EQ(guest().read(cells, 8), std::vector<uint8_t>({0x0D, 0xF0, 0xFE, 0xCA, 0x0D, 0xF0, 0xFE, 0xCA}));
}

TEST_F(StdioTest, SizesBeyondThirtyTwoBitsOrTheArenaChangeNothing)
{
    struct Row {
        uint32_t first, n;
    } rows[] = {{0, 0xFFFFFFFF}, {0, 0xFFFFFFFE}, {0, 0x80000000},   {5, 0xFFFFFFFA}, {5, 0xFFFFFF00},
                {5, 0x80000000}, {300, 0x7FFFFFFF}, {0, 0x7FFFFFFF}, {5, kArena},     {0, kArena}};
    for (const Row& row : rows) {
        guest().reset();
        MemStream m = memstream();
        if (row.first) {
            ASSERT_EQ(put_z(m.stream, row.first), 0);
        }
        Record before = record(m.stream);
        std::vector<uint8_t> cells = guest().read(m.bufp, 4), size = guest().read(m.sizep, 4);
        // The source is never read when the size is refused.
        EXPECT_EQ(run("file_write_bytes", m.stream, 0x1000, row.n), kFail) << row.first << "+" << row.n;
        EXPECT_EQ(record(m.stream), before);
        EXPECT_EQ(guest().read(m.bufp, 4), cells);
        EXPECT_EQ(guest().read(m.sizep, 4), size);
    }
}

TEST_F(StdioTest, FailedGrowthLeavesStreamAndCallerUntouched)
{
    MemStream m = memstream();
    ASSERT_EQ(put_z(m.stream, 200), 0);
    exhaust_heap();
    EXPECT_EQ(put_z(m.stream, 55), 0);  // the last free byte needs no memory
    Record before = record(m.stream);
    EXPECT_EQ(put_z(m.stream, 1), kFail);
    EXPECT_EQ(record(m.stream), before);
    EXPECT_EQ(guest().read_u32(m.bufp), before[kData / 4]);
    EXPECT_EQ(guest().read_u32(m.sizep), 255u);
    EXPECT_EQ(bytes_at(before[kData / 4], 256), std::string(255, 'z') + '\0');

    // The first write fails the same way: no buffer, cells as open_memstream left them.
    guest().reset();
    m = memstream();
    exhaust_heap();
    EXPECT_EQ(run("fputs", str("x"), m.stream), kFail);
    EXPECT_EQ(record(m.stream), (Record{kMemoryKind, 0, 0, 0, 0, 0, m.bufp, m.sizep, 0, 0, 0}));
    EXPECT_EQ(guest().read_u32(m.bufp), 0u);
    EXPECT_EQ(guest().read_u32(m.sizep), 0u);
}

// ---- open_memstream -------------------------------------------------------------

TEST_F(StdioTest, OpenMemstreamSetsUpRecordAndCells)
{
    MemStream m = memstream();
    EXPECT_TRUE(in_heap(m.stream));
    EXPECT_EQ(record(m.stream), (Record{kMemoryKind, 0, 0, 0, 0, 0, m.bufp, m.sizep, 0, 0, 0}));
    EXPECT_EQ(guest().read_u32(m.bufp), 0u);
    EXPECT_EQ(guest().read_u32(m.sizep), 0u);
    EXPECT_EQ(run("fputs", str("hello"), m.stream), 5);
    EXPECT_EQ(guest().read_u32(m.sizep), 5u);
    EXPECT_EQ(guest().read_u32(m.bufp), get(m.stream, kData));
    EXPECT_EQ(bytes_at(guest().read_u32(m.bufp), 6), std::string("hello", 6));
    EXPECT_EQ(get(m.stream, kCap), 256u);
    // Growing from 256 moves the buffer, and the caller sees the new one.
    const uint32_t first = guest().read_u32(m.bufp);
    ASSERT_EQ(put_z(m.stream, 251), 0);
    EXPECT_EQ(get(m.stream, kCap), 512u);
    EXPECT_NE(get(m.stream, kData), first);
    EXPECT_EQ(guest().read_u32(m.bufp), get(m.stream, kData));
    EXPECT_EQ(guest().read_u32(m.sizep), 256u);
    EXPECT_TRUE(no_calls());
}

TEST_F(StdioTest, OpenMemstreamRefusals)
{
    uint32_t a = guest().alloc(4), b = guest().alloc(4);
    guest().write_u32(a, kCanary);
    guest().write_u32(b, kCanary);
    const uint32_t used = heap_used();
    EXPECT_EQ(ptr("open_memstream", 0, a), 0u);
    EXPECT_EQ(ptr("open_memstream", a, 0), 0u);
    EXPECT_EQ(ptr("open_memstream", 0, 0), 0u);
    EXPECT_EQ(heap_used(), used);
    exhaust_heap();
    EXPECT_EQ(ptr("open_memstream", a, b), 0u);
    EXPECT_EQ(guest().read_u32(a), kCanary);
    EXPECT_EQ(guest().read_u32(b), kCanary);
}

// ---- fwrite, fputc, putchar, fputs, puts -------------------------------------------

TEST_F(StdioTest, FwriteWritesTheWholeProductOrNothing)
{
    MemStream m = memstream();
    uint32_t src = str("abcdefghijkl");
    struct Row {
        uint32_t src, size, count, stream;
    } refused[] = {{0, 1, 1, m.stream},      {src, 0, 5, m.stream},           {src, 5, 0, m.stream},
                   {src, 1, 1, 0},           {src, 0x10000, 0x10000, m.stream}, {src, 0xFFFFFFFF, 2, m.stream},
                   {src, 1, 1, standard("stdin")}};
    for (const Row& row : refused)
        EXPECT_EQ(run("fwrite", row.src, row.size, row.count, row.stream), 0) << row.size << "x" << row.count;
    EXPECT_EQ(record(m.stream), (Record{kMemoryKind, 0, 0, 0, 0, 0, m.bufp, m.sizep, 0, 0, 0}));
    EXPECT_TRUE(no_calls());

    EXPECT_EQ(run("fwrite", src, 3, 4, m.stream), 4);
    EXPECT_EQ(guest().read_cstring(guest().read_u32(m.bufp)), "abcdefghijkl");
    EXPECT_EQ(run("fwrite", src, 4, 1, standard("stdout")), 1);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kWrite, 1, src, 4}}));
    // The largest product that fits: 0x10001 * 0xFFFF = 0xFFFFFFFF bytes.
    forget_calls();
    guest().inject("write=2147483647");
    EXPECT_EQ(run("fwrite", 0x1000, 0x10001, 0xFFFF, standard("stdout")), 0xFFFF);
    ASSERT_EQ(traps().size(), 3u);
    EXPECT_EQ(traps()[2].edx, 1u);
    guest().kernel().clear_injections();
    guest().inject("write=-5");
    EXPECT_EQ(run("fwrite", src, 2, 3, standard("stdout")), 0);
}

TEST_F(StdioTest, FputcWritesTheLowByteAndAnswersTheArgument)
{
    MemStream m = memstream();
    const uint32_t chars[] = {'a', 0x141, 0xFFFFFFFF, 0, 0x80, 0x12345678};
    for (uint32_t ch : chars)
        EXPECT_EQ(uint32_t(run("fputc", ch, m.stream)), ch);
    EXPECT_EQ(bytes_at(get(m.stream, kData), 7), std::string("aA\xff\0\x80x\0", 7));
    EXPECT_EQ(guest().read_u32(m.sizep), 6u);

    EXPECT_EQ(run("fputc", 0x178, standard("stdout")), 0x178);
    ASSERT_EQ(traps().size(), 1u);
    EXPECT_EQ(traps()[0], (Trap{kWrite, 1, traps()[0].ecx, 1}));
    EXPECT_EQ(guest().output(), "x");
    forget_calls();
    EXPECT_EQ(run("fputc", 'x', standard("stdin")), kFail);
    EXPECT_EQ(run("fputc", 'x', 0), kFail);
    EXPECT_TRUE(no_calls());
    guest().inject("write=0");
    EXPECT_EQ(run("fputc", 'x', standard("stdout")), kFail);
    EXPECT_EQ(get(standard("stdout"), kError), 0u);  // failures never set the error flag
}

TEST_F(StdioTest, PutcharFollowsTheCurrentStdout)
{
    EXPECT_EQ(run("putchar", 'a'), 'a');
    EXPECT_EQ(guest().output(), "a");
    MemStream m = memstream();
    make_standard("stdout", m.stream);
    EXPECT_EQ(run("putchar", 0x162), 0x162);
    EXPECT_EQ(guest().read_cstring(guest().read_u32(m.bufp)), "b");
    make_standard("stdout", 0);
    EXPECT_EQ(run("putchar", 'c'), kFail);
    EXPECT_EQ(guest().calls().size(), 1u);
}

TEST_F(StdioTest, FputsAnswersTheLength)
{
    MemStream m = memstream();
    uint32_t empty = str(""), in = standard("stdin");
    struct Row {
        uint32_t s, stream;
        int32_t want;
    } rows[] = {{str("hello"), m.stream, 5}, {empty, m.stream, 0}, {empty, in, 0}, {str("x"), in, kFail},
                {empty, 0, kFail},           {0, m.stream, kFail},  {0, 0, kFail}};
    for (const Row& row : rows)
        EXPECT_EQ(run("fputs", row.s, row.stream), row.want) << &row - rows;
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(guest().read_u32(m.sizep), 5u);
    uint32_t s = str("console");
    EXPECT_EQ(run("fputs", s, standard("stdout")), 7);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kWrite, 1, s, 7}}));
}

TEST_F(StdioTest, PutsWritesTheTextThenTheNewlineSeparately)
{
    uint32_t s = str("x");
    EXPECT_EQ(run("puts", s), 0);
    ASSERT_EQ(traps().size(), 2u);
    EXPECT_EQ(traps()[0], (Trap{kWrite, 1, s, 1}));
    EXPECT_EQ(traps()[1], (Trap{kWrite, 1, traps()[1].ecx, 1}));
    EXPECT_EQ(run("puts", 0), kFail);
    EXPECT_EQ(run("puts", str("")), 0);
    EXPECT_EQ(traps().size(), 3u);  // the newline alone
    EXPECT_EQ(guest().output(), "x\n\n");

    MemStream m = memstream();
    make_standard("stdout", m.stream);
    EXPECT_EQ(run("puts", str("one")), 0);
    EXPECT_EQ(run("puts", str("two")), 0);
    EXPECT_EQ(guest().read_cstring(guest().read_u32(m.bufp)), "one\ntwo\n");
    EXPECT_EQ(guest().read_u32(m.sizep), 8u);
}

TEST_F(StdioTest, PutsStopsAtTheFirstFailure)
{
    guest().inject("write@1=-5");
    EXPECT_EQ(run("puts", str("ab")), kFail);
    EXPECT_EQ(traps().size(), 1u);
    guest().reset();
    guest().inject("write@2=0");
    EXPECT_EQ(run("puts", str("ab")), kFail);
    EXPECT_EQ(traps().size(), 2u);
    EXPECT_EQ(guest().output(), "ab");
    guest().reset();
    make_standard("stdout", standard("stdin"));
    EXPECT_EQ(run("puts", str("ab")), kFail);
    EXPECT_EQ(run("puts", str("")), kFail);  // the newline is refused
    EXPECT_TRUE(no_calls());
}

// ---- fgetc, getchar, fread ------------------------------------------------------

TEST_F(StdioTest, GetcharReadsByteByByteThenReportsTheEnd)
{
    guest().feed_input(std::string("a\xff", 2));
    const uint32_t in = standard("stdin");
    EXPECT_EQ(run("getchar"), 'a');
    EXPECT_EQ(run("getchar"), 0xFF);
    EXPECT_EQ(get(in, kEof), 0u);
    EXPECT_EQ(run("getchar"), kFail);
    EXPECT_EQ(run("feof", in), 1);
    EXPECT_EQ(get(in, kPos), 2u);
    ASSERT_EQ(traps().size(), 3u);
    for (const Trap& t : traps())
        EXPECT_EQ(t, (Trap{kRead, 0, t.ecx, 1}));
    // The end is cleared without any seek.
    forget_calls();
    run("rewind", in);
    EXPECT_EQ(record(in), (Record{kFdKind, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0}));
    EXPECT_TRUE(no_calls());
}

TEST_F(StdioTest, FgetcTakesOddAnswersAsTheyCome)
{
    const uint32_t in = standard("stdin");
    guest().inject("read@1=2");
    guest().inject("read@2=-5");
    EXPECT_EQ(run("fgetc", in), kFail);  // two bytes for one: no byte to give
    EXPECT_EQ(record(in), (Record{kFdKind, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(run("fgetc", in), kFail);
    EXPECT_EQ(record(in), (Record{kFdKind, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1}));
}

TEST_F(StdioTest, FgetcRefusesStreamsThatCannotBeRead)
{
    MemStream m = memstream();
    run("fputs", str("data"), m.stream);
    uint32_t whole = fopen("/f", "w");
    for (uint32_t s : {m.stream, whole}) {
        Record before = record(s);
        EXPECT_EQ(run("fgetc", s), kFail);
        EXPECT_EQ(record(s), before);
    }
    EXPECT_EQ(run("fgetc", 0), kFail);
    make_standard("stdin", 0);
    EXPECT_EQ(run("getchar"), kFail);
    EXPECT_TRUE(no_calls());
    // getchar follows the current stdin.
    uint32_t f = open_read("in.txt", "q");
    make_standard("stdin", f);
    EXPECT_EQ(run("getchar"), 'q');
    EXPECT_EQ(traps()[0].ebx, get(f, kFd));
    EXPECT_EQ(get(f, kPos), 1u);
}

TEST_F(StdioTest, FreadTakesWholeItemsInOneCall)
{
    uint32_t f = open_read("ten", "0123456789");
    const uint32_t fd = get(f, kFd);
    uint32_t buf = guest().alloc(16, 0xEE);
    EXPECT_EQ(run("fread", buf, 4, 3, f), 2);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kRead, fd, buf, 12}}));
    EXPECT_EQ(bytes_at(buf, 12), "0123456789\xee\xee");
    EXPECT_EQ(record(f), (Record{kFdKind, fd, 0, 0, 0, 0, 0, 0, 0, 10, 1}));
    EXPECT_EQ(run("fread", buf, 4, 3, f), 0);
    EXPECT_EQ(record(f), (Record{kFdKind, fd, 0, 0, 0, 0, 0, 0, 0, 10, 1}));
    EXPECT_EQ(traps().size(), 2u);

    f = open_read("twelve", "abcdefghijkl");
    EXPECT_EQ(run("fread", buf, 4, 3, f), 3);  // exactly what is left: no end yet
    EXPECT_EQ(get(f, kEof), 0u);
    EXPECT_EQ(get(f, kPos), 12u);
    EXPECT_EQ(bytes_at(buf, 12), "abcdefghijkl");
}

TEST_F(StdioTest, FreadPassesTheWholeProductAndRoundsDown)
{
    const uint32_t in = standard("stdin");
    uint32_t buf = guest().alloc(16);
    guest().inject("read=131074");  // two items of 0x10001 bytes
    EXPECT_EQ(run("fread", buf, 0x10001, 0xFFFF, in), 2);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kRead, 0, buf, 0x7FFFFFFF}}));  // the wrapper's largest count
    EXPECT_EQ(record(in), (Record{kFdKind, 0, 0, 0, 0, 0, 0, 0, 0, 131074, 1}));
    guest().reset();
    guest().inject("read=7");
    EXPECT_EQ(run("fread", buf, 4, 2, in), 1);
    guest().reset();
    guest().inject("read=-9");
    EXPECT_EQ(run("fread", buf, 4, 2, in), 0);
    EXPECT_EQ(record(in), (Record{kFdKind, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST_F(StdioTest, FreadRefusalsTouchNothing)
{
    MemStream m = memstream();
    const uint32_t in = standard("stdin");
    uint32_t buf = guest().alloc(16);
    struct Row {
        uint32_t dst, size, count, stream;
    } rows[] = {{0, 1, 1, in},         {buf, 0, 4, in},             {buf, 4, 0, in}, {buf, 1, 1, 0},
                {buf, 1, 4, m.stream}, {buf, 0x10000, 0x10000, in}, {buf, 0xFFFFFFFF, 0xFFFFFFFF, in}};
    for (const Row& row : rows)
        EXPECT_EQ(run("fread", row.dst, row.size, row.count, row.stream), 0) << &row - rows;
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(record(in), kStdin);
    EXPECT_EQ(get(m.stream, kEof), 0u);
}

// ---- fseek, ftell, rewind, flags ---------------------------------------------------

TEST_F(StdioTest, OnlyStreamsOverTheirOwnDescriptorHaveAPosition)
{
    uint32_t whole = fopen("/f", "w");
    for (uint32_t s : {0u, standard("stdin"), standard("stdout"), standard("stderr"), hand_record(kFdKind, 2),
                       hand_record(kFdKind, 0xFFFFFFFF), memstream().stream, whole}) {
        EXPECT_EQ(run("fseek", s, 0, 0), kFail) << s;
        EXPECT_EQ(run("ftell", s), kFail) << s;
    }
    EXPECT_TRUE(no_calls());
}

TEST_F(StdioTest, FseekMovesToWhereTheKernelSays)
{
    uint32_t f = open_read("ten", "0123456789");
    const uint32_t fd = get(f, kFd);
    run("fread", guest().alloc(16), 1, 16, f);
    set(f, kError, 1);
    forget_calls();
    EXPECT_EQ(run("fseek", f, 5, 0), 0);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kLseek, fd, 5, 0}}));
    EXPECT_EQ(record(f), (Record{kFdKind, fd, 0, 0, 0, 0, 0, 0, 1, 5, 0}));  // error stays
    EXPECT_EQ(run("ftell", f), 5);
    EXPECT_EQ(run("fgetc", f), '5');
    EXPECT_EQ(run("fseek", f, -2, 1), 0);
    EXPECT_EQ(traps().back(), (Trap{kLseek, fd, 0xFFFFFFFE, 1}));
    EXPECT_EQ(run("ftell", f), 4);
    EXPECT_EQ(run("fseek", f, -3, 2), 0);
    EXPECT_EQ(run("ftell", f), 7);
    // A refused seek changes nothing.
    set(f, kEof, 1);
    Record before = record(f);
    EXPECT_EQ(run("fseek", f, -100, 0), kFail);
    EXPECT_LT(guest().calls().back().answer, 0);
    guest().inject("lseek=-22");
    EXPECT_EQ(run("fseek", f, 1, 0), kFail);
    EXPECT_EQ(record(f), before);
}

TEST_F(StdioTest, RewindGoesBackToTheStartAndClearsTheFlags)
{
    uint32_t f = open_read("ten", "0123456789");
    const uint32_t fd = get(f, kFd);
    run("fread", guest().alloc(16), 1, 16, f);
    set(f, kError, 1);
    forget_calls();
    run("rewind", f);
    EXPECT_EQ(traps(), (std::vector<Trap>{{kLseek, fd, 0, 0}}));
    EXPECT_EQ(record(f), (Record{kFdKind, fd, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(run("fgetc", f), '0');
    // A refused seek keeps the position; the flags are cleared all the same.
    set(f, kEof, 1);
    set(f, kError, 1);
    guest().inject("lseek=-5");
    run("rewind", f);
    EXPECT_EQ(record(f), (Record{kFdKind, fd, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
    // Every other kind: the flags alone, no call.
    forget_calls();
    MemStream m = memstream();
    run("fputs", str("abc"), m.stream);
    for (uint32_t s : {m.stream, fopen("/f", "w"), standard("stdout"), standard("stdin")}) {
        set(s, kEof, 1);
        set(s, kError, 1);
        set(s, kPos, 3);
        Record want = record(s);
        want[kEof / 4] = want[kError / 4] = 0;
        run("rewind", s);
        EXPECT_EQ(record(s), want);
    }
    run("rewind", 0);
    EXPECT_TRUE(no_calls());
}

TEST_F(StdioTest, FlagQueriesFlushAndSetbuf)
{
    EXPECT_EQ(run("feof", 0), 1);
    EXPECT_EQ(run("ferror", 0), 1);
    MemStream m = memstream();
    EXPECT_EQ(run("feof", m.stream), 0);
    EXPECT_EQ(run("ferror", m.stream), 0);
    set(m.stream, kEof, 1);
    set(m.stream, kError, 5);
    EXPECT_EQ(run("feof", m.stream), 1);
    EXPECT_EQ(run("ferror", m.stream), 5);
    Record before = record(m.stream);
    for (uint32_t s : {0u, m.stream, standard("stdout")})
        EXPECT_EQ(run("fflush", s), 0);
    run("setbuf", m.stream, guest().alloc(64));
    run("setbuf", standard("stdout"), 0);
    EXPECT_EQ(record(m.stream), before);
    EXPECT_EQ(record(standard("stdout")), kStdout);
    EXPECT_TRUE(no_calls());
}

TEST_F(StdioTest, AFileWrittenThroughOneStreamReadsBackThroughAnother)
{
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content += char(i * 7);
    uint32_t out = fopen("/round", "w");
    uint32_t src = guest().put_bytes({reinterpret_cast<const uint8_t*>(content.data()), content.size()});
    ASSERT_EQ(run("fwrite", src, 1000, 3, out), 3);
    EXPECT_EQ(get(out, kCap), 4096u);
    ASSERT_EQ(run("fclose", out), 0);
    EXPECT_EQ(file("round"), content);
    uint32_t in = fopen("/round", "rb"), dst = guest().alloc(3000);
    EXPECT_EQ(run("fread", dst, 3000, 1, in), 1);
    EXPECT_EQ(bytes_at(dst, 3000), content);
    EXPECT_EQ(run("fgetc", in), kFail);
    EXPECT_EQ(run("feof", in), 1);
    EXPECT_EQ(run("fclose", in), 0);
}

} // namespace
} // namespace vekos::test
