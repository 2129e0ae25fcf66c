/* A user's program that goes wrong in the ways vekos-run reports; argv[1]:
 *   crash     a store through a null pointer, three calls deep
 *   overflow  recursion without end
 *   colour    a console control record (the colour of the text after it) */
#include <stdio.h>
#include <string.h>

int *volatile nowhere; /* volatile: the compiler cannot see the null coming */

__attribute__((noinline)) static void poke(int *where) { *where = 7; }
__attribute__((noinline)) static void middle(int *where) { poke(where); }
__attribute__((noinline)) static int down(int depth)
{
    volatile char frame[200];
    frame[0] = (char)depth;
    return down(depth + 1) + frame[0];
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    if (strcmp(argv[1], "overflow") == 0)
        return down(0);
    if (strcmp(argv[1], "colour") == 0)
        return printf("%cgreen\n", 0, 200, 0) == 6 ? 0 : 1;
    middle(nowhere);
    return 0;
}
