// Small conversions shared by the records and the state file, all in the C
// locale.
#ifndef COLLECTOR_DRIVER_TEXT_H_
#define COLLECTOR_DRIVER_TEXT_H_

#include <cstdarg>
#include <string>

// Appends the printf-style text of `format` and `ap` to *out, whatever its
// length. Returns the number of bytes appended, or -1 when the format cannot
// be formatted (nothing is appended then). `ap` is used once.
int append_vformat(std::string* out, const char* format, va_list ap);

// atoi: optional blanks and sign, then leading decimal digits; 0 when there
// are none. Values beyond the int range are clamped instead of wrapping.
int parse_int(const char* text);

// atof.
double parse_real(const char* text);

// "%f": six decimals, no exponent.
std::string format_real(double value);

// "%d".
std::string format_int(int value);

// A double truncated toward zero to an int, clamped to the int range (NaN
// gives 0), so that an absurd value from the client cannot overflow.
int truncate_to_int(double value);

#endif  // COLLECTOR_DRIVER_TEXT_H_
