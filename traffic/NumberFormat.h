// The label's three number formats without printf's slow path.
#pragma once

#include <cstddef>

namespace velmir {

enum class NumberFormat {
    Fixed0,    // "%.0lf"
    Fixed2,    // "%.2lf"
    General3,  // "%.3lg"
};

// Writes value as snprintf would with the format, into buffer (size bytes,
// always terminated). Returns the length, or -1 (and "") when it does not
// fit. The result is exactly printf's for every value; a float widened to
// double, as the labels pass, takes a fast path, anything else goes through
// snprintf itself.
int FormatNumber(char* buffer, std::size_t size, NumberFormat format, double value);

}  // namespace velmir
