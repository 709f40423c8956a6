// Numbers as the text of a table's cells.
#pragma once

#include <string>

namespace tessel::core::csv {

// Appends `value` as "%.<significant>g" writes it in C and in Python:
// correctly rounded to that many significant digits, trailing zeros dropped,
// an exponent of at least two digits below 1e-4 or from 10^significant on;
// "inf", "-inf", and "nan" whatever the sign of the NaN.
void append_general(std::string& out, double value, int significant);

}  // namespace tessel::core::csv
