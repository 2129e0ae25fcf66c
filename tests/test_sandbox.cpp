// The file services through the guest's own wrappers, checked against the
// host directory that is the guest's "/": exact bytes, exact answers, and no
// way out of the root.
#include "harness.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <numeric>

namespace vekos::test {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using Answer = std::pair<int32_t, std::string>;

constexpr uint32_t O_RDONLY = 0x0, O_WRONLY = 0x1, O_RDWR = 0x2, O_CREAT = 0x40, O_EXCL = 0x80, O_TRUNC = 0x200,
                   O_APPEND = 0x400, O_DIRECTORY = 0x10000;
constexpr int32_t kENOENT = -2, kEBADF = -9, kEAGAIN = -11, kEEXIST = -17, kENOTDIR = -20, kEISDIR = -21, kEINVAL = -22,
                  kEMFILE = -24, kESPIPE = -29, kEPIPE = -32, kERANGE = -34, kENOTEMPTY = -39;

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void spit(const fs::path& p, std::string_view text) { std::ofstream(p, std::ios::binary) << text; }
Names listing(const fs::path& dir)
{
    Names names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class SandboxTest : public GuestTest {
protected:
    const fs::path& root() { return guest().root(); }
    uint32_t str(std::string_view s) { return guest().put_string(s); }
    uint32_t bytes(std::string_view s)
    {
        return guest().put_bytes({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
    }
    template <typename... Args>
    int32_t call(const char* fn, Args... args)
    {
        return guest()(fn, args...).value();
    }
    int32_t open(std::string_view path, uint32_t flags) { return call("open", str(path), flags, 0); }
    int32_t close(int32_t fd) { return call("close", fd); }
    int32_t write(int32_t fd, std::string_view data) { return call("write", fd, bytes(data), uint32_t(data.size())); }
    int32_t writefile(std::string_view path, std::string_view data)
    {
        return call("writefile", str(path), bytes(data), uint32_t(data.size()));
    }
    // A call taking one path; "writefile" writes "x", "open" creates for writing.
    int32_t path_call(std::string_view fn, std::string_view path)
    {
        return fn == "writefile" ? writefile(path, "x")
            : fn == "open"       ? open(path, O_WRONLY | O_CREAT)
                                 : call(std::string(fn).c_str(), str(path));
    }
    struct Step {
        const char* fn;
        std::string path;
        int32_t answer;
    };
    // Answers given in order (a braced list is evaluated left to right), each with the one expected.
    void answers(std::initializer_list<std::pair<int32_t, int32_t>> rows)
    {
        for (int i = 0; auto [got, want] : rows)
            EXPECT_EQ(got, want) << "answer " << i++;
    }
    // Path calls in order, each with its expected answer.
    void steps(const std::vector<Step>& rows)
    {
        for (const Step& row : rows)
            EXPECT_EQ(path_call(row.fn, row.path), row.answer) << row.fn << " " << row.path;
    }
    int32_t lseek(int32_t fd, int32_t off, int32_t whence) { return call("lseek", fd, off, whence); }
    // Reads up to n bytes: the answer, and the bytes when it is positive; nothing past them is touched.
    Answer read(int32_t fd, uint32_t n)
    {
        uint32_t buf = guest().alloc(n + 1, 0xEE);
        int32_t r = call("read", fd, buf, n);
        std::vector<uint8_t> got = guest().read(buf, n + 1);
        uint32_t used = r > 0 ? uint32_t(r) : 0;
        for (uint32_t i = used; i <= n; ++i)
            EXPECT_EQ(got[i], 0xEE) << "byte " << i << " past a read of " << r;
        return {r, std::string(got.begin(), got.begin() + used)};
    }
    Answer getcwd(uint32_t size = 64)
    {
        uint32_t buf = guest().alloc(size + 1, 0xEE);
        int32_t r = call("getcwd", buf, size);
        return {r, r > 0 ? guest().read_cstring(buf) : std::string()};
    }
    std::pair<int32_t, int32_t> pipe()
    {
        uint32_t fds = guest().alloc(8, 0xEE);
        EXPECT_EQ(call("pipe", fds), 0);
        return {int32_t(guest().read_u32(fds)), int32_t(guest().read_u32(fds + 4))};
    }
};

// Descriptors are the stand-in's own numbering, 3 first after the console's 0, 1, 2.
TEST_F(SandboxTest, FilesLandInTheRootByteForByte)
{
    std::string all(256, 0);
    std::iota(all.begin(), all.end(), 0);
    int32_t fd = open("/bytes.bin", O_WRONLY | O_CREAT | O_TRUNC);
    answers({{fd, 3}, {write(fd, all), 256}, {write(fd, ""), 0}, {close(fd), 0}});
    EXPECT_EQ(slurp(root() / "bytes.bin"), all);
    EXPECT_EQ(listing(root()), Names{"bytes.bin"});
    fd = open("bytes.bin", O_RDONLY);
    EXPECT_EQ(read(fd, 10), Answer(10, all.substr(0, 10)));
    answers({{lseek(fd, 0, 1), 10}, {lseek(fd, -6, 2), 250}});
    EXPECT_EQ(read(fd, 100), Answer(6, all.substr(250)));
    answers({{read(fd, 100).first, 0}, {lseek(fd, 128, 0), 128}});
    EXPECT_EQ(read(fd, 1), Answer(1, std::string(1, char(128))));
    // A refused seek moves nothing: before 0, past what an answer can say, no such whence.
    constexpr int32_t kMax = 0x7FFFFFFF, kEOVERFLOW = -75;
    answers({{lseek(fd, kMax, 0), kMax}, {lseek(fd, kMax, 1), kEOVERFLOW}, {lseek(fd, 0, 1), kMax},
        {lseek(fd, -kMax, 1), 0}, {lseek(fd, -1, 1), kEINVAL}, {lseek(fd, kMax - 255, 2), kEOVERFLOW},
        {lseek(fd, -257, 2), kEINVAL}, {lseek(fd, 0, 1), 0}, {lseek(fd, 5, 0), 5}});
    // Writing is refused: it was opened for reading only.
    answers({{lseek(fd, -1, 0), kEINVAL}, {lseek(fd, 0, 3), kEINVAL}, {lseek(fd, 0, 1), 5}, {write(fd, "x"), kEBADF},
        {close(fd), 0}, {close(fd), kEBADF}});
    spit(root() / "f", "0123456789");
    answers({{fd = open("/f", O_WRONLY | O_APPEND), 3}, {write(fd, "ab"), 2}, {close(fd), 0}});
    EXPECT_EQ(slurp(root() / "f"), "0123456789ab");
    answers({{fd = open("/f", O_RDWR), 3}, {write(fd, "XY"), 2}, {lseek(fd, 0, 0), 0}});
    EXPECT_EQ(read(fd, 4), Answer(4, "XY23"));
    answers({{close(fd), 0}, {open("/f", O_WRONLY | O_CREAT | O_EXCL), kEEXIST},
        {close(open("/f", O_WRONLY | O_TRUNC)), 0}});
    EXPECT_EQ(slurp(root() / "f"), "");
    // 3 is no access mode.
    answers(
        {{open("/f", O_RDONLY | O_DIRECTORY), kENOTDIR}, {open("/f", 3), kEINVAL}, {open("/new", O_RDONLY), kENOENT}});
    EXPECT_FALSE(fs::exists(root() / "new"));
}

TEST_F(SandboxTest, WritefileAndStreamsReplaceWholeFilesWithoutTemporaries)
{
    spit(root() / "doc.txt", std::string(100, 'x'));
    fs::permissions(root() / "doc.txt", fs::perms(0600));
    for (const std::string& text : {std::string("abc"), std::string(), std::string("\0\x01\xff\n\0", 5)}) {
        EXPECT_EQ(writefile(text.empty() ? "doc.txt" : "/doc.txt", text), int32_t(text.size()));
        EXPECT_EQ(slurp(root() / "doc.txt"), text);
    }
    EXPECT_EQ(fs::status(root() / "doc.txt").permissions(), fs::perms(0600));
    EXPECT_EQ(listing(root()), Names{"doc.txt"});
    answers({{path_call("mkdir", "/sub"), 0}, {writefile("/sub/../sub/./inner", "deep"), 4}});
    EXPECT_EQ(slurp(root() / "sub/inner"), "deep");
    EXPECT_EQ(listing(root() / "sub"), Names{"inner"});
    // Streams, numbered from 1, write the file only at the end.
    uint32_t abc = str("abc"), def = str("def");
    answers({{path_call("vekfs_stream_begin", "/stream.txt"), 1}, {call("vekfs_stream_write", 1, abc, 3), 3}});
    EXPECT_FALSE(fs::exists(root() / "stream.txt"));
    // The target was fixed when the stream began.
    steps({{"mkdir", "/elsewhere", 0}, {"chdir", "/elsewhere", 0}});
    answers({{call("vekfs_stream_write", 1, def, 3), 3}, {call("vekfs_stream_write", 1, def, 0), 0},
        {call("vekfs_stream_end", 1), 0}});
    EXPECT_EQ(slurp(root() / "stream.txt"), "abcdef");
    EXPECT_TRUE(fs::is_empty(root() / "elsewhere"));
    answers({{call("vekfs_stream_end", 1), kEBADF}, {call("vekfs_stream_write", 1, abc, 3), kEBADF},
        {call("vekfs_stream_write", 77, abc, 3), kEBADF}, {path_call("vekfs_stream_begin", "/no/dir/file"), 2},
        {call("vekfs_stream_end", 2), kENOENT}});
}

// A directory beside the root with a marker the guest must never reach.
class SymlinkTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        outside_ = root().parent_path() / (root().filename().string() + "-outside");
        fs::remove_all(outside_);
        fs::create_directories(outside_);
        spit(outside_ / "marker", "secret");
        spit(root() / "inside.txt", "inside");
        const std::string sibling = "../" + outside_.filename().string();
        for (const auto& [target, link] : std::vector<std::pair<fs::path, const char*>>{{"/", "to_root"},
                 {outside_, "to_outside"}, {outside_ / "marker", "to_marker"}, {"../../../../../../..", "up"},
                 {sibling, "to_sibling"}, {sibling + "/marker", "to_sibling_marker"}})
            fs::create_symlink(target, root() / link);
    }
    void TearDown() override
    {
        EXPECT_EQ(slurp(outside_ / "marker"), "secret");
        EXPECT_EQ(listing(outside_), Names{"marker"});
        fs::remove_all(outside_);
    }
    fs::path outside_;
};

TEST_F(SymlinkTest, LinksResolveInsideTheRootAndNothingOutsideIsReached)
{
    for (const char* path :
        {"/to_root/inside.txt", "/up/inside.txt", "/up/up/to_root/inside.txt", "/to_root/../inside.txt"}) {
        EXPECT_EQ(open(path, O_RDONLY), 3) << path;
        EXPECT_EQ(read(3, 16), Answer(6, "inside")) << path;
        EXPECT_EQ(close(3), 0) << path;
    }
    EXPECT_EQ(path_call("chdir", "/to_root"), 0);
    EXPECT_EQ(getcwd(), Answer(9, "/to_root"));
    answers({{open("inside.txt", O_RDONLY), 3}, {close(3), 0}, {path_call("chdir", "/"), 0}});
    const std::string name = outside_.filename().string(), abs = outside_.string();
    // The marker through linked or absolute directories, and links whose last part leads out.
    for (const std::string& path :
        Names{"/to_outside/marker", "/to_sibling/marker", "/up/" + name + "/marker", "/to_root/../" + name + "/marker",
            abs + "/marker", "/up" + abs + "/marker", "/to_marker", "/to_sibling_marker"}) {
        for (uint32_t flags : {O_RDONLY, O_WRONLY | O_TRUNC, O_RDWR | O_CREAT})
            EXPECT_EQ(open(path, flags), kENOENT) << path << " " << flags;
        if (path.find('/', 1) == std::string::npos) // the links themselves are replaced, below
            continue;
        steps({{"writefile", path, kENOENT}, {"unlink", path, kENOENT}});
    }
    // New names in directories outside.
    for (const std::string& dir : Names{"/to_outside", "/to_sibling", "/up/" + name, abs})
        steps({{"writefile", dir + "/new", kENOENT}, {"open", dir + "/new", kENOENT}, {"mkdir", dir + "/new", kENOENT},
            {"rmdir", dir + "/x", kENOENT}, {"chdir", dir, kENOENT}});
    EXPECT_EQ(getcwd(), Answer(2, "/"));
    // writefile follows a link inside the root, as open does: the link stays and
    // the file it names (inside) gets the content; unlink removes the link.
    fs::create_symlink("inside.txt", root() / "to_inside");
    steps({{"writefile", "/to_marker", kENOENT}, {"writefile", "/to_inside", 1}, {"unlink", "/to_outside", 0}});
    EXPECT_TRUE(fs::is_symlink(root() / "to_marker"));
    EXPECT_TRUE(fs::is_symlink(root() / "to_inside"));
    EXPECT_EQ(slurp(root() / "inside.txt"), "x");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root() / "to_outside")));
    // ".." at the root stays in the root.
    const std::string probe = "vekos-escape-probe-" + std::to_string(getpid());
    const fs::path parent = root().parent_path();
    ASSERT_FALSE(fs::exists(parent / probe));
    steps({{"writefile", "../../" + probe, 1}, {"mkdir", "/../../" + probe + "-dir", 0},
        {"open", "../" + probe + "-open", 3}, {"chdir", "../../..", 0}});
    EXPECT_EQ(getcwd(), Answer(2, "/"));
    EXPECT_EQ(slurp(root() / probe), "x");
    EXPECT_TRUE(fs::is_directory(root() / (probe + "-dir")));
    for (const char* suffix : {"", "-dir", "-open"}) {
        EXPECT_TRUE(fs::exists(root() / (probe + suffix))) << suffix;
        EXPECT_FALSE(fs::exists(parent / (probe + suffix))) << suffix;
    }
}

TEST_F(SandboxTest, WorkingDirectoryAndRefusals)
{
    EXPECT_EQ(getcwd(), Answer(2, "/"));
    steps({{"mkdir", "/a", 0}, {"mkdir", "a/b", 0}, {"chdir", "a", 0}, {"chdir", "./b/", 0}});
    EXPECT_EQ(getcwd(), Answer(5, "/a/b"));
    EXPECT_EQ(getcwd(5), Answer(5, "/a/b")); // exactly enough
    uint32_t small = guest().alloc(8, 0xEE);
    EXPECT_EQ(call("getcwd", small, 4), kERANGE);
    EXPECT_EQ(guest().read(small, 8), std::vector<uint8_t>(8, 0xEE));
    steps({{"writefile", "here", 1}, {"chdir", "..", 0}});
    EXPECT_EQ(slurp(root() / "a/b/here"), "x");
    EXPECT_EQ(getcwd(), Answer(3, "/a"));
    steps({{"chdir", "/missing", kENOENT}, {"chdir", "b/here", kENOTDIR}, {"chdir", "", kENOENT}});
    EXPECT_EQ(getcwd(), Answer(3, "/a")); // unchanged by refusals

    spit(root() / "file", "x");
    fs::create_directories(root() / "full/inner");
    fs::create_directories(root() / "empty");
    steps({
        {"chdir", "/", 0},
        {"unlink", "/missing", kENOENT},
        {"rmdir", "/missing", kENOENT},
        {"mkdir", "/missing/x", kENOENT},
        {"mkdir", "/file", kEEXIST},
        {"mkdir", "/empty", kEEXIST},
        {"mkdir", "/", kEEXIST},
        {"mkdir", "/file/x", kENOTDIR},
        {"unlink", "/file/x", kENOTDIR},
        {"rmdir", "/file", kENOTDIR},
        {"chdir", "/file", kENOTDIR},
        {"unlink", "/empty", kEISDIR},
        {"unlink", "/", kEISDIR},
        {"writefile", "/empty", kEISDIR},
        {"writefile", "/", kEISDIR},
        {"writefile", "/file/x", kENOTDIR},
        {"writefile", "/missing/x", kENOENT},
        {"rmdir", "/full", kENOTEMPTY},
        {"rmdir", "/empty", 0},
        {"unlink", "/file", 0},
        {"mkdir", "", kENOENT},
    });
    EXPECT_EQ(listing(root()), (Names{"a", "full"}));
    // Console output is not for reading, nor console input for writing, nor either for seeking.
    answers({{open("/full", O_WRONLY), kEISDIR}, {open("/full", O_RDONLY | O_DIRECTORY), 3},
        {read(3, 4).first, kEISDIR}, {close(77), kEBADF}, {close(-1), kEBADF}, {read(40, 4).first, kEBADF},
        {write(1 << 20, "x"), kEBADF}, {read(1, 4).first, kEBADF}, {write(0, "x"), kEBADF}, {lseek(0, 0, 0), kESPIPE},
        {lseek(1, 0, 0), kESPIPE}, {lseek(2, 0, 0), kESPIPE}, {lseek(9, 0, 0), kEBADF}});
}

TEST_F(SandboxTest, DescriptorsAreLowestFirstUpToALimitAndDupShares)
{
    spit(root() / "f", "x");
    for (int32_t want = 3; want <= 63; ++want)
        ASSERT_EQ(open("/f", O_RDONLY), want);
    answers({{open("/f", O_RDONLY), kEMFILE}, {call("dup", 1), kEMFILE}, {close(10), 0}, {close(5), 0},
        {open("/f", O_RDONLY), 5}, {call("dup", 0), 10}});
    for (int32_t fd = 3; fd <= 63; ++fd)
        close(fd);

    answers({{call("dup", 1), 3}, {write(3, "via dup\n"), 8}});
    for (auto [from, to, answer] : std::vector<std::tuple<int32_t, int32_t, int32_t>>{
             {2, 20, 20}, {1, 1, 1}, {1, 63, 63}, {1, 64, kEBADF}, {1, -1, kEBADF}, {50, 4, kEBADF}})
        EXPECT_EQ(call("dup2", from, to), answer) << from << " " << to;
    // The copy outlives the original.
    answers({{call("dup", 50), kEBADF}, {write(63, "via dup2\n"), 9}, {close(1), 0}, {write(1, "lost"), kEBADF},
        {write(3, "still\n"), 6}});
    EXPECT_EQ(guest().output(), "via dup\nvia dup2\nstill\n");
    // Copies share one file offset; dup2 over an open descriptor closes the old file first.
    spit(root() / "f", "abcdefgh");
    answers({{open("/f", O_RDONLY), 1}, {call("dup", 1), 4}, {open("/f", O_RDONLY), 5}}); // lowest free numbers
    EXPECT_EQ(read(1, 3), Answer(3, "abc"));
    EXPECT_EQ(read(4, 3), Answer(3, "def"));
    EXPECT_EQ(call("dup2", 1, 5), 5);
    EXPECT_EQ(read(5, 8), Answer(2, "gh"));
}

TEST_F(SandboxTest, PipesCarryBytesAndNeverHang)
{
    auto [r, w] = pipe();
    // Empty with the writer alive: no waiting.
    answers({{r, 3}, {w, 4}, {lseek(r, 0, 0), kESPIPE}, {lseek(w, 0, 1), kESPIPE}, {read(r, 8).first, kEAGAIN},
        {read(r, 0).first, 0}, {write(w, "hello"), 5}, {write(w, " pipe"), 5}});
    EXPECT_EQ(read(r, 3), Answer(3, "hel"));
    EXPECT_EQ(read(r, 100), Answer(7, "lo pipe"));
    // Full: refused instead of waiting.
    answers({{read(w, 4).first, kEBADF}, {write(r, "x"), kEBADF}, {write(w, std::string(70000, 'p')), 65536},
        {write(w, "x"), kEAGAIN}, {read(r, 10).first, 10}, {write(w, "0123456789abc"), 10}});
    // A copy of the writer keeps the pipe open; data outlives the writers, then end of file.
    int32_t w2 = call("dup", w);
    EXPECT_EQ(close(w), 0);
    EXPECT_EQ(read(r, 40000), Answer(40000, std::string(40000, 'p')));
    EXPECT_EQ(read(r, 40000), Answer(25536, std::string(25526, 'p') + "0123456789"));
    answers({{read(r, 8).first, kEAGAIN}, {write(w2, "z"), 1}, {close(w2), 0}});
    EXPECT_EQ(read(r, 8), Answer(1, "z"));
    EXPECT_EQ(read(r, 8).first, 0);
    // Writing with no reader left.
    auto [r3, w3] = pipe();
    answers({{close(r3), 0}, {write(w3, "x"), kEPIPE}});
}

} // namespace
} // namespace vekos::test
