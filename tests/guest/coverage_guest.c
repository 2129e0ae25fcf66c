/* A guest for the line-coverage tests, built with -O0 -g.  Each line that
   carries code is marked; the tests find lines by their marks.  The linker
   drops never_called, so its lines must not count. */
int never_called(int x)
{
    return x * 3;                      /* mark:dropped */
}

int classify(int x)
{
    if (x > 0)                         /* mark:if */
        return 1;                      /* mark:then */
    return -1;                         /* mark:else */
}                                      /* mark:close */

int main(int argc, char **argv)
{                                      /* mark:main */
    (void)argv;
    return classify(argc) + 1;         /* mark:call */
}                                      /* mark:main-close */
