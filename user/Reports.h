// The three periodic reports about the user aircraft.
//
// Each loop fills a message from the user aircraft's datarefs into a buffer
// it keeps for the whole run, then sends it by the one sending rule. The
// fill functions are separate so that a message can be built and checked
// without a socket; each writes the payload (byte 24 on) and leaves the
// header to the sender.
#pragma once

#include <cstdint>

#include "XPLMDataAccess.h"

namespace velmir {

extern XPLMDataRef LiveryIndexRef;

// Each sends its report to a connected client. Position and state stay
// silent while the client drives the user aircraft; the model does not.
// Position (every 0.1 s): also creates the user aircraft's terrain probe.
void ReportPosition();
// State (every 1.0 s): secondary controls, state, engines, fuel.
void ReportState();
// Model (every 4.0 s): model file, tail number and livery.
void ReportModel();

// PositionMessage (type 4, 120 bytes), stamped with PluginClock.
void FillPositionMessage(std::uint8_t* message);

// The engine values the state report reads once per call: the count and
// types for the AircraftStateMessage, the per-engine arrays for the engine
// messages. Only the first four engines are read.
constexpr int ReportedEngineLimit = 4;
struct EngineValues {
    int Count;  // as the simulator reports it, possibly above four
    int Type[ReportedEngineLimit];
    int Generator[ReportedEngineLimit], Primer[ReportedEngineLimit], FuelPump[ReportedEngineLimit],
        Ignition[ReportedEngineLimit], Igniters[ReportedEngineLimit],
        FlowAfterMixture[ReportedEngineLimit], FlowBeforeMixture[ReportedEngineLimit],
        InletHeat[ReportedEngineLimit], PropMode[ReportedEngineLimit],
        Afterburner[ReportedEngineLimit];
    float Throttle[ReportedEngineLimit], Mixture[ReportedEngineLimit],
        Propeller[ReportedEngineLimit], CowlFlap[ReportedEngineLimit], Egt[ReportedEngineLimit],
        OilPressure[ReportedEngineLimit], OilTemp[ReportedEngineLimit],
        FuelPressure[ReportedEngineLimit], ManifoldPressure[ReportedEngineLimit],
        Cht[ReportedEngineLimit], FuelFlow[ReportedEngineLimit], PropSpeed[ReportedEngineLimit],
        N1[ReportedEngineLimit], N2[ReportedEngineLimit], Epr[ReportedEngineLimit],
        Itt[ReportedEngineLimit];
};

// SecondaryControlsMessage (type 7, 42 bytes).
void FillSecondaryControlsMessage(std::uint8_t* message);
// AircraftStateMessage (type 8, 126 bytes); also reads the engine count and
// types into `engines`.
void FillAircraftStateMessage(std::uint8_t* message, EngineValues& engines);
// The per-engine arrays of `engines` (count and types are left alone).
void ReadEngineValues(EngineValues& engines);
// How many engine messages a report sends for the engines read.
int ReportedEngineCount(const EngineValues& engines);
// PistonEngineMessage (type 9, 56 bytes) and TurbineEngineMessage (type 10,
// 54 bytes) for engine 0..3; any other engine leaves the message untouched.
void FillPistonEngineMessage(std::uint8_t* message, const EngineValues& engines, int engine);
void FillTurbineEngineMessage(std::uint8_t* message, const EngineValues& engines, int engine);
// FuelMessage (type 11, 36 bytes).
void FillFuelMessage(std::uint8_t* message);

// ModelMessage (type 3, 345 bytes). A path longer than the model field is
// sent cut to 255 characters and terminated.
void FillModelMessage(std::uint8_t* message);

}  // namespace velmir
