// The file services through the guest's own wrappers, checked against the
// host directory that is the guest's "/": exact bytes, exact answers, and no
// way out of the root.
#include "harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vekos::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t O_RDONLY = 0x0, O_WRONLY = 0x1, O_RDWR = 0x2, O_CREAT = 0x40, O_EXCL = 0x80,
                   O_TRUNC = 0x200, O_APPEND = 0x400, O_DIRECTORY = 0x10000;
constexpr int32_t kENOENT = -2, kEBADF = -9, kEAGAIN = -11, kEEXIST = -17, kENOTDIR = -20, kEISDIR = -21,
                  kEINVAL = -22, kEMFILE = -24, kESPIPE = -29, kEPIPE = -32, kERANGE = -34, kENOTEMPTY = -39;

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spit(const fs::path& p, std::string_view text) { std::ofstream(p, std::ios::binary) << text; }

std::vector<std::string> listing(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class SandboxTest : public GuestTest {
protected:
    const fs::path& root() { return guest().root(); }
    uint32_t str(std::string_view s) { return guest().put_string(s); }
    int32_t open(std::string_view path, uint32_t flags) { return guest()("open", str(path), flags, 0).value(); }
    int32_t close(int32_t fd) { return guest()("close", fd).value(); }
    int32_t write(int32_t fd, std::string_view bytes)
    {
        uint32_t buf = guest().put_bytes({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
        return guest()("write", fd, buf, uint32_t(bytes.size())).value();
    }
    // Reads up to n bytes; the answer, and the bytes when it is positive.
    std::pair<int32_t, std::string> read(int32_t fd, uint32_t n)
    {
        uint32_t buf = guest().alloc(n + 1, 0xEE);
        int32_t r = guest()("read", fd, buf, n).value();
        std::vector<uint8_t> got = guest().read(buf, n + 1);
        // Nothing past the answer was touched.
        uint32_t used = r > 0 ? uint32_t(r) : 0;
        for (uint32_t i = used; i <= n; ++i)
            EXPECT_EQ(got[i], 0xEE) << "byte " << i << " past a read of " << r;
        return {r, std::string(got.begin(), got.begin() + used)};
    }
    int32_t writefile(std::string_view path, std::string_view bytes)
    {
        uint32_t buf = guest().put_bytes({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
        return guest()("writefile", str(path), buf, uint32_t(bytes.size())).value();
    }
    int32_t path_call(const char* fn, std::string_view path) { return guest()(fn, str(path)).value(); }
    std::pair<int32_t, std::string> getcwd(uint32_t size)
    {
        uint32_t buf = guest().alloc(size + 1, 0xEE);
        int32_t r = guest()("getcwd", buf, size).value();
        return {r, r > 0 ? guest().read_cstring(buf) : std::string()};
    }
    int32_t lseek(int32_t fd, int32_t off, int32_t whence) { return guest()("lseek", fd, off, whence).value(); }
    std::pair<int32_t, int32_t> pipe()
    {
        uint32_t fds = guest().alloc(8, 0xEE);
        EXPECT_EQ(guest()("pipe", fds).value(), 0);
        return {int32_t(guest().read_u32(fds)), int32_t(guest().read_u32(fds + 4))};
    }
};

TEST_F(SandboxTest, FilesLandInTheRootByteForByte)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    int32_t fd = open("/bytes.bin", O_WRONLY | O_CREAT | O_TRUNC);
    EXPECT_EQ(fd, 3);  // the stand-in's own numbering, after the console's 0, 1, 2
    EXPECT_EQ(write(fd, all), 256);
    EXPECT_EQ(write(fd, ""), 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(slurp(root() / "bytes.bin"), all);
    EXPECT_EQ(listing(root()), std::vector<std::string>{"bytes.bin"});

    fd = open("bytes.bin", O_RDONLY);
    EXPECT_EQ(fd, 3);
    EXPECT_EQ(read(fd, 10), std::make_pair(10, all.substr(0, 10)));
    EXPECT_EQ(lseek(fd, 0, 1), 10);
    EXPECT_EQ(lseek(fd, -6, 2), 250);
    EXPECT_EQ(read(fd, 100), std::make_pair(6, all.substr(250)));
    EXPECT_EQ(read(fd, 100).first, 0);
    EXPECT_EQ(lseek(fd, 128, 0), 128);
    EXPECT_EQ(read(fd, 1), std::make_pair(1, std::string(1, char(128))));
    EXPECT_EQ(lseek(fd, -1, 0), kEINVAL);
    EXPECT_EQ(lseek(fd, 0, 3), kEINVAL);
    EXPECT_EQ(write(fd, "x"), kEBADF);  // opened for reading only
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(close(fd), kEBADF);
}

TEST_F(SandboxTest, OpenFlagsTruncateAppendAndExclude)
{
    spit(root() / "f", "0123456789");
    int32_t fd = open("/f", O_WRONLY | O_APPEND);
    EXPECT_EQ(write(fd, "ab"), 2);
    close(fd);
    EXPECT_EQ(slurp(root() / "f"), "0123456789ab");
    fd = open("/f", O_RDWR);
    EXPECT_EQ(write(fd, "XY"), 2);
    EXPECT_EQ(lseek(fd, 0, 0), 0);
    EXPECT_EQ(read(fd, 4), std::make_pair(4, std::string("XY23")));
    close(fd);
    EXPECT_EQ(open("/f", O_WRONLY | O_CREAT | O_EXCL), kEEXIST);
    fd = open("/f", O_WRONLY | O_TRUNC);
    close(fd);
    EXPECT_EQ(slurp(root() / "f"), "");
    EXPECT_EQ(open("/f", O_RDONLY | O_DIRECTORY), kENOTDIR);
    EXPECT_EQ(open("/f", 3), kEINVAL);  // no such access mode
    EXPECT_EQ(open("/new", O_RDONLY), kENOENT);
    EXPECT_FALSE(fs::exists(root() / "new"));
}

TEST_F(SandboxTest, WritefileReplacesTheWholeFileAndLeavesNoTemporary)
{
    spit(root() / "doc.txt", std::string(100, 'x'));
    fs::permissions(root() / "doc.txt", fs::perms(0600));
    EXPECT_EQ(writefile("/doc.txt", "abc"), 3);
    EXPECT_EQ(slurp(root() / "doc.txt"), "abc");
    EXPECT_EQ(fs::status(root() / "doc.txt").permissions(), fs::perms(0600));
    EXPECT_EQ(writefile("doc.txt", ""), 0);
    EXPECT_EQ(slurp(root() / "doc.txt"), "");
    std::string binary("\0\x01\xff\n\0", 5);
    EXPECT_EQ(writefile("/doc.txt", binary), 5);
    EXPECT_EQ(slurp(root() / "doc.txt"), binary);
    EXPECT_EQ(listing(root()), std::vector<std::string>{"doc.txt"});

    EXPECT_EQ(path_call("mkdir", "/sub"), 0);
    EXPECT_EQ(writefile("/sub/../sub/./inner", "deep"), 4);
    EXPECT_EQ(slurp(root() / "sub/inner"), "deep");
    EXPECT_EQ(listing(root() / "sub"), std::vector<std::string>{"inner"});
    // Refusals leave nothing behind either.
    EXPECT_EQ(writefile("/sub", "x"), kEISDIR);
    EXPECT_EQ(writefile("/", "x"), kEISDIR);
    EXPECT_EQ(writefile("/missing/file", "x"), kENOENT);
    EXPECT_EQ(writefile("/doc.txt/file", "x"), kENOTDIR);
    EXPECT_EQ(listing(root()), (std::vector<std::string>{"doc.txt", "sub"}));
    EXPECT_EQ(listing(root() / "sub"), std::vector<std::string>{"inner"});
}

TEST_F(SandboxTest, StreamsWriteTheFileOnlyAtTheEnd)
{
    int32_t s = guest()("vekfs_stream_begin", str("/stream.txt")).value();
    EXPECT_EQ(s, 1);
    uint32_t abc = str("abc"), def = str("def");
    EXPECT_EQ(guest()("vekfs_stream_write", s, abc, 3).value(), 3);
    EXPECT_FALSE(fs::exists(root() / "stream.txt"));
    // The target was fixed when the stream began.
    EXPECT_EQ(path_call("mkdir", "/elsewhere"), 0);
    EXPECT_EQ(path_call("chdir", "/elsewhere"), 0);
    EXPECT_EQ(guest()("vekfs_stream_write", s, def, 3).value(), 3);
    EXPECT_EQ(guest()("vekfs_stream_write", s, def, 0).value(), 0);
    EXPECT_EQ(guest()("vekfs_stream_end", s).value(), 0);
    EXPECT_EQ(slurp(root() / "stream.txt"), "abcdef");
    EXPECT_TRUE(fs::is_empty(root() / "elsewhere"));
    EXPECT_EQ(guest()("vekfs_stream_end", s).value(), kEBADF);
    EXPECT_EQ(guest()("vekfs_stream_write", s, abc, 3).value(), kEBADF);
    EXPECT_EQ(guest()("vekfs_stream_write", 77, abc, 3).value(), kEBADF);

    int32_t t = guest()("vekfs_stream_begin", str("/no/dir/file")).value();
    EXPECT_EQ(t, 2);
    EXPECT_EQ(guest()("vekfs_stream_end", t).value(), kENOENT);
}

TEST_F(SandboxTest, DotDotAtTheRootStaysInTheRoot)
{
    const std::string probe = "vekos-escape-probe-" + std::to_string(getpid());
    const fs::path parent = root().parent_path();
    ASSERT_FALSE(fs::exists(parent / probe));
    EXPECT_EQ(writefile("../../" + probe, "x"), 1);
    EXPECT_EQ(slurp(root() / probe), "x");
    EXPECT_EQ(path_call("mkdir", "/../../" + probe + "-dir"), 0);
    EXPECT_TRUE(fs::is_directory(root() / (probe + "-dir")));
    int32_t fd = open("../" + probe + "-open", O_WRONLY | O_CREAT);
    EXPECT_EQ(fd, 3);
    EXPECT_TRUE(fs::exists(root() / (probe + "-open")));
    EXPECT_EQ(path_call("chdir", "../../.."), 0);
    EXPECT_EQ(getcwd(64), std::make_pair(2, std::string("/")));
    for (const char* suffix : {"", "-dir", "-open"})
        EXPECT_FALSE(fs::exists(parent / (probe + suffix))) << suffix;
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
        fs::create_symlink("/", root() / "to_root");
        fs::create_symlink(outside_, root() / "to_outside");
        fs::create_symlink(outside_ / "marker", root() / "to_marker");
        fs::create_symlink("../../../../../../..", root() / "up");
        fs::create_symlink("../" + outside_.filename().string(), root() / "to_sibling");
        fs::create_symlink("../" + outside_.filename().string() + "/marker", root() / "to_sibling_marker");
    }
    void TearDown() override
    {
        EXPECT_EQ(slurp(outside_ / "marker"), "secret");
        EXPECT_EQ(listing(outside_), std::vector<std::string>{"marker"});
        fs::remove_all(outside_);
    }
    fs::path outside_;
};

TEST_F(SymlinkTest, LinksResolveInsideTheRoot)
{
    for (const char* path : {"/to_root/inside.txt", "/up/inside.txt", "/up/up/to_root/inside.txt",
                             "/to_root/../inside.txt"}) {
        int32_t fd = open(path, O_RDONLY);
        EXPECT_EQ(fd, 3) << path;
        EXPECT_EQ(read(fd, 16), std::make_pair(6, std::string("inside"))) << path;
        close(fd);
    }
    EXPECT_EQ(path_call("chdir", "/to_root"), 0);
    EXPECT_EQ(getcwd(64), std::make_pair(9, std::string("/to_root")));
    EXPECT_EQ(open("inside.txt", O_RDONLY), 3);
}

TEST_F(SymlinkTest, NothingOutsideCanBeReadOrWritten)
{
    const std::string name = outside_.filename().string();
    const std::string abs = outside_.string();
    // The marker reached through linked or absolute directories.
    for (const std::string& path : std::vector<std::string>{"/to_outside/marker", "/to_sibling/marker", "/up/" + name + "/marker",
                                    "/to_root/../" + name + "/marker", abs + "/marker", "/up" + abs + "/marker"}) {
        EXPECT_EQ(open(path, O_RDONLY), kENOENT) << path;
        EXPECT_EQ(open(path, O_WRONLY | O_TRUNC), kENOENT) << path;
        EXPECT_EQ(open(path, O_RDWR | O_CREAT), kENOENT) << path;
        EXPECT_EQ(writefile(path, "pwned"), kENOENT) << path;
        EXPECT_EQ(path_call("unlink", path), kENOENT) << path;
    }
    // Links whose last part leads out.
    for (const char* link : {"/to_marker", "/to_sibling_marker"}) {
        EXPECT_EQ(open(link, O_RDONLY), kENOENT) << link;
        EXPECT_EQ(open(link, O_WRONLY | O_TRUNC), kENOENT) << link;
        EXPECT_EQ(open(link, O_RDWR | O_CREAT), kENOENT) << link;
    }
    // New names in directories outside.
    for (const std::string& dir : {std::string("/to_outside"), std::string("/to_sibling"), "/up/" + name, abs}) {
        EXPECT_EQ(writefile(dir + "/new", "pwned"), kENOENT) << dir;
        EXPECT_EQ(open(dir + "/new", O_WRONLY | O_CREAT), kENOENT) << dir;
        EXPECT_EQ(path_call("mkdir", dir + "/new"), kENOENT) << dir;
        EXPECT_EQ(path_call("rmdir", dir + "/x"), kENOENT) << dir;
        EXPECT_EQ(path_call("chdir", dir), kENOENT) << dir;
    }
    EXPECT_EQ(getcwd(64), std::make_pair(2, std::string("/")));
    // writefile on the link itself replaces the link, never its target.
    EXPECT_EQ(writefile("/to_marker", "replaced"), 8);
    EXPECT_FALSE(fs::is_symlink(root() / "to_marker"));
    EXPECT_EQ(slurp(root() / "to_marker"), "replaced");
    // Removing a link removes the link.
    EXPECT_EQ(path_call("unlink", "/to_outside"), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root() / "to_outside")));
}

TEST_F(SandboxTest, WorkingDirectoryFollowsChdir)
{
    EXPECT_EQ(getcwd(64), std::make_pair(2, std::string("/")));
    EXPECT_EQ(path_call("mkdir", "/a"), 0);
    EXPECT_EQ(path_call("mkdir", "a/b"), 0);
    EXPECT_EQ(path_call("chdir", "a"), 0);
    EXPECT_EQ(path_call("chdir", "./b/"), 0);
    EXPECT_EQ(getcwd(64), std::make_pair(5, std::string("/a/b")));
    EXPECT_EQ(getcwd(5), std::make_pair(5, std::string("/a/b")));  // exactly enough
    uint32_t small = guest().alloc(8, 0xEE);
    EXPECT_EQ(guest()("getcwd", small, 4).value(), kERANGE);
    EXPECT_EQ(guest().read(small, 8), std::vector<uint8_t>(8, 0xEE));
    EXPECT_EQ(writefile("here", "1"), 1);
    EXPECT_EQ(slurp(root() / "a/b/here"), "1");
    EXPECT_EQ(path_call("chdir", ".."), 0);
    EXPECT_EQ(getcwd(64), std::make_pair(3, std::string("/a")));
    EXPECT_EQ(path_call("chdir", "/missing"), kENOENT);
    EXPECT_EQ(path_call("chdir", "b/here"), kENOTDIR);
    EXPECT_EQ(getcwd(64), std::make_pair(3, std::string("/a")));  // unchanged by refusals
    EXPECT_EQ(path_call("chdir", ""), kENOENT);
}

TEST_F(SandboxTest, RefusalsAnswerTheDocumentedNumbers)
{
    spit(root() / "file", "x");
    fs::create_directories(root() / "full/inner");
    fs::create_directories(root() / "empty");
    struct Row {
        const char* fn;
        const char* path;
        int32_t answer;
    };
    const std::vector<Row> rows = {
        {"unlink", "/missing", kENOENT},   {"rmdir", "/missing", kENOENT},  {"mkdir", "/missing/x", kENOENT},
        {"mkdir", "/file", kEEXIST},       {"mkdir", "/empty", kEEXIST},    {"mkdir", "/", kEEXIST},
        {"mkdir", "/file/x", kENOTDIR},    {"unlink", "/file/x", kENOTDIR}, {"rmdir", "/file", kENOTDIR},
        {"chdir", "/file", kENOTDIR},      {"unlink", "/empty", kEISDIR},   {"unlink", "/", kEISDIR},
        {"rmdir", "/full", kENOTEMPTY},    {"rmdir", "/empty", 0},          {"unlink", "/file", 0},
        {"mkdir", "", kENOENT},
    };
    for (const Row& row : rows)
        EXPECT_EQ(path_call(row.fn, row.path), row.answer) << row.fn << " " << row.path;
    EXPECT_EQ(listing(root()), std::vector<std::string>{"full"});
    EXPECT_EQ(open("/full", O_WRONLY), kEISDIR);
    int32_t dir = open("/full", O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(dir, 3);
    EXPECT_EQ(read(dir, 4).first, kEISDIR);
    EXPECT_EQ(close(77), kEBADF);
    EXPECT_EQ(close(-1), kEBADF);
    EXPECT_EQ(read(40, 4).first, kEBADF);
    EXPECT_EQ(write(1 << 20, "x"), kEBADF);
    EXPECT_EQ(read(1, 4).first, kEBADF);   // console output is not for reading
    EXPECT_EQ(write(0, "x"), kEBADF);      // nor console input for writing
}

TEST_F(SandboxTest, ConsoleAndPipesCannotSeek)
{
    for (int32_t fd : {0, 1, 2})
        EXPECT_EQ(lseek(fd, 0, 0), kESPIPE) << fd;
    auto [r, w] = pipe();
    EXPECT_EQ(lseek(r, 0, 0), kESPIPE);
    EXPECT_EQ(lseek(w, 0, 1), kESPIPE);
    EXPECT_EQ(lseek(9, 0, 0), kEBADF);
}

TEST_F(SandboxTest, DescriptorsAreNumberedLowestFirstUpToALimit)
{
    spit(root() / "f", "x");
    std::vector<int32_t> got;
    for (int i = 0; i < 70; ++i) {
        int32_t fd = open("/f", O_RDONLY);
        got.push_back(fd);
        if (fd < 0)
            break;
    }
    ASSERT_EQ(got.size(), 62u);  // 3..63, then refused
    for (size_t i = 0; i < 61; ++i)
        EXPECT_EQ(got[i], int32_t(i + 3));
    EXPECT_EQ(got.back(), kEMFILE);
    EXPECT_EQ(guest()("dup", 1).value(), kEMFILE);
    EXPECT_EQ(close(10), 0);
    EXPECT_EQ(close(5), 0);
    EXPECT_EQ(open("/f", O_RDONLY), 5);
    EXPECT_EQ(guest()("dup", 0).value(), 10);
}

TEST_F(SandboxTest, DupSharesTheDescriptionAndDup2Replaces)
{
    EXPECT_EQ(guest()("dup", 1).value(), 3);
    EXPECT_EQ(write(3, "via dup\n"), 8);
    EXPECT_EQ(guest()("dup2", 2, 20).value(), 20);
    EXPECT_EQ(guest()("dup2", 1, 1).value(), 1);
    EXPECT_EQ(guest()("dup2", 1, 63).value(), 63);
    EXPECT_EQ(guest()("dup2", 1, 64).value(), kEBADF);
    EXPECT_EQ(guest()("dup2", 1, -1).value(), kEBADF);
    EXPECT_EQ(guest()("dup2", 50, 4).value(), kEBADF);
    EXPECT_EQ(guest()("dup", 50).value(), kEBADF);
    EXPECT_EQ(write(63, "via dup2\n"), 9);
    EXPECT_EQ(guest().output(), "via dup\nvia dup2\n");
    EXPECT_EQ(close(1), 0);
    EXPECT_EQ(write(1, "lost"), kEBADF);
    EXPECT_EQ(write(3, "still\n"), 6);  // the copy outlives the original
    EXPECT_EQ(guest().output(), "via dup\nvia dup2\nstill\n");

    // Copies share one file offset.
    spit(root() / "f", "abcdefgh");
    int32_t a = open("/f", O_RDONLY);
    EXPECT_EQ(a, 1);  // the lowest free number
    int32_t b = guest()("dup", a).value();
    EXPECT_EQ(b, 4);
    EXPECT_EQ(read(a, 3), std::make_pair(3, std::string("abc")));
    EXPECT_EQ(read(b, 3), std::make_pair(3, std::string("def")));
    // dup2 over an open descriptor closes the old file first.
    int32_t c = open("/f", O_RDONLY);
    EXPECT_EQ(guest()("dup2", a, c).value(), c);
    EXPECT_EQ(read(c, 8), std::make_pair(2, std::string("gh")));
}

TEST_F(SandboxTest, PipesCarryBytesAndNeverHang)
{
    auto [r, w] = pipe();
    EXPECT_EQ(r, 3);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(read(r, 8).first, kEAGAIN);  // empty, writer alive: no waiting
    EXPECT_EQ(read(r, 0).first, 0);
    EXPECT_EQ(write(w, "hello"), 5);
    EXPECT_EQ(write(w, " pipe"), 5);
    EXPECT_EQ(read(r, 3), std::make_pair(3, std::string("hel")));
    EXPECT_EQ(read(r, 100), std::make_pair(7, std::string("lo pipe")));
    EXPECT_EQ(read(w, 4).first, kEBADF);
    EXPECT_EQ(write(r, "x"), kEBADF);

    // A copy of the writer keeps the pipe open.
    int32_t w2 = guest()("dup", w).value();
    EXPECT_EQ(close(w), 0);
    EXPECT_EQ(read(r, 8).first, kEAGAIN);
    EXPECT_EQ(write(w2, "z"), 1);
    EXPECT_EQ(close(w2), 0);
    EXPECT_EQ(read(r, 8), std::make_pair(1, std::string("z")));  // data outlives the writers
    EXPECT_EQ(read(r, 8).first, 0);                              // then end of file

    // Writing with no reader left.
    auto [r3, w3] = pipe();
    EXPECT_EQ(close(r3), 0);
    EXPECT_EQ(write(w3, "x"), kEPIPE);
}

TEST_F(SandboxTest, AFullPipeRefusesInsteadOfWaiting)
{
    auto [r, w] = pipe();
    std::string big(70000, 'p');
    EXPECT_EQ(write(w, big), 65536);
    EXPECT_EQ(write(w, "x"), kEAGAIN);
    EXPECT_EQ(read(r, 10).first, 10);
    EXPECT_EQ(write(w, "0123456789abc"), 10);
    std::string drained;
    for (;;) {
        auto [n, bytes] = read(r, 40000);
        if (n <= 0) {
            EXPECT_EQ(n, kEAGAIN);
            break;
        }
        drained += bytes;
    }
    EXPECT_EQ(drained, std::string(65526, 'p') + "0123456789");
}

} // namespace
} // namespace vekos::test
