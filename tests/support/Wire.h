// Datagrams as a client puts them on the wire, for tests, benchmarks and
// fuzz targets. Every byte is a literal offset here, never one of the
// plugin's layout constants, so a wrong offset there cannot hide behind the
// same constant in the test. A datagram is exactly as long as asked: the
// plugin drops one shorter than its type's layout, and tests send short and
// long ones on purpose.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace velmir::test {

class Wire : public std::vector<std::uint8_t> {
  public:
    // As much of a valid header as fits in `length` bytes (link tag 0x0B,
    // data version 21007, the type at byte 23), the aircraft index at byte
    // 24, zeros after.
    Wire(std::uint8_t type, std::size_t length, std::uint8_t index = 0)
        : std::vector<std::uint8_t>(length, 0) {
        std::uint8_t header[25] = {0x0B};
        header[21] = 0x0F;
        header[22] = 0x52;
        header[23] = type;
        header[24] = index;
        std::copy_n(header, std::min(length, sizeof header), begin());
    }

    // `value` little-endian (the only byte order the plugin builds for) at
    // `offset`. A write past the end is a mistake in the test: it throws.
    template <class T>
    Wire& At(std::size_t offset, T value) {
        static_assert(std::is_arithmetic_v<T>, "fields are numbers; use Text for bytes");
        Fits(offset, sizeof value);
        std::memcpy(data() + offset, &value, sizeof value);
        return *this;
    }
    // The text's bytes at `offset`, without a terminator.
    Wire& Text(std::size_t offset, const std::string& text) {
        Fits(offset, text.size());
        std::memcpy(data() + offset, text.data(), text.size());
        return *this;
    }

  private:
    void Fits(std::size_t offset, std::size_t width) const {
        if (offset + width > size())
            throw std::out_of_range("a field at byte " + std::to_string(offset) +
                                    " does not fit in a datagram of " + std::to_string(size()) +
                                    " bytes");
    }
};

}  // namespace velmir::test
