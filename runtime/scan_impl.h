// What the formatted-input pieces share: the byte classes of the scanner.
// Every place has its own exact set of blanks.  Not installed.
#ifndef VEKOS_SCAN_IMPL_H
#define VEKOS_SCAN_IMPL_H

namespace vekos::scan {

// A blank in the format, and what such a blank skips in the input.
inline bool is_directive_blank(unsigned char c) { return c == '\t' || c == '\n' || c == ' '; }

// Skipped before a number or a word: line feeds are not.
inline bool is_field_blank(unsigned char c) { return c == ' ' || c == '\t'; }

// What ends an "s" word.
inline bool ends_word(unsigned char c) { return c == 0 || c == ' ' || c == '\t' || c == '\n'; }

// What separates the words that fscanf reads from a stream.
inline bool is_stream_separator(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// fscanf's word buffer, terminating zero included.
constexpr unsigned word_buffer_size = 256;

} // namespace vekos::scan

#endif
