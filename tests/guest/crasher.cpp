// A guest program for the vekos-run tests; argv[1] says what it does:
//   null             store to address 0
//   div              divide by zero
//   ud2              execute an invalid instruction
//   spin             loop forever
//   sleep N          sleep N seconds
//   write PATH TEXT  writefile PATH with TEXT; status 1 if refused
//   cat PATH         copy PATH to the console; status 1 if it cannot be opened
//   echo WORDS...    each word with one write (" " or "\n" after it); the
//                    status is the number of writes that failed
//   exit N           exit with status N
//   flood            write to the console until a write fails; status 3
//   jump ADDR        jump to the hexadecimal address ADDR
//   stream PATH KIB  a whole-file stream of KIB KiB written to PATH, 1 KiB a
//                    call; prints the first failing answer and exits 1
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

void say(int fd, const char *text) { write(fd, text, strlen(text)); }

int echo(int count, char **words)
{
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        char line[256];
        unsigned n = 0;
        for (const char *p = words[i]; *p && n < sizeof line - 1; ++p)
            line[n++] = *p;
        line[n++] = i + 1 < count ? ' ' : '\n';
        if (write(1, line, n) != static_cast<int>(n))
            ++failed;
    }
    return failed;
}

int cat(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        say(2, "cat: cannot open\n");
        return 1;
    }
    char buf[64];
    int n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        write(1, buf, static_cast<unsigned>(n));
    close(fd);
    return n < 0 ? 1 : 0;
}

int stream(const char *path, int kib)
{
    static char block[1024];
    int handle = vekfs_stream_begin(path);
    int answer = handle;
    for (int i = 0; i < kib && answer >= 0; ++i)
        answer = vekfs_stream_write(handle, block, sizeof block);
    if (answer >= 0)
        answer = vekfs_stream_end(handle);
    if (answer < 0) {
        printf("%d\n", answer);
        return 1;
    }
    return 0;
}

volatile int zero = 0;

} // namespace

extern "C" int main(int argc, char **argv)
{
    if (argc < 2) {
        say(2, "usage: crasher null|div|ud2|spin|sleep N|write PATH TEXT|cat PATH|echo WORDS...|exit N\n");
        return 2;
    }
    const char *mode = argv[1];
    if (strcmp(mode, "null") == 0) {
        *reinterpret_cast<volatile unsigned *>(zero) = 1;
        return 0;
    }
    if (strcmp(mode, "div") == 0) {
        volatile int dividend = 7; // a constant 1 would let the compiler avoid dividing
        return dividend / zero;
    }
    if (strcmp(mode, "ud2") == 0) {
        asm volatile("ud2");
        return 0;
    }
    if (strcmp(mode, "spin") == 0) {
        for (;;)
            asm volatile("");
    }
    if (strcmp(mode, "sleep") == 0 && argc == 3) {
        sleep(static_cast<unsigned>(atoi(argv[2])));
        return 0;
    }
    if (strcmp(mode, "write") == 0 && argc == 4) {
        unsigned n = strlen(argv[3]);
        return writefile(argv[2], argv[3], n) == static_cast<int>(n) ? 0 : 1;
    }
    if (strcmp(mode, "cat") == 0 && argc == 3)
        return cat(argv[2]);
    if (strcmp(mode, "echo") == 0)
        return echo(argc - 2, argv + 2);
    if (strcmp(mode, "exit") == 0 && argc == 3)
        return atoi(argv[2]);
    if (strcmp(mode, "flood") == 0) {
        static char line[4096];
        memset(line, 'x', sizeof line);
        while (write(1, line, sizeof line) > 0) { }
        return 3;
    }
    if (strcmp(mode, "jump") == 0 && argc == 3)
        reinterpret_cast<void (*)()>(strtoul(argv[2], nullptr, 16))();
    if (strcmp(mode, "stream") == 0 && argc == 4)
        return stream(argv[2], atoi(argv[3]));
    say(2, "crasher: unknown mode\n");
    return 2;
}
