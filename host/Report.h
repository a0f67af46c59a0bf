// What the plugin did during a run, summed up as JSON (velmir-sim --report),
// so that a check made outside the simulator's process (the Windows build
// under Wine, for one) can see the plugin's side effects: its log, the object
// instances it placed, the traffic targets and dataref overrides it wrote,
// the planes it held and the text it drew.
//
//   RunReport report;
//   report.Begin();                    // after Reset, before the plugin starts
//   ... RunFrame(); report.Observe();  // after every frame
//   report.Finish();                   // before StopPlugin
//   StopPlugin();
//   report.Stopped();
//   report.Write("report.json", &error);
//
// Per-frame sampling matters because most effects are undone before the end
// of a run: a disconnect removes every instance and target.
#ifndef VELMIR_HOST_REPORT_H
#define VELMIR_HOST_REPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/Host.h"

namespace velmir::host {

class RunReport {
  public:
    // Turns the host's write log on; Observe empties it every frame.
    void Begin();
    void Observe();
    void Finish();
    void Stopped();

    std::string Json() const;
    bool Write(const std::string& path, std::string* error = nullptr) const;

    struct InstanceSeen {
        const void* ref = nullptr;
        std::string objectPath;
        uint64_t firstFrame = 0, lastFrame = 0;
        bool live = true;
        bool positioned = false;
        int positionSets = 0;
        XPLMDrawInfo_t position{};
    };
    // One per (target index, mode S id) the plugin published.
    struct TargetSeen {
        int index = 0;
        int modeS = 0;
        std::string flightId;
        float x = 0, y = 0, z = 0;
        bool positioned = false;
        uint64_t firstFrame = 0, lastFrame = 0;
    };
    struct OverrideChange {
        uint64_t frame = 0;
        double value = 0;
    };
    struct WritesSeen {
        int count = 0;
        uint64_t lastFrame = 0;
        std::map<int, double> last;  // element (byte for byte arrays) -> value
    };

    const std::vector<InstanceSeen>& InstancesSeen() const { return instances_; }
    const std::vector<TargetSeen>& TargetsSeen() const { return targets_; }
    const std::map<std::string, WritesSeen>& Writes() const { return writes_; }
    // Value changes of each override element the plugin wrote.
    const std::map<std::pair<std::string, int>, std::vector<OverrideChange>>& OverrideChanges()
        const {
        return overrides_;
    }

  private:
    struct UserSeen {
        double x = 0, y = 0, z = 0, lat = 0, lon = 0, elevation = 0;
    };
    UserSeen user_;
    void FoldWrites(std::map<std::string, WritesSeen>& into, bool duringRun);
    void FoldTarget(const DataWrite& w);

    uint64_t frames_ = 0;
    std::vector<InstanceSeen> instances_;
    std::vector<TargetSeen> targets_;
    int currentModeS_[64] = {};
    std::map<std::string, WritesSeen> writes_, stopWrites_;
    std::map<std::pair<std::string, int>, std::vector<OverrideChange>> overrides_;
    int activeLast_ = 0, activeMax_ = 0;
    bool heldLast_ = false, heldEver_ = false;
    std::vector<TextDraw> texts_, lastTexts_;
    uint64_t lastTextsFrame_ = 0;

    // Finish
    PluginStatus plugin_;
    double simSeconds_ = 0, fps_ = 0;
    std::vector<std::pair<std::pair<std::string, int>, double>> overridesFinal_;
    // Stopped
    bool stopped_ = false, unloaded_ = false, heldAfterStop_ = false;
    size_t loopsLeft_ = 0, instancesLeft_ = 0;
    int activeAfterStop_ = 0;
    std::vector<std::string> log_, errors_;
};

}  // namespace velmir::host

#endif
