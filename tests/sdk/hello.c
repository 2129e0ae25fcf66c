/* A user's first vekos program, in C: greets, echoes its arguments, writes a
 * file through a stream, exits 3. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    write(1, "hello from C\n", 13);
    for (int i = 1; i < argc; i++)
        write(1, argv[i], strlen(argv[i])), write(1, "\n", 1);
    FILE *file = fopen("/made-by-c.txt", "w");
    fputs("c file\n", file);
    return fclose(file) != 0 ? 1 : 3;
}
