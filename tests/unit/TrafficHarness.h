// The in-process fixture of the remote-aircraft tests: the plugin started
// in a temporary simulator folder, slot folders written into it, and
// datagrams built at literal offsets.
#pragma once

#include <cmath>
#include <cstring>
#include <string>

#include "host/Host.h"
#include "plugin/Schedule.h"
#include "link/Connection.h"
#include "link/Messages.h"
#include "core/Clock.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "traffic/ModelInjection.h"
#include "traffic/Motion.h"
#include "unit/AllocationCounter.h"
#include "unit/PluginHarness.h"
#include "user/SharedControl.h"

namespace velmir::test {

// Latitude, longitude, altitude of a local point, from `offset` on.
inline Wire& Local(Wire& d, int offset, double x, double y, double z) {
    const host::GeoPoint geo = host::LocalToWorld(x, y, z);
    return d.At(offset, geo.lat).At(offset + 8, geo.lon).At(offset + 16, geo.alt);
}

inline Wire Position(int index, double time, double x, double y, double z) {
    Wire d(4, 120, index);
    return Local(d.At(25, time), 33, x, y, z).At(115, -1.0f);
}
inline Wire Placement(int index, double x, double y, double z) {
    Wire d(5, 66, index);
    return Local(d, 25, x, y, z).At(61, -1.0f);
}

class Traffic : public InSimulatorFolder {
  protected:
    void SetUp() override {
        InSimulatorFolder::SetUp();
        host::SetLoadDelayFrames(0);
        PlanesAcquired = false;  // link state outlives a plugin stop
        StartPlugin();
        host::RunFrame();
    }
    // Object files a.obj, b.obj, ... exist; the list and cog are as given.
    void Model(int index, const std::string& model, const std::string& objectList,
               const std::string& cog = "", const std::string& tail = "N1") {
        for (const char* name : {"a.obj", "b.obj", "c.obj"})
            Write(Slot(index) + "objects/" + name, "I\n800\nOBJ\n");
        Write(Slot(index) + "object_list", objectList);
        if (!cog.empty()) Write(Slot(index) + "cog", cog);
        ApplyModel(Wire(3, 345, index).Text(29, "Pilot").Text(49, tail).Text(89, model).data());
    }
    static std::vector<std::string> LoadRequests() {
        std::vector<std::string> paths;
        for (const host::Call& call : host::Journal())
            if (call.function == "XPLMLoadObjectAsync") paths.push_back(call.arg);
        return paths;
    }
    // A slot mid-flight at PluginClock 50: its sample te seconds old on the
    // sender's clock, last stepped dt seconds ago, shown where received.
    static AircraftRecord& InFlight(double te, double dt) {
        AircraftRecord& r = AircraftTable[0];
        PluginClock = 50.0;
        r.Time = 1000.0;
        r.FilteredTime = 1000.0 + te;
        r.ReceivedAt = 50.0;
        r.UpdatedAt = 50.0 - dt;
        for (int i = 0; i < 3; ++i) {
            r.Position[i] = r.ShownPosition[i] = 100.0 * (i + 1);
            r.Velocity[i] = r.Accel[i] = r.Rates[i] = 0.0f;
            r.Attitude[i] = r.PrevAttitude[i] = r.ShownAttitude[i] = 0.0f;
        }
        return r;
    }
};

inline void ExpectTriple(const float* actual, float a, float b, float c) {
    EXPECT_FLOAT_EQ(actual[0], a);
    EXPECT_FLOAT_EQ(actual[1], b);
    EXPECT_FLOAT_EQ(actual[2], c);
}

}  // namespace velmir::test
