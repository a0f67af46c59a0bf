#pragma once

#include <cstdint>

namespace velmir {

// Handler of VariableMessage: one cockpit variable of the user aircraft, or
// one light of a remote aircraft.
void HandleVariable(const std::uint8_t* datagram);

}  // namespace velmir
