// The file services through the guest's own wrappers, checked against the
// host directory that is the guest's "/": exact bytes, exact answers, and no
// way out of the root.
#include "harness.h"

#include <unistd.h>

#include <fstream>
#include <iomanip>
#include <map>
#include <numeric>
#include <sstream>

namespace vekos::test {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

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
    // One call from its words: the wrapper, then its arguments: a number, open's flags by name ("O_WRONLY|
    // O_CREAT"), $NAME for a buffer of bytes(), any other word (quoted when it has blanks) a string.  read FD N,
    // getcwd N and pipe get a buffer of N bytes (pipe 8) and give what landed in it; nothing past that changes.
    std::pair<int32_t, std::string> run(const std::string& line)
    {
        static const std::map<std::string, uint32_t> flags = {{"O_RDONLY", 0}, {"O_WRONLY", 1}, {"O_RDWR", 2},
            {"O_CREAT", 0x40}, {"O_EXCL", 0x80}, {"O_TRUNC", 0x200}, {"O_APPEND", 0x400}, {"O_DIRECTORY", 0x10000}};
        std::istringstream in(line);
        std::string fn, word;
        std::vector<uint32_t> args;
        for (in >> fn; in >> std::ws && !in.eof();) {
            const bool quoted = in.peek() == '"';
            in >> std::quoted(word);
            char* end = nullptr;
            const uint32_t number = uint32_t(std::strtoll(word.c_str(), &end, 0));
            uint32_t flag = 0;
            for (std::istringstream parts(quoted ? "" : word);
                 word.starts_with("O_") && std::getline(parts, word, '|');)
                flag |= flags.at(word);
            args.push_back(!quoted && word.starts_with("O_") ? flag
                    : !quoted && !word.empty() && !*end      ? number
                    : !quoted && word.starts_with("$")       ? buffers_.at(word)
                                                             : guest().put_string(word));
        }
        const bool read = fn == "read", pipe = fn == "pipe", buffered = read || pipe || fn == "getcwd";
        const uint32_t size = pipe ? 8 : buffered ? args.back() : 0, buf = guest().alloc(size + 1, 0xEE);
        if (buffered)
            args.insert(args.begin() + read, buf);
        const int32_t answer = guest().call(fn, args).value();
        std::vector<uint8_t> got = guest().read(buf, size + 1);
        std::string data = answer < 0 || !buffered ? ""
            : read                                 ? std::string(got.begin(), got.begin() + answer)
            : pipe ? std::to_string(guest().read_u32(buf)) + "," + std::to_string(guest().read_u32(buf + 4))
                   : guest().read_cstring(buf);
        const size_t used = read ? data.size() : pipe && !answer ? 8 : data.empty() ? 0 : data.size() + 1;
        EXPECT_EQ(std::vector<uint8_t>(got.begin() + used, got.end()), std::vector<uint8_t>(size + 1 - used, 0xEE))
            << line << ": past the answer";
        return {answer, data};
    }
    // Calls one after another, each "CALL = ANSWER", or "CALL = ANSWER DATA" (DATA quoted when it has blanks),
    // separated by "; ".
    void steps(const std::string& script)
    {
        std::istringstream in(script);
        for (std::string step; std::getline(in >> std::ws, step, ';');) {
            std::istringstream want(step.substr(step.rfind(" = ") + 3));
            std::pair<int32_t, std::string> answer;
            want >> answer.first >> std::quoted(answer.second);
            EXPECT_EQ(run(step.substr(0, step.rfind(" = "))), answer) << step;
        }
    }
    void bytes(const std::string& name, std::string_view s) { buffers_["$" + name] = guest().put_bytes(s); }
    std::map<std::string, uint32_t> buffers_;
};

// Descriptors are the stand-in's own numbering, 3 first after the console's 0, 1, 2; seeks refused (before
// 0, past what an answer can say, no such whence) move nothing; the access mode holds (3 is none).
TEST_F(SandboxTest, FilesLandInTheRootByteForByte)
{
    std::string all(256, 0);
    std::iota(all.begin(), all.end(), 0);
    bytes("all", all);
    steps("open /bytes.bin O_WRONLY|O_CREAT|O_TRUNC = 3; write 3 $all 256 = 256; write 3 \"\" 0 = 0; close 3 = 0; "
          "open bytes.bin O_RDONLY = 3");
    EXPECT_EQ(slurp(root() / "bytes.bin"), all);
    EXPECT_EQ(run("read 3 10"), std::pair(10, all.substr(0, 10)));
    steps("lseek 3 0 1 = 10; lseek 3 -6 2 = 250");
    EXPECT_EQ(run("read 3 100"), std::pair(6, all.substr(250)));
    steps("read 3 100 = 0; lseek 3 128 0 = 128; read 3 1 = 1 \x80; lseek 3 0x7FFFFFFF 0 = 2147483647; "
          "lseek 3 0x7FFFFFFF 1 = -75; lseek 3 0 1 = 2147483647; lseek 3 -0x7FFFFFFF 1 = 0; lseek 3 -1 1 = -22; "
          "lseek 3 0x7FFFFF00 2 = -75; lseek 3 -257 2 = -22; lseek 3 0 1 = 0; lseek 3 5 0 = 5; lseek 3 -1 0 = -22; "
          "lseek 3 0 3 = -22; lseek 3 0 1 = 5; write 3 x 1 = -9; close 3 = 0; close 3 = -9");
    spit(root() / "f", "0123456789");
    steps("open /f O_WRONLY|O_APPEND = 3; write 3 ab 2 = 2; close 3 = 0; open /f O_RDWR = 3; write 3 XY 2 = 2; "
          "lseek 3 0 0 = 0; read 3 4 = 4 XY23; close 3 = 0");
    EXPECT_EQ(slurp(root() / "f"), "XY23456789ab");
    steps("open /f O_WRONLY|O_CREAT|O_EXCL = -17; open /f O_WRONLY|O_TRUNC = 3; close 3 = 0; "
          "open /f O_RDONLY|O_DIRECTORY = -20; open /f 3 = -22; open /new O_RDONLY = -2");
    EXPECT_EQ(slurp(root() / "f"), "");
    EXPECT_EQ(listing(root()), (Names{"bytes.bin", "f"}));
}

// Whole files replace the old content (its mode stays) and streams, numbered from 1, write theirs only at the
// end, to the target fixed when they began; neither leaves a temporary.
TEST_F(SandboxTest, WritefileAndStreamsReplaceWholeFilesWithoutTemporaries)
{
    spit(root() / "doc.txt", std::string(100, 'x'));
    fs::permissions(root() / "doc.txt", fs::perms(0600));
    for (const std::string& text : {std::string("abc"), std::string(), std::string("\0\x01\xff\n\0", 5)}) {
        bytes("text", text);
        const std::string n = std::to_string(text.size());
        steps("writefile " + std::string(text.empty() ? "doc.txt" : "/doc.txt") + " $text " + n + " = " + n);
        EXPECT_EQ(slurp(root() / "doc.txt"), text);
    }
    EXPECT_EQ(fs::status(root() / "doc.txt").permissions(), fs::perms(0600));
    steps("mkdir /sub = 0; writefile /sub/../sub/./inner deep 4 = 4; vekfs_stream_begin /stream.txt = 1; "
          "vekfs_stream_write 1 abc 3 = 3");
    EXPECT_FALSE(fs::exists(root() / "stream.txt"));
    steps("mkdir /elsewhere = 0; chdir /elsewhere = 0; vekfs_stream_write 1 def 3 = 3; vekfs_stream_write 1 def 0 = 0; "
          "vekfs_stream_end 1 = 0; vekfs_stream_end 1 = -9; vekfs_stream_write 1 abc 3 = -9; "
          "vekfs_stream_write 77 abc 3 = -9; vekfs_stream_begin /no/dir/file = 2; vekfs_stream_end 2 = -2");
    EXPECT_EQ(slurp(root() / "stream.txt") + slurp(root() / "sub/inner"), "abcdefdeep");
    EXPECT_EQ(listing(root()), (Names{"doc.txt", "elsewhere", "stream.txt", "sub"}));
    EXPECT_EQ(listing(root() / "sub"), Names{"inner"});
    EXPECT_TRUE(fs::is_empty(root() / "elsewhere"));
}

// Links resolve inside the root, absolute ones too, and nothing outside is reached: a directory beside the
// root holds a marker the guest must never read, change or add to.  ".." at the root stays in the root.
TEST_F(SandboxTest, LinksResolveInsideTheRootAndNothingOutsideIsReached)
{
    const fs::path outside = root().parent_path() / (root().filename().string() + "-outside");
    fs::create_directories(outside);
    const std::shared_ptr<void> remove(nullptr, [&](void*) { fs::remove_all(outside); });
    spit(outside / "marker", "secret");
    spit(root() / "inside.txt", "inside");
    const std::string name = outside.filename().string(), abs = outside.string(), sibling = "../" + name;
    for (const auto& [target, link] : std::vector<std::pair<fs::path, const char*>>{{"/", "to_root"},
             {outside, "to_outside"}, {outside / "marker", "to_marker"}, {"../../../../../../..", "up"},
             {sibling, "to_sibling"}, {sibling + "/marker", "to_sibling_marker"}, {"inside.txt", "to_inside"}})
        fs::create_symlink(target, root() / link);
    for (const char* path :
        {"/to_root/inside.txt", "/up/inside.txt", "/up/up/to_root/inside.txt", "/to_root/../inside.txt"})
        steps("open " + std::string(path) + " O_RDONLY = 3; read 3 16 = 6 inside; close 3 = 0");
    steps("chdir /to_root = 0; getcwd 64 = 9 /to_root; open inside.txt O_RDONLY = 3; close 3 = 0; chdir / = 0");
    // The marker through linked or absolute directories, and links whose last part leads out (the links
    // themselves are removed below); new names in directories outside.
    for (const std::string& path :
        Names{"/to_outside/marker", "/to_sibling/marker", "/up/" + name + "/marker", "/to_root/../" + name + "/marker",
            abs + "/marker", "/up" + abs + "/marker", "/to_marker", "/to_sibling_marker"})
        steps("open " + path + " O_RDONLY = -2; open " + path + " O_WRONLY|O_TRUNC = -2; open " + path
            + " O_RDWR|O_CREAT = -2; writefile " + path + " x 1 = -2"
            + (path.find('/', 1) == std::string::npos ? "" : "; unlink " + path + " = -2"));
    for (const std::string& dir : Names{"/to_outside", "/to_sibling", "/up/" + name, abs})
        steps("writefile " + dir + "/new x 1 = -2; open " + dir + "/new O_WRONLY|O_CREAT = -2; mkdir " + dir
            + "/new = -2; rmdir " + dir + "/x = -2; chdir " + dir + " = -2");
    // writefile follows a link inside the root, as open does: the link stays, the file it names gets the
    // content; unlink removes a link, not what it names.
    steps("getcwd 64 = 2 /; writefile /to_inside x 1 = 1; unlink /to_outside = 0");
    EXPECT_TRUE(fs::is_symlink(root() / "to_marker") && fs::is_symlink(root() / "to_inside"));
    EXPECT_EQ(slurp(root() / "inside.txt"), "x");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root() / "to_outside")));
    const std::string probe = "vekos-escape-probe-" + std::to_string(getpid());
    steps("writefile ../../" + probe + " x 1 = 1; mkdir /../../" + probe + "-dir = 0; open ../" + probe
        + "-open O_WRONLY|O_CREAT = 3; chdir ../../.. = 0; getcwd 64 = 2 /");
    for (const char* suffix : {"", "-dir", "-open"})
        EXPECT_TRUE(fs::exists(root() / (probe + suffix)) && !fs::exists(root().parent_path() / (probe + suffix)))
            << suffix;
    EXPECT_EQ(slurp(outside / "marker"), "secret");
    EXPECT_EQ(listing(outside), Names{"marker"});
}

// Each refusal changes nothing: the working directory stays, nothing is made or removed.  Console output is
// not for reading, nor console input for writing, nor either for seeking.
TEST_F(SandboxTest, WorkingDirectoryAndRefusals)
{
    spit(root() / "file", "x");
    fs::create_directories(root() / "full/inner");
    fs::create_directories(root() / "empty");
    steps("getcwd 64 = 2 /; mkdir /a = 0; mkdir a/b = 0; chdir a = 0; chdir ./b/ = 0; getcwd 64 = 5 /a/b; "
          "getcwd 5 = 5 /a/b; getcwd 4 = -34; writefile here x 1 = 1; chdir .. = 0; getcwd 64 = 3 /a; "
          "chdir /missing = -2; chdir b/here = -20; chdir \"\" = -2; getcwd 64 = 3 /a; chdir / = 0; "
          "unlink /missing = -2; rmdir /missing = -2; mkdir /missing/x = -2; mkdir /file = -17; mkdir /empty = -17; "
          "mkdir / = -17; mkdir /file/x = -20; unlink /file/x = -20; rmdir /file = -20; chdir /file = -20; "
          "unlink /empty = -21; unlink / = -21; writefile /empty x 1 = -21; writefile / x 1 = -21; "
          "writefile /file/x x 1 = -20; writefile /missing/x x 1 = -2; rmdir /full = -39; rmdir /empty = 0; "
          "unlink /file = 0; mkdir \"\" = -2");
    EXPECT_EQ(slurp(root() / "a/b/here"), "x");
    EXPECT_EQ(listing(root()), (Names{"a", "full"}));
    steps("open /full O_WRONLY = -21; open /full O_RDONLY|O_DIRECTORY = 3; read 3 4 = -21; close 77 = -9; "
          "close -1 = -9; read 40 4 = -9; write 1048576 x 1 = -9; read 1 4 = -9; write 0 x 1 = -9; lseek 0 0 0 = -29; "
          "lseek 1 0 0 = -29; lseek 2 0 0 = -29; lseek 9 0 0 = -9");
}

// The lowest free number first, up to 63; a copy shares the file offset and outlives the original; dup2
// over an open descriptor closes the old file first.
TEST_F(SandboxTest, DescriptorsAreLowestFirstUpToALimitAndDupShares)
{
    spit(root() / "f", "x");
    for (int32_t want = 3; want <= 63; ++want)
        ASSERT_EQ(run("open /f O_RDONLY").first, want);
    steps("open /f O_RDONLY = -24; dup 1 = -24; close 10 = 0; close 5 = 0; open /f O_RDONLY = 5; dup 0 = 10");
    for (int32_t fd = 3; fd <= 63; ++fd)
        run("close " + std::to_string(fd));
    steps(
        "dup 1 = 3; write 3 \"via dup\n\" 8 = 8; dup2 2 20 = 20; dup2 1 1 = 1; dup2 1 63 = 63; dup2 1 64 = -9; "
        "dup2 1 -1 = -9; dup2 50 4 = -9; dup 50 = -9; write 63 \"via dup2\n\" 9 = 9; close 1 = 0; write 1 lost 4 = -9; "
        "write 3 \"still\n\" 6 = 6");
    EXPECT_EQ(guest().output(), "via dup\nvia dup2\nstill\n");
    spit(root() / "f", "abcdefgh");
    steps("open /f O_RDONLY = 1; dup 1 = 4; open /f O_RDONLY = 5; read 1 3 = 3 abc; read 4 3 = 3 def; dup2 1 5 = 5; "
          "read 5 8 = 2 gh");
}

// Reading an empty pipe whose writer lives, or writing a full one, is refused at once (-11); the data
// outlives the writers (a copy keeps the pipe open), then comes the end of file; no reader: -32.
TEST_F(SandboxTest, PipesCarryBytesAndNeverHang)
{
    bytes("many", std::string(70000, 'p'));
    steps("pipe = 0 3,4; lseek 3 0 0 = -29; lseek 4 0 1 = -29; read 3 8 = -11; read 3 0 = 0; write 4 hello 5 = 5; "
          "write 4 \" pipe\" 5 = 5; read 3 3 = 3 hel; read 3 100 = 7 \"lo pipe\"; read 4 4 = -9; write 3 x 1 = -9; "
          "write 4 $many 70000 = 65536; write 4 x 1 = -11; read 3 10 = 10 pppppppppp; write 4 0123456789abc 13 = 10; "
          "dup 4 = 5; close 4 = 0");
    EXPECT_EQ(run("read 3 40000"), std::pair(40000, std::string(40000, 'p')));
    EXPECT_EQ(run("read 3 40000"), std::pair(25536, std::string(25526, 'p') + "0123456789"));
    steps("read 3 8 = -11; write 5 z 1 = 1; close 5 = 0; read 3 8 = 1 z; read 3 8 = 0; pipe = 0 4,5; close 4 = 0; "
          "write 5 x 1 = -32");
}

} // namespace
} // namespace vekos::test
