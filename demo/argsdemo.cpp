// Demo: prints its arguments, one per line, with write; exits with the status
// given as its first argument (a decimal number, optionally negative), else 0.
#include <string.h>
#include <unistd.h>

namespace {

bool parse_status(const char *text, int *status)
{
    bool negative = *text == '-';
    if (negative)
        ++text;
    if (!*text)
        return false;
    int value = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        value = value * 10 + (*text - '0');
    }
    *status = negative ? -value : value;
    return true;
}

} // namespace

extern "C" int main(int argc, char **argv)
{
    for (int i = 0; i < argc; ++i) {
        write(1, argv[i], strlen(argv[i]));
        write(1, "\n", 1);
    }
    int status = 0;
    if (argc > 1)
        parse_status(argv[1], &status);
    return status;
}
