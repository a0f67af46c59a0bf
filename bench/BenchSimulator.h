// What the plugin benchmarks share: the plugin started in-process in a
// temporary simulator folder with its slots filled, and position samples
// fed to it as the receive loop would.
#pragma once

#include "tests/support/LinkedPlugin.h"
#include "tests/support/Wire.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/Clock.h"
#include "host/Host.h"
#include "link/Connection.h"
#include "plugin/Lifecycle.h"
#include "plugin/Schedule.h"
#include "traffic/AircraftTable.h"
#include "traffic/ModelInjection.h"
#include "traffic/Motion.h"

namespace velmir::bench {

namespace fs = std::filesystem;

constexpr double Pi = 3.14159265358979323846;

struct Sample {
    int index;
    double time, x, y, z;
    float pitch, bank, heading, vx, vy, vz, pitchRate, yawRate, rollRate, ax, ay, az;
};

// PositionMessage at literal offsets.
inline void SendPosition(const Sample& s) {
    const host::GeoPoint geo = host::LocalToWorld(s.x, s.y, s.z);
    test::Wire d(4, 120, static_cast<std::uint8_t>(s.index));
    d.At(25, s.time).At(33, geo.lat).At(41, geo.lon).At(49, geo.alt);
    const float floats[] = {s.pitch,     s.bank,    s.heading,  s.vx, s.vy, s.vz,
                            s.pitchRate, s.yawRate, s.rollRate, s.ax, s.ay, s.az};
    for (int i = 0; i < 12; ++i) d.At(57 + 4 * i, floats[i]);
    HandlePosition(d.At(115, -1.0f).data());
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
            char pilot[20], tail[40];
            std::snprintf(pilot, sizeof pilot, "Pilot %02d", slot);
            std::snprintf(tail, sizeof tail, "N%05d", 10000 + slot);
            ApplyModel(test::Wire(3, 345, static_cast<std::uint8_t>(slot))
                           .Text(29, pilot)
                           .Text(49, tail)
                           .Text(89, "Model")
                           .data());
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
