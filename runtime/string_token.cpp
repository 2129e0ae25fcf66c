// Splitting a string into tokens, one call at a time.
#include "string.h"

#include "string_impl.h"

namespace {

// Where the next strtok(null, ...) goes on; null when no scan is in progress.
char *s_next = nullptr;

bool is_delimiter(char c, const char *delims)
{
    for (; *delims; ++delims)
        if (*delims == c)
            return true;
    return false;
}

} // namespace

extern "C" {

char *strtok(char *s, const char *delims)
{
    if (s)
        s_next = s;
    else if (!s_next)
        return nullptr;
    char *p = s_next;
    s_next = nullptr; // the answer for every way the scan can end below
    if (*p == 0)
        return nullptr;
    // Without delimiters the rest of the string is the one token.
    if (!delims || *delims == 0)
        return p;
    while (is_delimiter(*p, delims))
        ++p;
    if (*p == 0)
        return nullptr;
    char *token = p;
    for (; *p; ++p) {
        if (is_delimiter(*p, delims)) {
            *p = 0;
            s_next = p + 1;
            break;
        }
    }
    return token;
}

} // extern "C"
