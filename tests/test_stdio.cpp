// Streams on the real i386 code: answers, records word by word, kernel calls
// register by register, and the bytes that reach the console, buffers and files.
// Over 350 lines: the stream family shares one fixture and its record
// helpers; split, each half would carry a copy of them.
#include "harness.h"

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <tuple>

namespace vekos::test {
namespace {

using namespace std::string_literals;

enum Call : uint32_t { kWrite = 1, kRead = 3, kOpen = 4, kClose = 5, kWritefile = 21, kLseek = 110 };
enum Kind : uint32_t { kFdKind = 1, kMemoryKind = 2, kFileKind = 3 };
enum Field : uint32_t { kKind, kFd, kPath, kData, kLen, kCap, kOutBuf, kOutSize, kError, kPos, kEof }; // words
constexpr uint32_t kArena = 0x100000, kCanary = 0xCAFEF00D, kAny = 0xA5A5A5A5; // kAny: in a trap, any value
constexpr int32_t kFail = -1;

using Record = std::vector<uint32_t>;
Record fd_record(uint32_t fd, uint32_t pos = 0, uint32_t eof = 0, uint32_t err = 0)
{
    return {kFdKind, fd, 0, 0, 0, 0, 0, 0, err, pos, eof};
}
using Trap = std::array<uint32_t, 4>; // eax, ebx, ecx, edx at the trap
using Traps = std::vector<Trap>;
#define EXPECT_TRAPS(...) EXPECT_EQ(traps(Traps __VA_ARGS__), (Traps __VA_ARGS__))

Record words(const std::vector<uint8_t>& bytes)
{
    Record w(bytes.size() / 4);
    std::memcpy(w.data(), bytes.data(), 4 * w.size());
    return w;
}
std::string text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }
struct MemStream {
    uint32_t stream, bufp, sizep;
};

class StdioTest : public GuestTest {
protected:
    int32_t run(const char* f, auto... a)
    {
        auto r = guest()(f, a...);
        EXPECT_TRUE(r.returned()) << f;
        return r.value();
    }
    uint32_t str(std::string_view s) { return guest().put_string(s); }
    uint32_t get(uint32_t s, Field f) { return guest().read_u32(s + 4 * f); }
    void set(uint32_t s, Field f, uint32_t value) { guest().write_u32(s + 4 * f, value); }
    Record record(uint32_t s) { return words(guest().read(s, 44)); }
    std::string bytes_at(uint32_t a, uint32_t n) { return text(guest().read(a, n)); }
    // The kernel calls so far; where `like` holds kAny, so does the answer.
    Traps traps(const Traps& like = {})
    {
        Traps out;
        for (const CallRecord& c : guest().calls()) {
            const Trap l = out.size() < like.size() ? like[out.size()] : Trap{};
            out.push_back({c.in.eax, c.in.ebx, l[2] == kAny ? kAny : c.in.ecx, l[3] == kAny ? kAny : c.in.edx});
        }
        return out;
    }
    void forget_calls() { guest().kernel().clear_log(); }
    uint32_t heap_used() { return guest().global_u32("g_heap_used"); }
    uint32_t standard(const char* name) { return guest().global_u32(name); }
    void make_standard(const char* name, uint32_t s) { guest().write_u32(guest().symbol(name), s); }
    std::pair<uint32_t, uint32_t> cells(MemStream m) { return {guest().read_u32(m.bufp), guest().read_u32(m.sizep)}; }
    MemStream memstream()
    {
        const uint32_t bufp = guest().alloc(4, 0xAB), sizep = guest().alloc(4, 0xAB);
        return {uint32_t(run("open_memstream", bufp, sizep)), bufp, sizep};
    }
    uint32_t fopen(const std::string& path, const char* mode) { return run("fopen", str(path), str(mode)); }
    void put_file(const std::string& text) { std::ofstream(guest().root() / "in", std::ios::binary) << text; }
    // A descriptor stream over the file "in" holding `text`, with the kernel log cleared.
    uint32_t open_read(std::string text)
    {
        put_file(text);
        uint32_t s = fopen("/in", "r");
        forget_calls();
        return s;
    }
    // A record of our own making; fclose hands it to free, which keeps everything.
    uint32_t hand(const Record& r) { return guest().put_words(r); }
    void exhaust_heap(uint32_t n = kArena) { n ? exhaust_heap(run("malloc", n) ? n : n / 2) : void(); }
    std::string file(const std::string& name) // a file under the root, or "<missing>"
    {
        const std::filesystem::path path = guest().root() / name;
        return exists(path) ? std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {})
                            : "<missing>";
    }
    int32_t put_z(uint32_t s, uint32_t n) { return run("file_write_bytes", s, guest().alloc(n, 'z'), n); } // n 'z's
};

TEST_F(StdioTest, FopenGivesAStandardStreamANewRecordOrNullByTheModesFirstCharacter)
{
    for (auto [name, fd] : {std::pair{"stdin", 0u}, {"stdout", 1u}, {"stderr", 1u}}) // stderr writes to 1 too
        EXPECT_EQ(record(standard(name)), fd_record(fd)) << name;
    enum Want { kIn, kOut, kNull, kReader, kWriter };
    const std::tuple<const char*, const char*, Want> rows[] = {{nullptr, "r", kIn}, {nullptr, "w", kOut},
        {"-", "rb", kIn}, {"-", "w+", kOut}, {"-", "a", kNull}, {"-", "", kNull}, {nullptr, "a", kNull},
        {"-", nullptr, kNull}, {"/in", nullptr, kNull}, {"/in", "a", kNull}, {"/in", "", kNull}, {"/in", "R", kNull},
        {"/absent", "r", kNull}, {"/in", "r", kReader}, {"/in", "rb", kReader}, {"/in", "read", kReader},
        {"/in", "w", kWriter}, {"/in", "wb", kWriter}, {"/in", "w+", kWriter}};
    for (auto [path, mode, want] : rows) {
        SCOPED_TRACE((path ? path : "null"s) + " '" + (mode ? mode : "null") + "'");
        guest().reset();
        put_file("abc");
        make_standard("stdin", 0x1234); // the variables are read at each call
        make_standard("stdout", 0x5678);
        const uint32_t p = path ? str(path) : 0, used = heap_used(), s = run("fopen", p, mode ? str(mode) : 0);
        EXPECT_EQ(heap_used() - used, want == kReader ? 48u : want == kWriter ? 56u : 0u) << "the record, the path";
        EXPECT_EQ(want < kReader ? s : 0u, want == kIn ? 0x1234u : want == kOut ? 0x5678u : 0u);
        if (want == kReader) {
            ASSERT_EQ(traps(), (Traps{{kOpen, p, 0, 0}}));
            EXPECT_EQ(record(s), fd_record(guest().calls()[0].answer));
        } else if (want == kWriter) { // the file system is not touched before fclose
            EXPECT_EQ(record(s), (Record{kFileKind, 0, get(s, kPath), 0, 0, 0, 0, 0, 0, 0, 0}));
            EXPECT_EQ(guest().read_cstring(get(s, kPath)), path);
            EXPECT_TRUE(traps().empty());
        }
    }
    // Memory runs out: for the path copy after the record, and for the record after open,
    // whose descriptor is closed again.
    ASSERT_NE(run("malloc", kArena / 2), 0);
    EXPECT_EQ(fopen(std::string(kArena / 2, 'p'), "w"), 0u);
    exhaust_heap();
    const uint32_t in = str("/in");
    EXPECT_EQ(run("fopen", in, str("r")), 0);
    EXPECT_TRAPS({{kOpen, in, 0, kAny}, {kClose, 3, kAny, kAny}});
}

TEST_F(StdioTest, FcloseOfItsOwnStreamAnswersWhatTheKernelSays)
{
    // Its own: a descriptor's close answer; a whole file's one writefile, below 0 -1, else 0;
    // a memory stream's 0, its buffer left to the caller.  The rule injected, the kind, the answer.
    for (auto [rule, kind, answer] :
        {std::tuple{"close=0", kFdKind, 0}, {"close=-9", kFdKind, -9}, {"close=7", kFdKind, 7}, {"", kFileKind, 0},
            {"writefile=-5", kFileKind, kFail}, {"writefile=-2147483648", kFileKind, kFail},
            {"writefile=0", kFileKind, 0}, {"writefile=2147483647", kFileKind, 0}, {"", kMemoryKind, 0}}) {
        guest().reset();
        const MemStream m = memstream();
        const uint32_t s = kind == kFdKind ? open_read("abc") : kind == kFileKind ? fopen("/out", "w") : m.stream;
        run("fputs", str("abc"), s);
        if (*rule)
            guest().inject(rule);
        const Record r = record(s);
        SCOPED_TRACE(std::string(rule) + " kind " + std::to_string(kind));
        EXPECT_EQ(run("fclose", s), answer);
        const Traps want = kind == kFdKind ? Traps{{kClose, r[kFd], kAny, kAny}}
            : kind == kFileKind            ? Traps{{kWritefile, r[kPath], r[kData], 3}}
                                           : Traps{};
        EXPECT_EQ(traps(want), want);
        EXPECT_EQ(file("out"), kind == kFileKind && !*rule ? "abc" : "<missing>");
    }
    EXPECT_EQ(run("fclose", fopen("/empty", "w")), 0); // never written: an empty file
    EXPECT_EQ(file("empty"), "");
}

TEST_F(StdioTest, RefusedOrEmptyCallsMakeNoKernelCallAndChangeNoStream)
{
    MemStream m = memstream();
    const uint32_t in = standard("stdin"), out = standard("stdout"), whole = fopen("/f", "w"), reader = open_read("x");
    const uint32_t fd0 = hand(fd_record(0)), fd1 = hand(fd_record(1)), fd2 = hand(fd_record(2)), x = str("x");
    const uint32_t other = hand(fd_record(7)), bad = hand(fd_record(~0u)), empty = str(""), buf = guest().alloc(16);
    const uint32_t odd = hand({7, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                   nopath = hand({kFileKind, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    const uint32_t used = heap_used();
    EXPECT_EQ(cells(m), std::pair(0u, 0u)) << "open_memstream publishes no buffer yet";
    EXPECT_EQ(get(m.stream, kKind), kMemoryKind) << "the kind programs that read the record see";
    guest().write_u32(m.bufp, kCanary);
    guest().write_u32(m.sizep, kCanary);
    make_standard("stdin", reader); // fclose leaves alone what the variables hold, and the three records
    make_standard("stdout", other);
    make_standard("stderr", whole);
    std::vector<std::tuple<const char*, std::vector<uint32_t>, int32_t>> rows = {{"fwrite", {0, 1, 1, m.stream}, 0},
        {"fwrite", {x, 0, 5, m.stream}, 0}, {"fwrite", {x, 5, 0, m.stream}, 0}, {"fwrite", {x, 1, 1, 0}, 0},
        {"fwrite", {x, 0x10000, 0x10000, m.stream}, 0}, {"fwrite", {x, 0xFFFFFFFF, 2, m.stream}, 0},
        {"fwrite", {x, 1, 1, in}, 0}, {"fread", {0, 1, 1, in}, 0}, {"fread", {buf, 0, 4, in}, 0},
        {"fread", {buf, 4, 0, in}, 0}, {"fread", {buf, 1, 1, 0}, 0}, {"fread", {buf, 1, 4, m.stream}, 0},
        {"fread", {buf, 0x10000, 0x10000, in}, 0}, {"fputs", {empty, m.stream}, 0}, {"fputs", {empty, in}, 0},
        {"fputs", {x, in}, kFail}, {"fputs", {empty, 0}, kFail}, {"fputs", {0, m.stream}, kFail},
        {"fputc", {'x', in}, kFail}, {"fputc", {'x', 0}, kFail}, {"puts", {0}, kFail}, {"fgetc", {m.stream}, kFail},
        {"fgetc", {whole}, kFail}, {"fgetc", {0}, kFail}, {"feof", {0}, 1}, {"ferror", {0}, 1}, {"fflush", {0}, 0},
        {"file_write_bytes", {0, x, 1}, kFail}, {"file_write_bytes", {0, x, 0}, kFail},
        {"open_memstream", {0, m.sizep}, 0}, {"open_memstream", {m.bufp, 0}, 0}, {"fclose", {0}, kFail},
        {"fclose", {odd}, kFail}, {"fclose", {nopath}, kFail}, {"fclose", {reader}, 0}, {"fclose", {other}, 0},
        {"fclose", {whole}, 0}, {"fclose", {in}, 0}, {"fclose", {out}, 0}, {"fclose", {guest().symbol("g_stderr")}, 0},
        {"fclose", {fd0}, 0}, {"fclose", {fd1}, 0}, {"fclose", {fd2}, 0}, {"puts", {x}, kFail},
        {"puts", {empty}, kFail}, {"putchar", {'x'}, kFail}}; // stdout refuses
    const uint32_t streams[] = {in, out, m.stream, whole, reader, fd2, bad, odd};
    std::vector<Record> before;
    for (uint32_t s : streams) {
        before.push_back(record(s));
        rows.push_back({"file_write_bytes", {s, x, 0}, 0}); // nothing to write: no effect at all
        rows.push_back({"file_write_bytes", {s, 0, 1}, kFail});
        if (s != out && s != m.stream && s != whole) // only descriptor 1 takes output, and only as a descriptor
            rows.push_back({"file_write_bytes", {s, x, 1}, kFail});
        if (s != reader) { // only descriptors of its own have a position
            rows.push_back({"fseek", {s, 0, 0}, kFail});
            rows.push_back({"ftell", {s}, kFail});
        }
    }
    for (const auto& [fn, args, want] : rows)
        EXPECT_EQ(guest().call(fn, args).value(), want) << fn << " " << ::testing::PrintToString(args);
    EXPECT_TRUE(traps().empty());
    for (size_t i = 0; i < std::size(streams); ++i)
        EXPECT_EQ(record(streams[i]), before[i]) << i;
    EXPECT_EQ(cells(m), std::pair(kCanary, kCanary));
    EXPECT_EQ(heap_used(), used);
    EXPECT_EQ(run("getchar"), 'x') << "still open";
}

TEST_F(StdioTest, BuffersStartAt256ThenDoubleKeepANulAfterTheBytesAndPublishThem)
{
    struct Row {
        uint32_t first, added, cap; // cap 0: the growth cannot be had, the write fails and changes nothing
        bool full = false;          // the heap exhausted before the second write
    } rows[] = {{0, 1, 256}, {0, 255, 256}, {0, 256, 512}, {0, 257, 512}, {0, 511, 512}, {0, 512, 1024},
        {0, 1023, 1024}, {0, 1024, 2048}, {0, 4096, 8192}, {0, 70000, 131072}, {200, 55, 256}, {255, 1, 512},
        {255, 256, 512}, {255, 257, 1024}, {100, 925, 2048}, {300, 212, 1024}, {300, 211, 512}, {1, 5000, 8192},
        {0, 0xFFFFFFFF, 0}, {0, 0xFFFFFFFE, 0}, {0, 0x80000000, 0}, {5, 0xFFFFFFFA, 0}, {5, 0xFFFFFF00, 0},
        {5, 0x80000000, 0}, {300, 0x7FFFFFFF, 0}, {5, kArena, 0}, {0, kArena, 0}, {0, 1, 0, true}, {255, 1, 0, true},
        {200, 55, 256, true}};
    for (const auto& [first, added, cap, full] : rows) {
        guest().reset();
        const MemStream m = memstream();
        const uint32_t file = fopen("/f", "w");
        guest().machine().memory().poke(guest().symbol("g_heap") + heap_used(), // no NUL from fresh memory
            std::vector<uint8_t>(kArena - heap_used(), 0xEE));
        ASSERT_EQ(put_z(m.stream, first) | put_z(file, first), 0);
        if (full)
            exhaust_heap();
        for (uint32_t s : {m.stream, file}) {
            SCOPED_TRACE(std::to_string(first) + "+" + std::to_string(added) + (s == file ? " file" : " memory"));
            const Record before = record(s);
            const uint32_t src = cap ? guest().alloc(added, 'b') : 0x1000; // a refused write reads nothing
            EXPECT_EQ(run("file_write_bytes", s, src, added), cap ? 0 : kFail);
            const uint32_t len = cap ? first + added : first, data = get(s, kData);
            EXPECT_EQ(get(s, kCap), cap ? cap : before[kCap]);
            EXPECT_EQ(get(s, kLen), len);
            EXPECT_EQ(data != before[kData], cap && cap != before[kCap]) << "the buffer moves when it grows";
            EXPECT_EQ(len ? bytes_at(data, len + 1) : "",
                std::string(first, 'z') + std::string(len - first, 'b') + (len ? "\0"s : ""));
        }
        EXPECT_EQ(cells(m), std::pair(get(m.stream, kData), get(m.stream, kLen)));
    }
    const uint32_t pair = guest().alloc(8, 0x5A);
    EXPECT_EQ(run("open_memstream", pair, pair + 4), 0) << "no memory for the record";
    guest().reset(); // published only when both cells are there
    const MemStream half = memstream();
    set(half.stream, kOutSize, 0);
    ASSERT_EQ(put_z(half.stream, 3), 0);
    EXPECT_EQ(cells(half).first, 0u);
}

TEST_F(StdioTest, OutputLoopsUntilEveryByteIsTakenAndPutsAddsTheNewlineInASecondWrite)
{
    // The rules injected, bytes asked for, (offset, count) of each write, the answer.  Injected calls read no memory.
    const uint32_t src = 0x1000, chunk = 0x7FFFFFFF;
    const std::tuple<std::vector<std::string>, uint32_t, std::vector<std::pair<uint32_t, uint32_t>>, int32_t> rows[] = {
        {{"write@1=2", "write@2=3"}, 5, {{0, 5}, {2, 3}}, 0}, {{"write@1=1", "write@2=0"}, 5, {{0, 5}, {1, 4}}, kFail},
        {{"write@1=1", "write@2=1", "write@3=3"}, 5, {{0, 5}, {1, 4}, {2, 3}}, 0}, {{"write@1=-5"}, 5, {{0, 5}}, kFail},
        {{"write@1=4", "write@2=-2147483648"}, 5, {{0, 5}, {4, 1}}, kFail}, {{"write=100"}, 5, {{0, 5}}, 0},
        {{"write=2147483647"}, 0xFFFFFFFF, {{0, chunk}, {chunk, chunk}, {2 * chunk, 1}}, 0},
        {{"write@1=2147483647", "write@2=5"}, 0x80000004, {{0, chunk}, {chunk, 5}}, 0}};
    for (const auto& [rules, n, writes, answer] : rows) {
        guest().reset();
        for (const std::string& rule : rules)
            guest().inject(rule);
        Traps want;
        for (auto [offset, count] : writes)
            want.push_back({kWrite, 1, src + offset, count});
        SCOPED_TRACE(::testing::PrintToString(rules));
        EXPECT_EQ(run("file_write_bytes", standard("stdout"), src, n), answer);
        EXPECT_EQ(traps(), want);
        EXPECT_EQ(record(standard("stdout")), fd_record(1)) << "no position, no flag";
    }
    guest().reset(); // any descriptor record over 1; fwrite writes the whole product, fputc the low byte
    const uint32_t text = str("abcdefghijkl"), out = hand(fd_record(1)), x = str("x");
    EXPECT_EQ(run("fwrite", text, 3, 4, out), 4);
    EXPECT_EQ(run("fwrite", text, 12, 1, out), 1);
    EXPECT_EQ(run("fputs", text, out), 12);
    EXPECT_EQ(run("fputc", 0x178, out), 0x178);
    EXPECT_EQ(run("putchar", 0x161), 0x161);
    EXPECT_EQ(run("puts", x), 0);
    EXPECT_EQ(run("puts", str("")), 0);
    EXPECT_TRAPS({{kWrite, 1, text, 12}, {kWrite, 1, text, 12}, {kWrite, 1, text, 12}, {kWrite, 1, kAny, 1},
        {kWrite, 1, kAny, 1}, {kWrite, 1, x, 1}, {kWrite, 1, kAny, 1}, {kWrite, 1, kAny, 1}});
    EXPECT_EQ(guest().output(), "abcdefghijkl" + "abcdefghijkl"s + "abcdefghijklxax\n\n");
    guest().reset(); // a failed text is not followed by the newline
    guest().inject("write@1=-5");
    EXPECT_EQ(run("puts", str("ab")), kFail);
    EXPECT_EQ(traps().size(), 1u);
    // putchar and puts follow the current stdout; fputc answers ch itself
    const MemStream m = memstream();
    for (uint32_t ch : {uint32_t('a'), 0x141u, 0xFFFFFFFFu, 0u, 0x80u, 0x12345678u})
        EXPECT_EQ(uint32_t(run("fputc", ch, m.stream)), ch);
    make_standard("stdout", m.stream);
    EXPECT_EQ(run("puts", str("one")), 0);
    EXPECT_EQ(run("putchar", 0x121), 0x121);
    EXPECT_EQ(cells(m), std::pair(get(m.stream, kData), 11u));
    EXPECT_EQ(bytes_at(cells(m).first, 12), "aA\xff\0\x80xone\n!\0"s);
}

TEST_F(StdioTest, EachReadOrSeekIsOneKernelCallWhoseAnswerSetsThePositionAndTheFlags)
{
    // The call (a, b: fread's size and count, fseek's offset and origin), the file's content, an
    // injected answer; the call's answer, the position and flags after it.  Before it the position
    // is 3 and the error flag set, and the end flag too before a seek.
    const std::tuple<const char*, uint32_t, uint32_t, std::string, const char*, int32_t, uint32_t, uint32_t, uint32_t>
        rows[] = {{"fgetc", 0, 0, "q", "", 'q', 4, 0, 1}, {"getchar", 0, 0, "\xff", "", 0xFF, 4, 0, 1},
            {"getchar", 0, 0, "", "", kFail, 3, 1, 1}, {"fgetc", 0, 0, "q", "read=2", kFail, 5, 0, 1},
            {"fgetc", 0, 0, "q", "read=-5", kFail, 3, 1, 1}, {"fread", 4, 3, "0123456789", "", 2, 13, 1, 1},
            {"fread", 4, 3, "abcdefghijkl", "", 3, 15, 0, 1}, {"fread", 4, 3, "", "", 0, 3, 1, 1},
            {"fread", 0x10001, 0xFFFF, "", "read=131074", 2, 131077, 1, 1}, {"fread", 4, 2, "", "read=7", 1, 10, 1, 1},
            {"fread", 4, 2, "abc", "read=-9", 0, 3, 1, 1}, {"fseek", 5, 0, "0123456789", "", 0, 5, 0, 1},
            {"fseek", 2, 1, "0123456789", "", 0, 2, 0, 1}, {"fseek", uint32_t(-3), 2, "0123456789", "", 0, 7, 0, 1},
            {"fseek", 0, 0, "0123456789", "", 0, 0, 0, 1},
            {"fseek", uint32_t(-100), 0, "0123456789", "", kFail, 3, 1, 1},
            {"fseek", 1, 0, "", "lseek=-22", kFail, 3, 1, 1}, {"fseek", 1, 0, "", "lseek=9", 0, 9, 0, 1},
            {"rewind", 0, 0, "0123", "", 0, 0, 0, 0}, {"rewind", 0, 0, "0123", "lseek=-5", 0, 3, 0, 0}};
    for (const auto& [fn, a, b, content, rule, answer, pos, eof, err] : rows) {
        SCOPED_TRACE(fn + (" " + std::to_string(a)) + " " + content + " " + rule);
        guest().reset();
        const uint32_t f = open_read(content), fd = get(f, kFd), buf = guest().alloc(16, 0xEE);
        const bool seeks = fn == "fseek"s || fn == "rewind"s;
        set(f, kPos, 3);
        set(f, kEof, seeks);
        set(f, kError, 1);
        make_standard("stdin", f); // getchar reads the current stdin
        if (*rule)
            guest().inject(rule);
        const int32_t got = fn == "fread"s ? run(fn, buf, a, b, f) : run(fn, f, a, b);
        EXPECT_EQ(fn == "rewind"s ? answer : got, answer); // rewind answers nothing
        EXPECT_EQ(record(f), fd_record(fd, pos, eof, err));
        EXPECT_EQ(run("ftell", f), int32_t(pos));
        const Trap call = seeks ? Trap{kLseek, fd, a, b}
            : fn == "fread"s    ? Trap{kRead, fd, buf, std::min(a * b, 0x7FFFFFFFu)}
                                : Trap{kRead, fd, kAny, 1};
        EXPECT_EQ(traps({call}), Traps{call});
        const std::string read = fn == "fread"s && !*rule ? content : ""; // even the bytes of a partial item
        EXPECT_EQ(bytes_at(buf, 12), (read + std::string(12, '\xee')).substr(0, 12));
    }
    make_standard("stdin", 0);
    EXPECT_EQ(run("getchar"), kFail);
    forget_calls(); // any other stream: rewind clears the flags without a call; setbuf does nothing
    for (uint32_t s : {memstream().stream, fopen("/f", "w"), standard("stdout"), guest().symbol("g_stdin")}) {
        const Record want = record(s);
        set(s, kEof, 1);
        set(s, kError, 5);
        EXPECT_EQ(std::pair(run("feof", s), run("ferror", s)), std::pair(1, 5)) << s;
        run("setbuf", s, guest().alloc(64));
        run("rewind", s);
        EXPECT_EQ(record(s), want) << s;
    }
    run("rewind", 0);
    EXPECT_TRUE(traps().empty());
}

} // namespace
} // namespace vekos::test
