// Comparisons: bytes as unsigned values, the answer being the difference of
// the two bytes that decide.
#include "string.h"

#include "string_impl.h"

using namespace vekos::strings;

namespace {

// The guards shared by strcmp and strncmp; true when they decide the answer.
bool guarded_answer(const char *a, const char *b, int &answer)
{
    if (a == b)
        answer = 0;
    else if (below_guard(a))
        answer = -1;
    else if (below_guard(b))
        answer = 1;
    else
        return false;
    return true;
}

} // namespace

extern "C" {

int strcmp(const char *a, const char *b)
{
    int answer;
    if (guarded_answer(a, b, answer))
        return answer;
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    while (*x != 0 && *x == *y) {
        ++x;
        ++y;
    }
    return difference(*x, *y);
}

int strncmp(const char *a, const char *b, size_t n)
{
    int answer;
    if (n == 0)
        return 0;
    if (guarded_answer(a, b, answer))
        return answer;
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (size_t i = 0; i < n; ++i)
        if (x[i] == 0 || x[i] != y[i])
            return difference(x[i], y[i]);
    return 0;
}

// Only null is refused here: any other pointer is read.
int strcasecmp(const char *a, const char *b)
{
    if (!a)
        return b ? -1 : 0;
    if (!b)
        return 1;
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (;; ++x, ++y) {
        unsigned fx = fold(*x), fy = fold(*y);
        if (fx == 0 || fx != fy)
            return int(fx) - int(fy);
    }
}

int strncasecmp(const char *a, const char *b, size_t n)
{
    if (n == 0 || a == b)
        return 0;
    if (!a)
        return -1;
    if (!b)
        return 1;
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (size_t i = 0; i < n; ++i) {
        unsigned fx = fold(x[i]), fy = fold(y[i]);
        if (fx != fy)
            return int(fx) - int(fy);
        if (fx == 0)
            return 0;
    }
    return 0;
}

int memcmp(const void *a, const void *b, size_t n)
{
    const unsigned char *x = static_cast<const unsigned char *>(a);
    const unsigned char *y = static_cast<const unsigned char *>(b);
    for (size_t i = 0; i < n; ++i)
        if (x[i] != y[i])
            return difference(x[i], y[i]);
    return 0;
}

} // extern "C"
