/* Records of the buffered kinds filled by hand, in a program that links no
 * opener of them: writes and the close are refused with -1.  The status
 * counts the refusals (3); a call through a missing routine would fault. */
#include <stdio.h>

int main(void)
{
    FILE memory = {STREAM_MEMORY}, file = {STREAM_FILE_WRITE};
    int refused = fputs("x", &memory) == -1;
    refused += fwrite("x", 1, 1, &file) == 0;
    refused += fclose(&file) == -1;
    return refused;
}
