/* A user's first vekos program, in C: greets, echoes its arguments, exits 3. */
#include <fcntl.h>
#include <unistd.h>

static unsigned length(const char *s)
{
    unsigned n = 0;
    while (s[n])
        n++;
    return n;
}

int main(int argc, char **argv)
{
    write(1, "hello from C\n", 13);
    for (int i = 1; i < argc; i++) {
        write(1, argv[i], length(argv[i]));
        write(1, "\n", 1);
    }
    int fd = creat("/made-by-c.txt", 0644);
    if (fd < 0)
        return 1;
    write(fd, "c file\n", 7);
    close(fd);
    return 3;
}
