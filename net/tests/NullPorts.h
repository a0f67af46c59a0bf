// Ports that do nothing, for tests and benchmarks that drive a Pilot
// without a broker or a plugin behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/pilot/Pilot.h"

namespace velmir::net {

struct NullNetwork : NetworkPort {
    int Published = 0;
    bool Publish(const std::string&, const std::uint8_t*, std::size_t, int, bool) override {
        ++Published;
        return true;
    }
    void Subscribe(const std::string&, int) override {}
    void Unsubscribe(const std::string&) override {}
};

struct NullPlugin : PluginPort {
    void PrepareSlot(int, const Identity&) override {}
    void SendModel(int, const Identity&) override {}
    void SendSample(const client::PositionReport&) override {}
    void RemoveSlot(int) override {}
};

}  // namespace velmir::net
