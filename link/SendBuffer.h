// A message buffer kept for the whole run, so that no send allocates. Its
// header is built on first use; afterwards only the per-send header fields
// are stamped before each send.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/Messages.h"

namespace velmir {

template <std::size_t Length>
class SendBuffer {
  public:
    static constexpr std::size_t Size = Length;

    std::uint8_t* Get() {
        if (!ready_) {
            ConstructHeader(bytes_);
            ready_ = true;
        }
        return bytes_;
    }

  private:
    alignas(8) std::uint8_t bytes_[Length] = {};
    bool ready_ = false;
};

}  // namespace velmir
