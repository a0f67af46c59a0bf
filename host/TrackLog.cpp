#include "host/TrackLog.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>

#include "host/Host.h"

namespace velmir::host {

TrackLog::~TrackLog() {
    if (file_) fclose(file_);
}

bool TrackLog::Open(const std::string& path, std::string* error) {
    file_ = fopen(path.c_str(), "w");
    if (!file_ && error) *error = "cannot write " + path + ": " + strerror(errno);
    return file_ != nullptr;
}

void TrackLog::Observe(int every) {
    if (!file_ || calls_++ % static_cast<unsigned long>(every) != 0) return;
    // The real clock: the simulated one starts at zero in every process.
    const double wall =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    fprintf(file_, "u %.3f %.8f %.8f %.1f\n", wall, GetDouble("sim/flightmodel/position/latitude"),
            GetDouble("sim/flightmodel/position/longitude"),
            GetDouble("sim/flightmodel/position/elevation"));
    // A slot counts while one of its objects is placed; its traffic target
    // (mode S id = slot) is the aircraft's reference point.
    std::set<int> placed;
    for (const InstanceInfo& i : Instances()) {
        const size_t at = i.objectPath.find("inject");
        int slot = 0;
        if (i.positioned && at != std::string::npos &&
            sscanf(i.objectPath.c_str() + at, "inject%3d", &slot) == 1)
            placed.insert(slot);
    }
    const std::string t = "sim/cockpit2/tcas/targets/";
    const int count = ActiveAircraftCount();
    for (int n = 1; n < 64 && n <= count; ++n) {
        const int slot = GetInt(t + "modeS_id", n);
        if (!placed.count(slot)) continue;
        const GeoPoint p =
            LocalToWorld(GetFloat(t + "position/x", n), GetFloat(t + "position/y", n),
                         GetFloat(t + "position/z", n));
        fprintf(file_, "s %.3f %d %.8f %.8f %.1f\n", wall, slot, p.lat, p.lon, p.alt);
    }
    fflush(file_);
}

}  // namespace velmir::host
