// Looking for a byte or a string inside a string.
#include "string.h"

#include "string_impl.h"

extern "C" {

char *strchr(const char *s, int ch)
{
    if (!s)
        return nullptr;
    const char c = static_cast<char>(ch);
    for (;; ++s) {
        if (*s == c)
            return const_cast<char *>(s);
        if (*s == 0)
            return nullptr;
    }
}

char *strrchr(const char *s, int ch)
{
    if (!s)
        return nullptr;
    const char c = static_cast<char>(ch);
    const char *last = nullptr;
    for (;; ++s) {
        if (*s == c)
            last = s;
        if (*s == 0)
            return const_cast<char *>(last);
    }
}

char *strstr(const char *hay, const char *needle)
{
    if (!hay || !needle)
        return nullptr;
    for (;; ++hay) {
        size_t i = 0;
        // A mismatch ends the comparison at hay's terminator at the latest.
        while (needle[i] != 0 && hay[i] == needle[i])
            ++i;
        if (needle[i] == 0)
            return const_cast<char *>(hay);
        if (*hay == 0)
            return nullptr;
    }
}

} // extern "C"
