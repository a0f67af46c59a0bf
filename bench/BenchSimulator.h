// What the plugin benchmarks share: the plugin started in-process in a
// temporary simulator folder with its slots filled, and position samples
// fed to it as the receive loop would.
#pragma once

#include "tests/support/LinkedPlugin.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/Clock.h"
#include "host/Host.h"
#include "link/Connection.h"
#include "link/Messages.h"
#include "plugin/Lifecycle.h"
#include "plugin/Schedule.h"
#include "traffic/AircraftTable.h"
#include "traffic/ModelInjection.h"
#include "traffic/Motion.h"

namespace velmir::bench {

namespace fs = std::filesystem;

constexpr double Pi = 3.14159265358979323846;

inline void Header(std::uint8_t* bytes, std::uint8_t type, int index) {
    ConstructHeader(bytes);
    Put(bytes, Field<std::uint16_t>{21}, 21007);
    Put(bytes, Field<std::uint8_t>{23}, type);
    Put(bytes, Field<std::uint8_t>{24}, index);
}

struct Sample {
    int index;
    double time, x, y, z;
    float pitch, bank, heading, vx, vy, vz, pitchRate, yawRate, rollRate, ax, ay, az;
};

// PositionMessage, offsets as the protocol tables give them.
inline void SendPosition(const Sample& s) {
    std::uint8_t bytes[1024] = {};
    Header(bytes, 4, s.index);
    const host::GeoPoint geo = host::LocalToWorld(s.x, s.y, s.z);
    Put(bytes, Field<double>{25}, s.time);
    Put(bytes, Field<double>{33}, geo.lat);
    Put(bytes, Field<double>{41}, geo.lon);
    Put(bytes, Field<double>{49}, geo.alt);
    const float floats[] = {s.pitch,     s.bank,    s.heading,  s.vx, s.vy, s.vz,
                            s.pitchRate, s.yawRate, s.rollRate, s.ax, s.ay, s.az};
    for (int i = 0; i < 12; ++i)
        Put(bytes, Field<float>{static_cast<std::uint16_t>(57 + 4 * i)}, floats[i]);
    Put(bytes, Field<float>{115}, -1.0f);
    HandlePosition(bytes);
}

// A host session with the plugin's code started in this process, reading
// slot folders from a scratch directory.
class Simulator {
  public:
    Simulator() {
        char pattern[] = "/tmp/velmir-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        root_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(root_);
        host::Reset();
        host::SetLogEcho(false);
        host::SetRoot(root_.string());
        host::SetLoadDelayFrames(0);
        host::AttachPlugin(test::LinkedPlugin());
        host::StartPlugin();
        host::RunFrame();
        // The host's simulated clock would stop the benchmark's own timers;
        // each benchmark drives the plugin clock itself instead.
        host::SetClockMode(host::ClockMode::Real);
    }
    ~Simulator() {
        host::EndSession();
        fs::current_path(previous_);
        fs::remove_all(root_);
    }

    // Every slot gets a model of `objects` parts and a first sample.
    void FillTable(int objects) {
        std::string objectList;
        for (int i = 0; i < objects; ++i)
            objectList +=
                "part.obj 0 0 0 " + std::to_string(i % 3) + " 0.5 " + std::to_string(i - 4) + "\n";
        for (int slot = 1; slot <= SlotCount; ++slot) {
            char folder[64];
            std::snprintf(folder, sizeof folder, "Resources/plugins/Velmir/inject%03d/", slot);
            fs::create_directories(root_ / folder / "objects");
            std::ofstream(root_ / folder / "objects" / "part.obj") << "I\n800\nOBJ\n";
            std::ofstream(root_ / folder / "object_list") << objectList;
            std::ofstream(root_ / folder / "cog") << "0.5 -1 1.2\n";
            std::uint8_t model[1024] = {};
            Header(model, 3, slot);
            std::snprintf(reinterpret_cast<char*>(model + 29), 20, "Pilot %02d", slot);
            std::snprintf(reinterpret_cast<char*>(model + 49), 40, "N%05d", 10000 + slot);
            std::memcpy(model + 89, "Model", 5);
            ApplyModel(model);
        }
        host::RunFrame();
        for (int slot = 1; slot <= SlotCount; ++slot) {
            const double angle = slot * 2.0 * Pi / SlotCount;
            SendPosition(Sample{slot, 100.0, 2000.0 * std::cos(angle), 1500.0 + slot,
                                2000.0 * std::sin(angle), 2.0f, 15.0f, static_cast<float>(slot * 9),
                                50.0f, 1.0f, -20.0f, 0.5f, 3.0f, 1.0f, 0.2f, 0.0f, 0.1f});
        }
    }

  private:
    fs::path root_, previous_;
};

}  // namespace velmir::bench
