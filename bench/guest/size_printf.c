/* One formatted line: a number and a string through the stream formatter. */
#include <stdio.h>

int main(int argc, char **argv)
{
    printf("hello %d %s\n", argc, argv[0]);
    return 0;
}
