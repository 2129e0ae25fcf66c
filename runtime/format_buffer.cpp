// The buffer formatter: one pass over the format, every character generated
// in order and stored only while it fits, the full length answered.
#include "stdio.h"

#include "format_impl.h"
#include "string_impl.h"

namespace {

using namespace vekos::format;

// The caller's buffer and how far the output has got.
struct Output {
    char *buf;
    unsigned limit; // positions below this are stored: size - 1, or 0 when nothing is
    unsigned pos;   // characters generated so far; stays at ~0u once it gets there
};

// One directive's fields.
struct Directive {
    bool left;     // "-": fill after the text
    bool zero;     // "0": fill integers with zeros
    bool plus;     // "+": "+" before non-negative d and i
    int width;     // fill up to this many characters; <= 0 never fills
    int precision; // least digits, or most string bytes; < 0 when absent
    char conversion;
};

void advance(Output &out, unsigned n) { out.pos = saturating_add(out.pos, n, ~0u); }

// How many more characters the buffer takes.
unsigned room(const Output &out) { return out.pos < out.limit ? out.limit - out.pos : 0; }

void put_char(Output &out, char c)
{
    if (out.pos < out.limit)
        out.buf[out.pos] = c;
    advance(out, 1);
}

// n copies of c.  Only the stored ones cost a step; the rest are counted.
void put_fill(Output &out, char c, unsigned n)
{
    const unsigned stored = n < room(out) ? n : room(out);
    for (unsigned i = 0; i < stored; ++i)
        out.buf[out.pos + i] = c;
    advance(out, n);
}

void put_text(Output &out, const char *text, unsigned n)
{
    const unsigned stored = n < room(out) ? n : room(out);
    for (unsigned i = 0; i < stored; ++i)
        out.buf[out.pos + i] = text[i];
    advance(out, n);
}

// Bytes of s before its terminator, but never more than max: a precision
// keeps the scan inside the bytes it will print.  Like strlen, a pointer
// into page 0 reads as the empty string.
unsigned text_length(const char *s, unsigned max)
{
    if (vekos::strings::below_guard(s))
        return 0;
    unsigned n = 0;
    while (n < max && s[n])
        ++n;
    return n;
}

void put_integer(Output &out, const Directive &d, char sign, unsigned magnitude, unsigned base, bool upper)
{
    char digits[digit_area_size];
    int count;
    snbuf_render_unsigned(digits, &count, magnitude, base, upper);
    const unsigned n = unsigned(count);
    const unsigned zeros = d.precision > count ? unsigned(d.precision) - n : 0;
    const unsigned fill = fill_for(d.width, (sign ? 1 : 0) + zeros + n);
    // Zeros take the place of the fill only without "-" and without a precision.
    const bool zero_fill = d.zero && !d.left && d.precision < 0;
    if (!d.left && !zero_fill)
        put_fill(out, ' ', fill);
    if (sign)
        put_char(out, sign);
    put_fill(out, '0', zero_fill ? fill : zeros);
    put_text(out, digits, n);
    if (d.left)
        put_fill(out, ' ', fill);
}

void put_string(Output &out, const Directive &d, const char *s)
{
    if (!s)
        s = null_text;
    const unsigned n = text_length(s, d.precision < 0 ? ~0u : unsigned(d.precision));
    const unsigned fill = fill_for(d.width, n);
    if (!d.left)
        put_fill(out, ' ', fill);
    put_text(out, s, n);
    if (d.left)
        put_fill(out, ' ', fill);
}

void put_pointer(Output &out, unsigned address)
{
    char digits[digit_area_size];
    int count;
    snbuf_render_unsigned(digits, &count, address, 16, 0);
    put_char(out, '0');
    put_char(out, 'x');
    put_text(out, digits, unsigned(count));
}

void convert(Output &out, const Directive &d, va_list &args)
{
    switch (d.conversion) {
    case 'd':
    case 'i': {
        const int value = va_arg(args, int);
        if (value < 0)
            put_integer(out, d, '-', 0u - unsigned(value), 10, false);
        else
            put_integer(out, d, d.plus ? '+' : 0, unsigned(value), 10, false);
        break;
    }
    case 'u': put_integer(out, d, 0, va_arg(args, unsigned), 10, false); break;
    case 'x': put_integer(out, d, 0, va_arg(args, unsigned), 16, false); break;
    case 'X': put_integer(out, d, 0, va_arg(args, unsigned), 16, true); break;
    case 'p': put_pointer(out, reinterpret_cast<uintptr_t>(va_arg(args, void *))); break;
    case 'c': put_char(out, char(va_arg(args, int))); break;
    case 's': put_string(out, d, va_arg(args, const char *)); break;
    case '%': put_char(out, '%'); break;
    default: // not a conversion: copied, no argument taken
        put_char(out, '%');
        put_char(out, d.conversion);
        break;
    }
}

// Reads the directive after a "%" up to its conversion character, taking
// "*" arguments on the way.  Answers the byte after the conversion
// character, or null when the format ends inside the directive.
const char *read_directive(const char *p, Directive &d, va_list &args)
{
    d = Directive{false, false, false, 0, -1, 0};
    for (;; ++p) {
        if (*p == '-')
            d.left = true;
        else if (*p == '0')
            d.zero = true;
        else if (*p == '+')
            d.plus = true;
        else
            break;
    }
    p = read_width_and_precision(p, d.width, d.precision, args);
    if (*p == 'l')
        p += p[1] == 'l' ? 2 : 1;
    else if (*p == 'z')
        ++p;
    d.conversion = *p;
    return *p ? p + 1 : nullptr;
}

void walk(Output &out, const char *p, va_list &args)
{
    while (*p) {
        if (*p != '%') {
            put_char(out, *p++);
            continue;
        }
        Directive d;
        p = read_directive(p + 1, d, args);
        if (!p)
            return;
        convert(out, d, args);
    }
}

} // namespace

extern "C" int vsnprintf(char *buf, size_t size, const char *format, va_list args)
{
    Output out = {buf, buf && size ? unsigned(size) - 1 : 0, 0};
    if (format)
        walk(out, format, args);
    if (buf && size)
        buf[out.pos < size ? out.pos : size - 1] = '\0';
    return out.pos > max_count ? int(max_count) : int(out.pos);
}
