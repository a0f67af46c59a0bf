#include "traffic/NumberFormat.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace velmir {

namespace {

const char* PrintfFormat(NumberFormat format) {
    switch (format) {
    case NumberFormat::Fixed0: return "%.0f";
    case NumberFormat::Fixed2: return "%.2f";
    case NumberFormat::General3: return "%.3g";
    }
    return "%g";
}

int Slow(char* buffer, std::size_t size, NumberFormat format, double value) {
    const int written = std::snprintf(buffer, size, PrintfFormat(format), value);
    if (written < 0 || static_cast<std::size_t>(written) >= size) {
        buffer[0] = '\0';
        return -1;
    }
    return written;
}

// The fast path is exact only when scaling by a power of ten loses nothing,
// which holds for any float (24-bit mantissa) times up to 100.
bool IsWidenedFloat(double value) {
    return static_cast<double>(static_cast<float>(value)) == value;
}

// Digits of n, with a point before the last `decimals` of them.
int PutDigits(char* out, std::uint64_t n, int decimals, bool negative) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0 || count <= decimals);
    int length = 0;
    if (negative) out[length++] = '-';
    for (int i = count - 1; i >= 0; --i) {
        out[length++] = digits[i];
        if (i == decimals && decimals > 0) out[length++] = '.';
    }
    out[length] = '\0';
    return length;
}

}  // namespace

int FormatNumber(char* buffer, std::size_t size, NumberFormat format, double value) {
    if (buffer == nullptr || size == 0) return -1;
    // Within these bounds every scaled value is an exact integer-or-half
    // below 2^53, so rounding it to nearest in the current mode (ties to
    // even by default) is precisely what printf does with the decimal digits.
    if (!IsWidenedFloat(value) || !(std::fabs(value) < 1e13))
        return Slow(buffer, size, format, value);

    char text[32];
    int length;
    switch (format) {
    case NumberFormat::Fixed0:
    case NumberFormat::Fixed2: {
        const int decimals = format == NumberFormat::Fixed2 ? 2 : 0;
        const double rounded = std::nearbyint(decimals == 2 ? value * 100.0 : value);
        // printf keeps the sign of a negative value that rounds to zero.
        length = PutDigits(text, static_cast<std::uint64_t>(std::fabs(rounded)), decimals,
                           std::signbit(value));
        break;
    }
    case NumberFormat::General3: {
        // Three significant digits in fixed notation, trailing zeros dropped;
        // only for 1 to 999.5, where no exponent form can come out.
        if (!(value >= 1.0 && value < 999.0)) return Slow(buffer, size, format, value);
        int exponent = value >= 100.0 ? 2 : value >= 10.0 ? 1 : 0;
        double rounded = std::nearbyint(value * (exponent == 2   ? 1.0
                                                 : exponent == 1 ? 10.0
                                                                 : 100.0));
        if (rounded >= 1000.0) {  // 9.996 rounds to 10.0, 99.96 to 100
            ++exponent;
            rounded = std::nearbyint(value * (exponent == 2 ? 1.0 : 10.0));
        }
        int decimals = 2 - exponent;
        auto digits = static_cast<std::uint64_t>(rounded);
        while (decimals > 0 && digits % 10 == 0) {
            digits /= 10;
            --decimals;
        }
        length = PutDigits(text, digits, decimals, false);
        break;
    }
    default: return Slow(buffer, size, format, value);
    }
    if (static_cast<std::size_t>(length) >= size) {
        buffer[0] = '\0';
        return -1;
    }
    std::memcpy(buffer, text, static_cast<std::size_t>(length) + 1);
    return length;
}

}  // namespace velmir
