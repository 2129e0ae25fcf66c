/* The smallest stream program: one line on the console. */
#include <stdio.h>

int main(void)
{
    puts("hello");
    return 0;
}
