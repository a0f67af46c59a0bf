// Scenario files for `velmir-client inject`: remote aircraft on scripted paths.
//
// One aircraft per line, '#' starts a comment, fields separated by white
// space; a field with spaces is written in double quotes ("" is empty, \" and
// \\ escape inside quotes):
//   SLOT TAIL NAME MODEL circle LAT LON RADIUS_M ALT_M SPEED_MS cw|ccw [START_BEARING]
//   SLOT TAIL NAME MODEL line   LAT LON HEADING SPEED_MS ALT_M
//   SLOT TAIL NAME MODEL hold   LAT LON ALT_M [HEADING] [ground]
#pragma once

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <random>
#include <string>
#include <vector>

#include "client/Client.h"

namespace velmir::client {

enum class PathKind { Circle, Line, Hold };

struct ScenarioAircraft {
    int Line = 0;
    std::uint8_t Slot = 0;  // 1..40
    std::string TailNumber, DisplayName, ModelName;
    PathKind Path = PathKind::Hold;
    double Latitude = 0, Longitude = 0, Altitude = 0;  // centre or start; m MSL
    double Radius = 0;                                 // circle, m
    double Speed = 0;                                  // circle and line, m/s
    double Heading = 0;                                // line and hold, deg true
    double StartBearing = 0;                           // circle: bearing from the centre at t = 0
    bool Clockwise = true;                             // circle, seen from above
    bool OnGround = false;                             // hold ... ground
};

struct Scenario {
    std::vector<ScenarioAircraft> Aircraft;
};

// Errors read "line N: ...".
bool ParseScenario(std::istream& in, Scenario& scenario, std::string& error);
bool LoadScenario(const std::string& path, Scenario& scenario, std::string& error);

// Where the aircraft is `elapsed` seconds into the run.
struct PathState {
    double Latitude = 0, Longitude = 0, Altitude = 0;
    double Pitch = 0, Bank = 0, Heading = 0;
    double VelocityEast = 0, VelocityUp = 0, VelocityNorth = 0;
    double AccelEast = 0, AccelNorth = 0;
    double YawRate = 0;
};
PathState SamplePath(const ScenarioAircraft& aircraft, double elapsed);

// The sample streamed for the aircraft: local-frame velocity (+x east, +y up,
// +z south), bank for turns, RadioAltitude −1 unless held on the ground.
PositionReport ScenarioPosition(const ScenarioAircraft& aircraft, double elapsed,
                                double senderTime);
ModelReport ScenarioModel(const ScenarioAircraft& aircraft);

// "<root>/Resources/plugins/Velmir/inject005" for slot 5.
std::string SlotFolder(const std::string& root, int slot);
// Writes the slot's object_list, cog and objects/*.obj (small OBJ8 meshes).
// Files are written under a temporary name and renamed, so the plugin never
// reads half a file.
bool WriteSlotFolder(const std::string& root, int slot, std::string& error);

// Delays, reorders and drops datagrams the way a poor network would.
struct Impairment {
    double LatencyMs = 0;
    double JitterMs = 0;     // extra delay, uniform in [0, JitterMs]
    double LossPercent = 0;  // 0..100
};

class ImpairedLink {
  public:
    explicit ImpairedLink(Impairment impairment, std::uint32_t seed = 7472);
    // Queues a datagram sent at `now` (seconds); it may be dropped at once.
    void Submit(const std::uint8_t* data, std::size_t length, double now);
    // Datagrams whose delivery time has come, in delivery order.
    std::vector<std::vector<std::uint8_t>> TakeDue(double now);
    std::size_t Pending() const { return queue_.size(); }
    std::uint64_t Dropped() const { return dropped_; }

  private:
    struct Entry {
        double DueAt;
        std::uint64_t Order;
        std::vector<std::uint8_t> Data;
    };
    Impairment impairment_;
    std::mt19937 random_;
    std::deque<Entry> queue_;  // kept sorted by (DueAt, Order)
    std::uint64_t next_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace velmir::client
