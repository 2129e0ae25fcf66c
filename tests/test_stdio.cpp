// Streams on the real i386 code: records word by word, kernel calls register
// by register, buffers and files byte by byte.
#include "harness.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace vekos::test {
namespace {

enum Call : uint32_t { kWrite = 1, kRead = 3, kOpen = 4, kClose = 5, kWritefile = 21, kLseek = 110 };
enum Kind : uint32_t { kFdKind = 1, kMemoryKind = 2, kFileWriteKind = 3 };
// Byte offsets of the record's fields.
enum Field : uint32_t {
    kKind = 0,
    kFd = 4,
    kPath = 8,
    kData = 12,
    kLen = 16,
    kCap = 20,
    kOutBuf = 24,
    kOutSize = 28,
    kError = 32,
    kPos = 36,
    kEof = 40
};
constexpr uint32_t kArena = 0x100000;
constexpr uint32_t kCanary = 0xCAFEF00D;
constexpr int32_t kFail = -1;

using Record = std::vector<uint32_t>; // the 11 words
Record fd_record(uint32_t fd, uint32_t pos = 0, uint32_t eof = 0, uint32_t err = 0)
{
    return {kFdKind, fd, 0, 0, 0, 0, 0, 0, err, pos, eof};
}
const Record kStdin = fd_record(0), kStdout = fd_record(1);

std::string bytes_of(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

using Trap = std::array<uint32_t, 4>; // eax, ebx, ecx, edx at the trap

struct MemStream {
    uint32_t stream, bufp, sizep;
    Record fresh() const { return {kMemoryKind, 0, 0, 0, 0, 0, bufp, sizep, 0, 0, 0}; }
};
using Traps = std::vector<Trap>;

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
    uint32_t ptr(std::string_view function, Args... args)
    {
        return uint32_t(run(function, args...));
    }
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
    std::string bytes_at(uint32_t addr, uint32_t len) { return bytes_of(guest().read(addr, len)); }
    Traps traps()
    {
        Traps out;
        for (const CallRecord& c : guest().calls())
            out.push_back({c.in.eax, c.in.ebx, c.in.ecx, c.in.edx});
        return out;
    }
    bool no_calls() { return guest().calls().empty(); }
    uint32_t cell(uint32_t addr) { return guest().read_u32(addr); }
    std::string published(const MemStream& m) { return guest().read_cstring(cell(m.bufp)); }
    std::pair<uint32_t, uint32_t> cells(const MemStream& m) { return {cell(m.bufp), cell(m.sizep)}; }
    void forget_calls() { guest().kernel().clear_log(); }
    uint32_t heap_used() { return guest().global_u32("g_heap_used"); }
    bool in_heap(uint32_t addr) { return addr - guest().symbol("g_heap") < kArena; }
    void exhaust_heap()
    {
        for (uint32_t size = kArena; size > 0;)
            if (ptr("malloc", size) == 0)
                size /= 2;
        ASSERT_EQ(ptr("malloc", 1), 0u);
    }
    void poison_free_heap() // non-zero bytes in the arena not yet handed out
    {
        guest().machine().memory().poke(
            guest().symbol("g_heap") + heap_used(), std::vector<uint8_t>(kArena - heap_used(), 0xEE));
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
    uint32_t hand_fd(uint32_t fd) // a descriptor record from the heap like any other
    {
        uint32_t s = ptr("calloc", 1, 44);
        set(s, kKind, kFdKind);
        set(s, kFd, fd);
        return s;
    }
    uint32_t bytes(const std::string& b)
    {
        return guest().put_bytes({reinterpret_cast<const uint8_t*>(b.data()), b.size()});
    }
    std::string file(const std::string& name)
    {
        std::ifstream in(guest().root() / name, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
    }
    int32_t put_z(uint32_t stream, uint32_t n)
    {
        return run("file_write_bytes", stream, guest().alloc(n, 'z'), n);
    } // n 'z's
};

TEST_F(StdioTest, FopenOpensForReadingTouchesNoFileForWritingAndGivesStandardStreams)
{
    for (const char* mode : {"r", "rb", "r+", "read", "w", "wb", "w+"}) {
        guest().reset();
        std::ofstream(guest().root() / "in.txt") << "abc";
        uint32_t path = str("/in.txt"), s = ptr("fopen", path, str(mode));
        ASSERT_TRUE(in_heap(s)) << mode;
        if (mode[0] == 'r') {
            ASSERT_EQ(traps(), (Traps{{kOpen, path, 0, 0}})) << mode;
            int32_t fd = guest().calls()[0].answer;
            EXPECT_GT(fd, 2) << mode;
            EXPECT_EQ(record(s), fd_record(uint32_t(fd))) << mode;
            continue;
        }
        uint32_t copy = get(s, kPath);
        EXPECT_TRUE(in_heap(copy) && copy != path) << mode;
        EXPECT_EQ(guest().read_cstring(copy), "/in.txt") << mode;
        EXPECT_EQ(record(s), (Record{kFileWriteKind, 0, copy, 0, 0, 0, 0, 0, 0, 0, 0})) << mode;
        EXPECT_TRUE(no_calls()) << mode;
        EXPECT_EQ(file("in.txt"), "abc") << mode;
    }
    const uint32_t used = heap_used();
    EXPECT_EQ(fopen("/absent", "r"), 0u); // a missing file: null, and no record
    ASSERT_EQ(guest().calls().size(), 1u);
    EXPECT_LT(guest().calls()[0].answer, 0);
    EXPECT_EQ(heap_used(), used);
    ASSERT_NE(ptr("malloc", kArena / 2), 0u); // room for the record but not for this copy of the path
    EXPECT_EQ(fopen(std::string(kArena / 2 + 16, 'p'), "w"), 0u);
    EXPECT_NE(fopen("/short", "w"), 0u);
    exhaust_heap(); // no memory for the record: the new descriptor is closed again
    forget_calls();
    EXPECT_EQ(fopen("/in.txt", "r"), 0u);
    ASSERT_EQ(traps().size(), 2u);
    EXPECT_EQ(traps()[1][0], kClose);
    EXPECT_EQ(int32_t(traps()[1][1]), guest().calls()[0].answer);
    forget_calls(); // the standard streams, and what fopen of "-" or no path gives
    for (const char* name : {"stdin", "stdout", "stderr"})
        EXPECT_EQ(standard(name), guest().symbol(std::string("g_") + name));
    for (auto [name, want] :
        {std::pair{"g_stdin", kStdin}, {"g_stdout", kStdout}, {"g_stderr", kStdout}}) // stderr: 1 too
        EXPECT_EQ(record(guest().symbol(name)), want) << name;
    uint32_t s = str("oops");
    EXPECT_EQ(run("fputs", s, standard("stderr")), 4);
    EXPECT_EQ(traps(), (Traps{{kWrite, 1, s, 4}}));
    forget_calls();
    const uint32_t in = standard("stdin"), out = standard("stdout"), full = heap_used();
    for (auto [path, mode, want] : // nullptr: none
        {std::tuple<const char*, const char*, uint32_t>{nullptr, "r", in}, {nullptr, "w", out}, {"-", "r", in},
            {"-", "rb", in}, {"-", "w", out}, {"-", "w+", out}, {"-", "a", 0}, {"-", "", 0}, {nullptr, "a", 0},
            {"-", nullptr, 0}, {nullptr, nullptr, 0}, {"/in.txt", nullptr, 0}, {"/in.txt", "a", 0},
            {"/in.txt", "a+", 0}, {"/in.txt", "", 0}, {"/in.txt", "R", 0}, {"/in.txt", " r", 0}, {"/in.txt", "x", 0}})
        EXPECT_EQ(ptr("fopen", path ? str(path) : 0, mode ? str(mode) : 0), want)
            << (path ? path : "null") << " '" << (mode ? mode : "null") << "'";
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(heap_used(), full);
    make_standard("stdin", 0x1234); // the pointer variables are read at each call
    make_standard("stdout", 0x5678);
    EXPECT_EQ(ptr("fopen", 0, str("r")), 0x1234u);
    EXPECT_EQ(fopen("-", "w"), 0x5678u);
}

TEST_F(StdioTest, FcloseLeavesStandardStreamsWritesWholeFilesAndPassesOnTheAnswer)
{
    EXPECT_EQ(run("fclose", 0), kFail);
    for (const char* name : {"stdin", "stdout", "stderr"})
        EXPECT_EQ(run("fclose", standard(name)), 0) << name;
    EXPECT_EQ(record(guest().symbol("g_stdout")), kStdout);
    uint32_t reader = open_read("in.txt", "abc"), whole = fopen("/out", "w");
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
    EXPECT_EQ(run("getchar"), 'a'); // still open
    EXPECT_EQ(run("puts", str("hi")), 0);
    EXPECT_EQ(published(m), "hi\n");
    forget_calls(); // a memory stream of its own: closed without a call, the caller's buffer kept
    m = memstream();
    run("fputs", str("kept"), m.stream);
    const uint32_t buf = cell(m.bufp);
    EXPECT_EQ(run("fclose", m.stream), 0);
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(cells(m), std::pair(buf, 4u));
    EXPECT_EQ(bytes_at(buf, 5), std::string("kept", 5));
    std::string big(3000, '\0'); // a whole file is written at the close, byte for byte, and reads back
    std::iota(big.begin(), big.end(), '\0');
    const std::string content = std::string("he\0llo\xff\n world", 14) + big;
    uint32_t s = fopen("/out.bin", "w");
    ASSERT_EQ(run("fwrite", bytes(content.substr(0, 8)), 1, 8, s), 8);
    ASSERT_EQ(run("fputs", str(" world"), s), 6);
    ASSERT_EQ(run("fwrite", bytes(big), 1000, 3, s), 3);
    EXPECT_EQ(get(s, kCap), 4096u);
    EXPECT_TRUE(no_calls());
    uint32_t path = get(s, kPath), data = get(s, kData);
    EXPECT_EQ(run("fclose", s), 0);
    EXPECT_EQ(traps(), (Traps{{kWritefile, path, data, 3014}}));
    EXPECT_EQ(file("out.bin"), content);
    uint32_t in = fopen("/out.bin", "rb"), dst = guest().alloc(3014);
    EXPECT_EQ(run("fread", dst, 3014, 1, in), 1);
    EXPECT_EQ(bytes_at(dst, 3014), content);
    guest().reset(); // never written: an empty file, from an empty string
    s = fopen("/empty", "w");
    path = get(s, kPath);
    EXPECT_EQ(run("fclose", s), 0);
    ASSERT_EQ(traps().size(), 1u);
    EXPECT_EQ(traps()[0], (Trap{kWritefile, path, traps()[0][2], 0}));
    EXPECT_EQ(bytes_at(traps()[0][2], 1), std::string(1, '\0'));
    EXPECT_EQ(file("empty"), "");
    for (int32_t answer : {0, -9, 7}) { // fclose passes on the kernel's answer
        guest().reset();
        s = open_read("in.txt", "abc");
        const uint32_t fd = get(s, kFd);
        guest().inject("close=" + std::to_string(answer));
        EXPECT_EQ(run("fclose", s), answer);
        ASSERT_EQ(traps().size(), 1u);
        EXPECT_EQ(std::pair(traps()[0][0], traps()[0][1]), std::pair(uint32_t(kClose), fd));
    }
    for (uint32_t fd : {0u, 1u, 2u})
        EXPECT_EQ(run("fclose", hand_fd(fd)), 0) << fd;
    EXPECT_EQ(guest().calls().size(), 1u); // the close above alone
    // A whole file fails when its write fails; more than asked for is success.
    for (auto [answer, want] :
        {std::pair{-5, kFail}, {-1, kFail}, {INT32_MIN, kFail}, {0, 0}, {3, 0}, {INT32_MAX, 0}}) {
        guest().reset();
        s = fopen("/out", "w");
        run("fputs", str("abc"), s);
        guest().inject("writefile=" + std::to_string(answer));
        EXPECT_EQ(run("fclose", s), want) << answer;
        EXPECT_EQ(guest().calls().size(), 1u) << answer;
    }
    guest().reset(); // an unwritable path opens; closing it reports the failure
    s = fopen("/no/such/dir/file", "w");
    ASSERT_NE(s, 0u);
    run("fputs", str("lost"), s);
    EXPECT_EQ(run("fclose", s), kFail);
    ASSERT_EQ(guest().calls().size(), 1u);
    EXPECT_LT(guest().calls()[0].answer, 0);
    forget_calls(); // without a path there is nothing to write to
    s = fopen("/out", "w");
    set(s, kPath, 0);
    EXPECT_EQ(run("fclose", s), kFail);
    EXPECT_TRUE(no_calls());
    guest().reset(); // still open at exit: never reaches the file
    ASSERT_EQ(run("fputs", str("data"), fopen("/unsaved", "w")), 4);
    ASSERT_TRUE(guest()("_exit", 0).exited());
    EXPECT_EQ(guest().calls().size(), 1u); // the exit alone
    EXPECT_EQ(file("unsaved"), "<missing>");
}

TEST_F(StdioTest, RefusalsAndFailedGrowthMakeNoCallAndChangeNothing)
{
    MemStream m = memstream();
    const uint32_t in = standard("stdin"), out = standard("stdout"), err = standard("stderr"), whole = fopen("/f", "w");
    const uint32_t reader = open_read("in.txt", "abc"), fd2 = hand_fd(2), bad = hand_fd(0xFFFFFFFF), odd = hand_fd(1);
    set(odd, kKind, 7); // a kind no opener makes, over descriptor 1
    uint32_t buf = guest().alloc(16), x = str("x"), empty = str(""), used = heap_used();
    guest().write_u32(m.bufp, kCanary);
    guest().write_u32(m.sizep, kCanary);
    const uint32_t streams[] = {in, out, err, m.stream, whole, reader, fd2, bad, odd};
    std::vector<Record> before;
    for (uint32_t s : streams)
        before.push_back(record(s));
    const std::tuple<const char*, std::vector<uint32_t>, int32_t> rows[] = {
        // function, arguments, answer
        {"fwrite", {0, 1, 1, m.stream}, 0},
        {"fwrite", {x, 0, 5, m.stream}, 0},
        {"fwrite", {x, 5, 0, m.stream}, 0},
        {"fwrite", {x, 1, 1, 0}, 0},
        {"fwrite", {x, 0x10000, 0x10000, m.stream}, 0},
        {"fwrite", {x, 0xFFFFFFFF, 2, m.stream}, 0},
        {"fwrite", {x, 1, 1, in}, 0},
        {"fread", {0, 1, 1, in}, 0},
        {"fread", {buf, 0, 4, in}, 0},
        {"fread", {buf, 4, 0, in}, 0},
        {"fread", {buf, 1, 1, 0}, 0},
        {"fread", {buf, 1, 4, m.stream}, 0},
        {"fread", {buf, 0x10000, 0x10000, in}, 0},
        {"fread", {buf, 0xFFFFFFFF, 0xFFFFFFFF, in}, 0},
        {"fputs", {empty, m.stream}, 0},
        {"fputs", {empty, in}, 0},
        {"fputs", {x, in}, kFail},
        {"fputs", {empty, 0}, kFail},
        {"fputs", {0, m.stream}, kFail},
        {"fputs", {0, 0}, kFail},
        {"fputc", {'x', in}, kFail},
        {"fputc", {'x', 0}, kFail},
        {"fgetc", {m.stream}, kFail},
        {"fgetc", {whole}, kFail},
        {"fgetc", {0}, kFail},
        {"file_write_bytes", {0, x, 1}, kFail},
        {"file_write_bytes", {0, x, 0}, kFail},
        {"fclose", {odd}, kFail},
    };
    for (const auto& [fn, args, want] : rows)
        EXPECT_EQ(guest().call(fn, args).value(), want) << fn << " " << ::testing::PrintToString(args);
    for (uint32_t s : {in, out, m.stream, whole, reader, fd2}) {
        EXPECT_EQ(run("file_write_bytes", s, x, 0), 0) << s; // nothing to write: no effect at all
        EXPECT_EQ(run("file_write_bytes", s, 0, 1), kFail) << s;
        EXPECT_EQ(run("file_write_bytes", s, 0, 0), kFail) << s;
    }
    for (uint32_t s : {in, reader, fd2, bad, odd}) // only descriptor 1 takes output, and only as a descriptor
        EXPECT_EQ(run("file_write_bytes", s, x, 1), kFail) << s;
    for (uint32_t s : {0u, in, out, err, fd2, bad, m.stream, whole}) { // only own descriptors have a position
        EXPECT_EQ(run("fseek", s, 0, 0), kFail) << s;
        EXPECT_EQ(run("ftell", s), kFail) << s;
    }
    EXPECT_TRUE(no_calls());
    for (size_t i = 0; i < std::size(streams); ++i)
        EXPECT_EQ(record(streams[i]), before[i]) << i;
    EXPECT_EQ(before[0], kStdin);
    EXPECT_EQ(before[3], m.fresh());
    EXPECT_EQ(cells(m), std::pair(kCanary, kCanary));
    EXPECT_EQ(heap_used(), used);
    for (auto [first, n] : {std::pair{0u, 0xFFFFFFFFu}, {0u, 0xFFFFFFFEu}, {0u, 0x80000000u}, {5u, 0xFFFFFFFAu},
             {5u, 0xFFFFFF00u}, {5u, 0x80000000u}, {300u, 0x7FFFFFFFu}, {0u, 0x7FFFFFFFu}, {5u, kArena},
             {0u, kArena}}) { // sizes beyond 32 bits or the arena
        guest().reset();
        MemStream m = memstream();
        ASSERT_EQ(put_z(m.stream, first), 0);
        Record before = record(m.stream);
        const auto published_cells = cells(m);
        EXPECT_EQ(run("file_write_bytes", m.stream, 0x1000, n), kFail) << first << "+" << n; // 0x1000 is never read
        EXPECT_EQ(record(m.stream), before);
        EXPECT_EQ(cells(m), published_cells);
    }
    guest().reset(); // failed growth
    m = memstream();
    ASSERT_EQ(put_z(m.stream, 200), 0);
    exhaust_heap();
    EXPECT_EQ(put_z(m.stream, 55), 0); // the last free byte needs no memory
    Record full = record(m.stream);
    EXPECT_EQ(put_z(m.stream, 1), kFail);
    EXPECT_EQ(record(m.stream), full);
    EXPECT_EQ(cells(m), std::pair(full[kData / 4], 255u));
    EXPECT_EQ(bytes_at(full[kData / 4], 256), std::string(255, 'z') + '\0');
    guest().reset(); // the first write fails the same way: no buffer, cells as open_memstream left them
    m = memstream();
    EXPECT_TRUE(in_heap(m.stream));
    used = heap_used();
    for (auto [bufp, sizep] : {std::pair{0u, m.bufp}, {m.bufp, 0u}, {0u, 0u}}) // open_memstream refuses
        EXPECT_EQ(ptr("open_memstream", bufp, sizep), 0u);
    EXPECT_EQ(heap_used(), used);
    exhaust_heap();
    EXPECT_EQ(run("fputs", str("x"), m.stream), kFail);
    EXPECT_EQ(record(m.stream), m.fresh());
    EXPECT_EQ(cells(m), std::pair(0u, 0u));
    uint32_t a = guest().alloc(8, 0x5A);
    EXPECT_EQ(ptr("open_memstream", a, a + 4), 0u); // no memory for the record
    EXPECT_EQ(guest().read(a, 8), std::vector<uint8_t>(8, 0x5A));
}

TEST_F(StdioTest, ConsoleWritesLoopUntilDoneOrRefusedAndFwriteWritesWholeProducts)
{
    uint32_t x = str("x");
    EXPECT_EQ(run("file_write_bytes", hand_fd(1), x, 1), 0); // any record over descriptor 1
    EXPECT_EQ(traps(), (Traps{{kWrite, 1, x, 1}}));
    EXPECT_EQ(guest().output(), "x");
    // The rules injected, bytes asked for, (offset, count) of each write made.  Injected calls read no memory.
    const uint32_t src = 0x1000, chunk = 0x7FFFFFFF;
    const std::tuple<std::vector<std::string>, uint32_t, std::vector<std::pair<uint32_t, uint32_t>>, int32_t> rows[] = {
        {{"write@1=2", "write@2=3"}, 5, {{0, 5}, {2, 3}}, 0},
        {{"write@1=1", "write@2=0"}, 5, {{0, 5}, {1, 4}}, kFail},
        {{"write@1=1", "write@2=1", "write@3=3"}, 5, {{0, 5}, {1, 4}, {2, 3}}, 0},
        {{"write@1=-5"}, 5, {{0, 5}}, kFail},
        {{"write@1=4", "write@2=-2147483648"}, 5, {{0, 5}, {4, 1}}, kFail},
        {{"write=100"}, 5, {{0, 5}}, 0},
        {{"write=2147483647"}, 0xFFFFFFFF, {{0, chunk}, {chunk, chunk}, {2 * chunk, 1}}, 0},
        {{"write@1=2147483647", "write@2=5"}, 0x80000004, {{0, chunk}, {chunk, 5}}, 0},
    };
    for (const auto& [rules, n, writes, answer] : rows) {
        guest().reset();
        for (const std::string& rule : rules)
            guest().inject(rule);
        Traps want;
        for (auto [offset, count] : writes)
            want.push_back({kWrite, 1, src + offset, count});
        EXPECT_EQ(run("file_write_bytes", standard("stdout"), src, n), answer) << n;
        EXPECT_EQ(traps(), want) << n;
        EXPECT_EQ(record(standard("stdout")), kStdout); // writes move no position, set no flag
    }
    guest().reset();
    guest().inject("write@1=2");
    EXPECT_EQ(run("fputs", str("hello"), standard("stdout")), 5);
    EXPECT_EQ(guest().output(), "llo"); // the first write was not performed
    guest().reset();                    // fwrite and fputs write the whole product
    MemStream m = memstream();
    uint32_t text = str("abcdefghijkl"), out = standard("stdout");
    EXPECT_EQ(run("fwrite", text, 3, 4, m.stream), 4);
    EXPECT_EQ(published(m), "abcdefghijkl");
    EXPECT_EQ(run("fputs", str("mno"), m.stream), 3);
    EXPECT_EQ(cells(m), std::pair(get(m.stream, kData), 15u));
    EXPECT_EQ(published(m), "abcdefghijklmno");
    EXPECT_TRUE(no_calls());
    EXPECT_EQ(run("fwrite", text, 4, 1, out), 1);
    uint32_t s = str("console");
    EXPECT_EQ(run("fputs", s, out), 7);
    EXPECT_EQ(traps(), (Traps{{kWrite, 1, text, 4}, {kWrite, 1, s, 7}}));
    forget_calls(); // the largest product that fits: 0x10001 * 0xFFFF = 0xFFFFFFFF bytes
    guest().inject("write=2147483647");
    EXPECT_EQ(run("fwrite", 0x1000, 0x10001, 0xFFFF, out), 0xFFFF);
    ASSERT_EQ(traps().size(), 3u);
    EXPECT_EQ(traps()[2][3], 1u);
    guest().kernel().clear_injections();
    guest().inject("write=-5");
    EXPECT_EQ(run("fwrite", text, 2, 3, out), 0);
}

TEST_F(StdioTest, GrowthPicksTheSmallestFittingCapacityThenDoublesAndPublishes)
{
    // Bytes already written, bytes added, capacity afterwards; nothing written first is the first growth.
    const uint32_t rows[][3] = {{0, 1, 256}, {0, 255, 256}, {0, 256, 512}, {0, 257, 512}, {0, 511, 512}, {0, 512, 1024},
        {0, 1023, 1024}, {0, 1024, 2048}, {0, 4096, 8192}, {0, 70000, 131072}, {200, 55, 256}, {255, 1, 512},
        {255, 256, 512}, {255, 257, 1024}, {100, 925, 2048}, {300, 212, 1024}, {300, 211, 512}, {1, 5000, 8192}};
    for (auto [first, second, cap] : rows) {
        guest().reset();
        MemStream m = memstream();
        for (uint32_t s : {m.stream, fopen("/f", "w")}) {
            poison_free_heap(); // a terminating NUL cannot come from fresh memory
            ASSERT_EQ(put_z(s, first), 0);
            uint32_t old_data = get(s, kData), old_cap = get(s, kCap);
            ASSERT_EQ(run("file_write_bytes", s, guest().alloc(second, 'b'), second), 0);
            const uint32_t len = first + second, data = get(s, kData);
            EXPECT_EQ(get(s, kCap), cap) << first << "+" << second;
            EXPECT_EQ(get(s, kLen), len);
            EXPECT_TRUE(in_heap(data));
            EXPECT_EQ(data != old_data, cap != old_cap) << first << "+" << second;
            EXPECT_EQ(bytes_at(data, len + 1), std::string(first, 'z') + std::string(second, 'b') + '\0');
        }
        EXPECT_EQ(cells(m), std::pair(get(m.stream, kData), first + second));
    }
    MemStream m = memstream(); // published only by memory streams with both cells
    set(m.stream, kOutSize, 0);
    guest().write_u32(m.bufp, kCanary);
    ASSERT_EQ(put_z(m.stream, 3), 0);
    EXPECT_EQ(cell(m.bufp), kCanary);
    uint32_t whole = fopen("/f", "w"), pair = guest().alloc(8, 0x5A);
    set(whole, kOutBuf, pair);
    set(whole, kOutSize, pair + 4);
    ASSERT_EQ(put_z(whole, 3), 0);
    EXPECT_EQ(guest().read(pair, 8), std::vector<uint8_t>(8, 0x5A));
}

TEST_F(StdioTest, FputcPutcharAndPuts)
{
    MemStream m = memstream();
    for (uint32_t ch : {uint32_t('a'), 0x141u, 0xFFFFFFFFu, 0u, 0x80u, 0x12345678u})
        EXPECT_EQ(uint32_t(run("fputc", ch, m.stream)), ch);
    EXPECT_EQ(bytes_at(get(m.stream, kData), 7), std::string("aA\xff\0\x80x\0", 7));
    EXPECT_EQ(run("fputc", 0x178, standard("stdout")), 0x178);
    ASSERT_EQ(traps().size(), 1u);
    EXPECT_EQ(traps()[0], (Trap{kWrite, 1, traps()[0][2], 1}));
    EXPECT_EQ(run("putchar", 'a'), 'a');
    EXPECT_EQ(guest().output(), "xa");
    forget_calls();
    MemStream other = memstream(); // putchar follows the current stdout
    make_standard("stdout", other.stream);
    EXPECT_EQ(run("putchar", 0x162), 0x162);
    EXPECT_EQ(published(other), "b");
    make_standard("stdout", 0);
    EXPECT_EQ(run("putchar", 'c'), kFail);
    EXPECT_TRUE(no_calls());
    make_standard("stdout", guest().symbol("g_stdout"));
    guest().inject("write=0");
    EXPECT_EQ(run("fputc", 'x', standard("stdout")), kFail);
    EXPECT_EQ(get(standard("stdout"), kError), 0u); // failures never set the error flag
    guest().reset();                                // puts writes the text, then the newline separately
    uint32_t s = str("x");
    EXPECT_EQ(run("puts", s), 0);
    ASSERT_EQ(traps().size(), 2u);
    EXPECT_EQ(traps()[0], (Trap{kWrite, 1, s, 1}));
    EXPECT_EQ(traps()[1], (Trap{kWrite, 1, traps()[1][2], 1}));
    EXPECT_EQ(run("puts", 0), kFail);
    EXPECT_EQ(run("puts", str("")), 0);
    EXPECT_EQ(traps().size(), 3u); // the newline alone
    EXPECT_EQ(guest().output(), "x\n\n");
    m = memstream();
    make_standard("stdout", m.stream);
    EXPECT_EQ(run("puts", str("one")), 0);
    EXPECT_EQ(run("puts", str("two")), 0);
    EXPECT_EQ(published(m), "one\ntwo\n");
    for (auto [rule, calls] : {std::pair{"write@1=-5", 1u}, {"write@2=0", 2u}}) {
        guest().reset();
        guest().inject(rule);
        EXPECT_EQ(run("puts", str("ab")), kFail) << rule;
        EXPECT_EQ(traps().size(), calls) << rule;
    }
    EXPECT_EQ(guest().output(), "ab");
    guest().reset();
    make_standard("stdout", standard("stdin"));
    EXPECT_EQ(run("puts", str("ab")), kFail);
    EXPECT_EQ(run("puts", str("")), kFail); // the newline is refused
    EXPECT_TRUE(no_calls());
}

TEST_F(StdioTest, GetcharReadsByteByByteAndFreadWholeItems)
{
    guest().feed_input(std::string("a\xff", 2));
    const uint32_t in = standard("stdin");
    EXPECT_EQ(run("getchar"), 'a');
    EXPECT_EQ(run("getchar"), 0xFF);
    EXPECT_EQ(record(in), fd_record(0, 2));
    EXPECT_EQ(run("getchar"), kFail);
    EXPECT_EQ(record(in), fd_record(0, 2, 1));
    ASSERT_EQ(traps().size(), 3u);
    for (const Trap& t : traps())
        EXPECT_EQ(t, (Trap{kRead, 0, t[2], 1}));
    guest().reset(); // odd answers are taken as they come: two bytes for one give no byte
    guest().inject("read@1=2");
    guest().inject("read@2=-5");
    EXPECT_EQ(run("fgetc", in), kFail);
    EXPECT_EQ(record(in), fd_record(0, 2));
    EXPECT_EQ(run("fgetc", in), kFail);
    EXPECT_EQ(record(in), fd_record(0, 2, 1));
    guest().reset();
    make_standard("stdin", 0);
    EXPECT_EQ(run("getchar"), kFail);
    EXPECT_TRUE(no_calls());
    uint32_t f = open_read("in.txt", "q");
    make_standard("stdin", f);
    EXPECT_EQ(run("getchar"), 'q');
    EXPECT_EQ(traps()[0][1], get(f, kFd));
    EXPECT_EQ(get(f, kPos), 1u);
    guest().reset(); // fread takes whole items in one call
    f = open_read("ten", "0123456789");
    const uint32_t buf = guest().alloc(16, 0xEE), fd = get(f, kFd);
    EXPECT_EQ(run("fread", buf, 4, 3, f), 2);
    EXPECT_EQ(traps(), (Traps{{kRead, fd, buf, 12}}));
    EXPECT_EQ(bytes_at(buf, 12), "0123456789\xee\xee");
    EXPECT_EQ(record(f), fd_record(fd, 10, 1));
    EXPECT_EQ(run("fread", buf, 4, 3, f), 0);
    EXPECT_EQ(record(f), fd_record(fd, 10, 1));
    EXPECT_EQ(traps().size(), 2u);
    f = open_read("twelve", "abcdefghijkl");
    EXPECT_EQ(run("fread", buf, 4, 3, f), 3); // exactly what is left: no end yet
    EXPECT_EQ(record(f), fd_record(get(f, kFd), 12));
    EXPECT_EQ(bytes_at(buf, 12), "abcdefghijkl");
    guest().reset();
    guest().inject("read=131074"); // two items of 0x10001 bytes
    EXPECT_EQ(run("fread", buf, 0x10001, 0xFFFF, in), 2);
    EXPECT_EQ(traps(), (Traps{{kRead, 0, buf, 0x7FFFFFFF}})); // the wrapper's largest count
    EXPECT_EQ(record(in), fd_record(0, 131074, 1));
    for (auto [answer, want] : {std::pair{"read=7", 1}, {"read=-9", 0}}) {
        guest().reset();
        guest().inject(answer);
        EXPECT_EQ(run("fread", buf, 4, 2, in), want) << answer;
    }
    EXPECT_EQ(record(in), fd_record(0, 0, 1));
}

TEST_F(StdioTest, FseekAndRewindMoveWhereTheKernelSaysFlagQueriesFlushAndSetbuf)
{
    uint32_t f = open_read("ten", "0123456789");
    const uint32_t fd = get(f, kFd);
    run("fread", guest().alloc(16), 1, 16, f);
    set(f, kError, 1);
    forget_calls();
    EXPECT_EQ(run("fseek", f, 5, 0), 0);
    EXPECT_EQ(traps(), (Traps{{kLseek, fd, 5, 0}}));
    EXPECT_EQ(record(f), fd_record(fd, 5, 0, 1)); // error stays
    EXPECT_EQ(run("ftell", f), 5);
    EXPECT_EQ(run("fgetc", f), '5');
    EXPECT_EQ(run("fseek", f, -2, 1), 0);
    EXPECT_EQ(traps().back(), (Trap{kLseek, fd, 0xFFFFFFFE, 1}));
    EXPECT_EQ(run("ftell", f), 4);
    EXPECT_EQ(run("fseek", f, -3, 2), 0);
    EXPECT_EQ(run("ftell", f), 7);
    set(f, kEof, 1); // a refused seek changes nothing
    Record before = record(f);
    EXPECT_EQ(run("fseek", f, -100, 0), kFail);
    EXPECT_LT(guest().calls().back().answer, 0);
    guest().inject("lseek=-22");
    EXPECT_EQ(run("fseek", f, 1, 0), kFail);
    EXPECT_EQ(record(f), before);
    guest().kernel().clear_injections();
    forget_calls(); // rewind goes back to the start and clears the flags
    run("rewind", f);
    EXPECT_EQ(traps(), (Traps{{kLseek, fd, 0, 0}}));
    EXPECT_EQ(record(f), fd_record(fd));
    EXPECT_EQ(run("fgetc", f), '0');
    set(f, kEof, 1); // a refused seek keeps the position; the flags are cleared all the same
    set(f, kError, 1);
    guest().inject("lseek=-5");
    run("rewind", f);
    EXPECT_EQ(record(f), fd_record(fd, 1));
    forget_calls(); // every other kind: the flags alone, no call
    MemStream m = memstream();
    run("fputs", str("abc"), m.stream);
    for (uint32_t s : {m.stream, fopen("/f", "w"), standard("stdout"), standard("stdin")}) {
        set(s, kPos, 3);
        Record want = record(s);
        set(s, kEof, 1);
        set(s, kError, 1);
        run("rewind", s);
        EXPECT_EQ(record(s), want);
    }
    run("rewind", 0);
    EXPECT_TRUE(no_calls());
    for (uint32_t s : {0u, m.stream}) {
        EXPECT_EQ(run("feof", s), s ? 0 : 1);
        EXPECT_EQ(run("ferror", s), s ? 0 : 1);
    }
    set(m.stream, kEof, 1);
    set(m.stream, kError, 5);
    EXPECT_EQ(run("feof", m.stream), 1);
    EXPECT_EQ(run("ferror", m.stream), 5);
    before = record(m.stream);
    for (uint32_t s : {0u, m.stream, standard("stdout")})
        EXPECT_EQ(run("fflush", s), 0);
    run("setbuf", m.stream, guest().alloc(64));
    run("setbuf", standard("stdout"), 0);
    EXPECT_EQ(record(m.stream), before);
    EXPECT_EQ(record(standard("stdout")), fd_record(1, 3)); // as the loop above left it
    EXPECT_TRUE(no_calls());
}

} // namespace
} // namespace vekos::test
