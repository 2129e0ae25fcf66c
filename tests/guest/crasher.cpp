// A guest program for the vekos-run tests; argv[1] says what it does:
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
// Anything else: "crasher: unknown mode" on standard error, status 2.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

volatile int zero = 0;
char buffer[4096];

int echo(int count, char **words)
{
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        unsigned n = strlen(words[i]) < 255 ? strlen(words[i]) : 255;
        memcpy(buffer, words[i], n);
        buffer[n++] = i + 1 < count ? ' ' : '\n';
        failed += write(1, buffer, n) != static_cast<int>(n);
    }
    return failed;
}

int cat(const char *path)
{
    int fd = open(path, O_RDONLY), n = 0;
    if (fd < 0)
        return write(2, "cat: cannot open\n", 17), 1;
    while ((n = read(fd, buffer, 64)) > 0)
        write(1, buffer, static_cast<unsigned>(n));
    return close(fd), n < 0;
}

int stream(const char *path, int kib)
{
    int handle = vekfs_stream_begin(path), answer = handle;
    for (int i = 0; i < kib && answer >= 0; ++i)
        answer = vekfs_stream_write(handle, buffer, 1024);
    if (answer >= 0 && (answer = vekfs_stream_end(handle)) >= 0)
        return 0;
    printf("%d\n", answer);
    return 1;
}

} // namespace

extern "C" int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    auto is = [&](const char *name, int args) { return strcmp(mode, name) == 0 && argc == 2 + args; };
    volatile int seven = 7; // a constant 7 would let the compiler avoid dividing
    if (is("div", 0))
        return seven / zero;
    else if (is("ud2", 0))
        asm volatile("ud2");
    else if (is("spin", 0))
        for (;;)
            asm volatile("");
    else if (is("sleep", 1))
        return sleep(static_cast<unsigned>(atoi(argv[2])));
    else if (is("write", 2))
        return writefile(argv[2], argv[3], strlen(argv[3])) != static_cast<int>(strlen(argv[3]));
    else if (is("cat", 1))
        return cat(argv[2]);
    else if (strcmp(mode, "echo") == 0)
        return echo(argc - 2, argv + 2);
    else if (is("exit", 1))
        return atoi(argv[2]);
    else if (is("flood", 0)) {
        memset(buffer, 'x', sizeof buffer);
        while (write(1, buffer, sizeof buffer) > 0) { }
        return 3;
    } else if (is("jump", 1))
        reinterpret_cast<void (*)()>(strtoul(argv[2], nullptr, 16))();
    else if (is("stream", 2))
        return stream(argv[2], atoi(argv[3]));
    return write(2, "crasher: unknown mode\n", 22), 2;
}
