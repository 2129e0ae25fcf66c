// The stream formatter: each piece of output goes to the stream the moment
// it is known, through file_write_bytes, and the bytes written are counted.
#include "stdio_impl.h"

#include <stdint.h>

#include "format_impl.h"
#include "string.h"

namespace {

using namespace vekos::format;

// Room for the digits of any 64-bit value in any base used here.
constexpr unsigned wide_digit_area_size = 32;

// The console's control record: this byte, then three argument bytes.
constexpr unsigned char control_record_mark = 0xFF;

// The stream and the bytes written to it so far.
struct Sink {
    FILE *stream;
    unsigned count; // stays at max_count once it gets there
};

// One directive's fields: no flags here, "0" begins the width.
struct Directive {
    int width;     // <= 0 never fills
    int precision; // < 0 when absent
    bool wide;     // "ll": a 64-bit argument of two words, low word first
    char conversion;
};

bool write_out(Sink &out, const void *src, unsigned n)
{
    if (file_write_bytes(out.stream, src, n) != 0)
        return false;
    out.count = saturating_add(out.count, n, max_count);
    return true;
}

bool write_byte(Sink &out, char c) { return write_out(out, &c, 1); }

// n copies of c, one write each.
bool write_repeated(Sink &out, char c, unsigned n)
{
    for (unsigned i = 0; i < n; ++i)
        if (!write_byte(out, c))
            return false;
    return true;
}

// The directive's integer argument: two words under "ll", else one word,
// sign-extended for d and i.
uint64_t read_integer(const Directive &d, va_list &args)
{
    if (d.wide) {
        const uint64_t low = va_arg(args, unsigned);
        const uint64_t high = va_arg(args, unsigned);
        return high << 32 | low;
    }
    if (d.conversion == 'd' || d.conversion == 'i')
        return uint64_t(int64_t(va_arg(args, int)));
    return va_arg(args, unsigned);
}

// Digits of value, most significant first, into area; answers their number.
unsigned render_wide(char *area, uint64_t value, unsigned base)
{
    char reversed[wide_digit_area_size];
    unsigned n = 0;
    do {
        reversed[n++] = lower_digits[value % base];
        value /= base;
    } while (value != 0);
    for (unsigned i = 0; i < n; ++i)
        area[i] = reversed[n - 1 - i];
    return n;
}

bool write_integer(Sink &out, const Directive &d, va_list &args)
{
    uint64_t value = read_integer(d, args);
    const bool negative = (d.conversion == 'd' || d.conversion == 'i') && int64_t(value) < 0;
    if (negative)
        value = 0 - value;
    const bool pointer = d.conversion == 'p';
    char digits[wide_digit_area_size];
    const unsigned n = render_wide(digits, value, d.conversion == 'x' || pointer ? 16 : 10);
    const unsigned zeros = d.precision > int(n) ? unsigned(d.precision) - n : 0;
    const unsigned fill = fill_for(d.width, (negative ? 1 : 0) + (pointer ? 2 : 0) + zeros + n);
    if (!write_repeated(out, ' ', fill))
        return false;
    if (negative && !write_byte(out, '-'))
        return false;
    if (pointer && !(write_byte(out, '0') && write_byte(out, 'x')))
        return false;
    return write_repeated(out, '0', zeros) && write_out(out, digits, n);
}

// Only the bytes the precision lets through are looked at.
bool write_string(Sink &out, const Directive &d, const char *s)
{
    if (!s)
        s = null_text;
    const unsigned n = d.precision < 0 ? strlen(s) : strnlen(s, unsigned(d.precision));
    return write_repeated(out, ' ', fill_for(d.width, n)) && write_out(out, s, n);
}

bool convert(Sink &out, const Directive &d, va_list &args)
{
    switch (d.conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'p': return write_integer(out, d, args);
    case 'c': return write_byte(out, char(va_arg(args, int)));
    case 's': return write_string(out, d, va_arg(args, const char *));
    case '%': return write_byte(out, '%');
    default: // not a conversion: copied, no argument taken
        return write_byte(out, '%') && write_byte(out, d.conversion);
    }
}

// Reads the directive after a "%" up to its conversion character, taking
// "*" arguments on the way.  Answers the byte after the conversion
// character, or null when the format ends inside the directive.
const char *read_directive(const char *p, Directive &d, va_list &args)
{
    d = Directive{0, -1, false, 0};
    p = read_width_and_precision(p, d.width, d.precision, args);
    if (*p == 'l') {
        ++p;
        if (*p == 'l') {
            d.wide = true;
            ++p;
        }
    }
    d.conversion = *p;
    return *p ? p + 1 : nullptr;
}

// The console's four-byte control record from the next three arguments.
bool write_control_record(FILE *stream, va_list &args)
{
    unsigned char record[4] = {control_record_mark, 0, 0, 0};
    for (int i = 1; i < 4; ++i)
        record[i] = static_cast<unsigned char>(va_arg(args, int));
    return file_write_bytes(stream, record, sizeof record) == 0;
}

bool opens_control_record(const FILE *stream, const char *format)
{
    return stream->kind == STREAM_FD && stream->fd == vekos::stdio::output_fd && format[0] == '%' && format[1] == 'c';
}

} // namespace

extern "C" int vfprintf(FILE *stream, const char *format, va_list args)
{
    if (!stream || !format)
        return -1;
    if (opens_control_record(stream, format)) {
        if (!write_control_record(stream, args))
            return -1;
        format += 2;
    }
    Sink out = {stream, 0};
    const char *p = format;
    while (*p) {
        if (*p != '%') {
            if (!write_byte(out, *p++))
                return -1;
            continue;
        }
        Directive d;
        p = read_directive(p + 1, d, args);
        if (!p)
            break;
        if (!convert(out, d, args))
            return -1;
    }
    return int(out.count);
}
