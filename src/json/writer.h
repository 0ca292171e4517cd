#pragma once

// The JSON text writer: compact text (no whitespace at all), object items in ascending key order,
// integers in plain decimal and doubles in the shortest form that reads back to the same double, always
// with a decimal point or an exponent.
//
// A double that is not finite (an infinity or a NaN) has no JSON form: it is written as null, so that
// the text stays valid JSON. Printing does not recurse: any depth of nesting prints.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/value.h"

namespace JSON {

// Buffer sizes the number formatters need, terminating 0 included.
constexpr size_t kFormatIntegerBufferSize = 21;  // "-9223372036854775808"
constexpr size_t kFormatDoubleBufferSize = 64;

// Appends the text of the value to `out` and returns `out`. Throws JSON::Exception "JSON value undefined:
// cannot generate text representation" for an Undefined value or a literal of an unknown kind anywhere
// in the tree; what was appended up to that point stays.
std::wstring& GenerateText(const Value& value, std::wstring& out);
std::wstring GenerateText(const Value& value);

// Appends the text between quotes: ", \ and / get a backslash; 8, 9, 10, 12, 13 become \b \t \n \f \r;
// any other character below 32 becomes \u00XX (upper-case hex); everything else is written unchanged.
std::wstring& EscapeString(std::wstring& out, std::wstring_view text);
std::wstring EscapeString(std::wstring_view text);

// Writes the decimal text and a terminating 0 into `buffer` (at least kFormatIntegerBufferSize
// characters); returns the number of characters before the 0.
size_t FormatInteger(int64_t value, wchar_t* buffer);

// Writes the text of a double and a terminating 0 into `buffer` (at least kFormatDoubleBufferSize
// characters); returns the number of characters before the 0. The digits come from Grisu2: the
// shortest string (in all but rare cases) that reads back to the same double.
//   0.5, 0.001234, 0.000001 (down to 1e-6 in plain form), 12.34, 1234.0, 100000.0 (up to 16 digits
//   before the point), 1e16, 1.5e-7, 1.7976931348623157e308; -0.0 for negative zero; null when not
//   finite.
size_t FormatDouble(double value, char* buffer);
size_t FormatDouble(double value, wchar_t* buffer);
std::string FormatDoubleString(double value);
std::wstring FormatDoubleWString(double value);

}  // namespace JSON
