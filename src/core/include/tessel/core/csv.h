// Numbers as the text of a table's cells.
#pragma once

#include <string>
#include <string_view>

namespace tessel::core::csv {

// Appends `value` as "%.<significant>g" writes it in C and in Python:
// correctly rounded to that many significant digits, trailing zeros dropped,
// an exponent of at least two digits below 1e-4 or from 10^significant on;
// "inf", "-inf", and "nan" whatever the sign of the NaN.
void append_general(std::string& out, double value, int significant);

// Appends `value` as "%.<decimals>f" writes it, correctly rounded (halfway
// cases to even), "inf", "-inf" and "nan" as above; a value that rounds to
// zero is written "0" (no "-0.000").
void append_fixed_or_zero(std::string& out, double value, int decimals);

// Appends `text` with the five characters HTML gives meaning escaped as
// Python's html.escape does: & < > " and '.
void append_escaped(std::string& out, std::string_view text);

}  // namespace tessel::core::csv
