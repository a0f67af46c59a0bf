#include <cstring>

#include "link/Connection.h"
#include "link/Messages.h"
#include "user/Encoding.h"
#include "user/Reports.h"
#include "link/SendBuffer.h"
#include "user/SharedControl.h"
#include "user/UserDataRefs.h"

namespace velmir {

namespace {

SendBuffer<SecondaryControlsLayout::Length> SecondaryControlsBuffer;
SendBuffer<AircraftStateLayout::Length> AircraftStateBuffer;
SendBuffer<PistonEngineLayout::Length> PistonEngineBuffer;
SendBuffer<TurbineEngineLayout::Length> TurbineEngineBuffer;
SendBuffer<FuelLayout::Length> FuelBuffer;

template <class T>
T Bit(bool set, T mask) {
    return set ? mask : T{0};
}

// Reads a four-element array; elements the simulator does not supply read 0.
void ReadInts(XPLMDataRef ref, int (&values)[ReportedEngineLimit]) {
    for (int& value : values) value = 0;
    XPLMGetDatavi(ref, values, 0, ReportedEngineLimit);
}
void ReadFloats(XPLMDataRef ref, float (&values)[ReportedEngineLimit]) {
    for (float& value : values) value = 0.0f;
    XPLMGetDatavf(ref, values, 0, ReportedEngineLimit);
}

std::uint8_t SystemFlags(float radioAltitude) {
    const UserDataRefSet& r = UserDataRefs;
    return static_cast<std::uint8_t>(Bit<unsigned>(XPLMGetDatai(r.BatteryOn) != 0, 0x01) |
                                     Bit<unsigned>(XPLMGetDataf(r.ParkingBrake) > 0.5f, 0x02) |
                                     Bit<unsigned>(XPLMGetDatai(r.GearHandle) != 0, 0x04) |
                                     Bit<unsigned>(XPLMGetDatai(r.Canopy) != 0, 0x08) |
                                     Bit<unsigned>(OnGround(radioAltitude), 0x10) |
                                     Bit<unsigned>(XPLMGetDatai(r.PitotHeat) != 0, 0x20) |
                                     Bit<unsigned>(XPLMGetDatai(r.AvionicsPower) != 0, 0x80));
}

std::uint16_t LightFlags() {
    const UserDataRefSet& r = UserDataRefs;
    return static_cast<std::uint16_t>(Bit<unsigned>(XPLMGetDatai(r.NavLights) != 0, 0x0001) |
                                      Bit<unsigned>(XPLMGetDatai(r.BeaconLights) != 0, 0x0002) |
                                      Bit<unsigned>(XPLMGetDatai(r.LandingLights) != 0, 0x0004) |
                                      Bit<unsigned>(XPLMGetDatai(r.TaxiLight) != 0, 0x0008) |
                                      Bit<unsigned>(XPLMGetDatai(r.StrobeLights) != 0, 0x0010) |
                                      Bit<unsigned>(XPLMGetDatai(r.CockpitLights) != 0, 0x0020));
}

bool ValidEngine(int engine) { return engine >= 0 && engine < ReportedEngineLimit; }

void SendStateReport() {
    std::uint8_t* secondary = SecondaryControlsBuffer.Get();
    FillSecondaryControlsMessage(secondary);
    SendToClient(secondary, SecondaryControlsLayout::Length, SecondaryControlsMessage);

    EngineValues engines{};
    std::uint8_t* state = AircraftStateBuffer.Get();
    FillAircraftStateMessage(state, engines);
    SendToClient(state, AircraftStateLayout::Length, AircraftStateMessage);

    ReadEngineValues(engines);
    const int reported = ReportedEngineCount(engines);
    for (int engine = 0; engine < reported; ++engine) {
        if (IsTurbineType(engines.Type[engine])) {
            std::uint8_t* turbine = TurbineEngineBuffer.Get();
            FillTurbineEngineMessage(turbine, engines, engine);
            SendToClient(turbine, TurbineEngineLayout::Length, TurbineEngineMessage);
        } else {
            std::uint8_t* piston = PistonEngineBuffer.Get();
            FillPistonEngineMessage(piston, engines, engine);
            SendToClient(piston, PistonEngineLayout::Length, PistonEngineMessage);
        }
    }

    std::uint8_t* fuel = FuelBuffer.Get();
    FillFuelMessage(fuel);
    SendToClient(fuel, FuelLayout::Length, FuelMessage);
}

}  // namespace

void FillSecondaryControlsMessage(std::uint8_t* m) {
    namespace L = SecondaryControlsLayout;
    const UserDataRefSet& r = UserDataRefs;
    // Byte 25 is never written: it stays as the buffer was made.
    Put(m, L::AircraftIndex, 0);
    Put(m, L::Reserved26, 0);
    Put(m, L::ElevatorTrim, Ratio16384(XPLMGetDataf(r.ElevatorTrim)));
    Put(m, L::AileronTrim, Ratio16384(XPLMGetDataf(r.AileronTrim)));
    Put(m, L::RudderTrim, Ratio16384(XPLMGetDataf(r.RudderTrim)));
    Put(m, L::SpoilerDeflection, Ratio16384(XPLMGetDataf(r.SpoilerDeflection)));
    Put(m, L::TailHook, Ratio16384(XPLMGetDataf(r.TailhookRatio)));
    const std::int16_t extra = Ratio16384(XPLMGetDataf(r.ExtraSwitch));
    Put(m, L::ExtraControl1, extra);
    Put(m, L::ExtraControl2, extra);
}

void FillAircraftStateMessage(std::uint8_t* m, EngineValues& engines) {
    namespace L = AircraftStateLayout;
    const UserDataRefSet& r = UserDataRefs;

    engines.Count = XPLMGetDatai(r.NumEngines);
    ReadInts(r.EngineType, engines.Type);
    const int autopilot = XPLMGetDatai(r.AutopilotState);
    const float radioAltitude = XPLMGetDataf(r.RadioAltimeter) * MetresPerFoot;

    Put(m, L::AircraftIndex, 0);
    Put(m, L::SystemFlags, SystemFlags(radioAltitude));
    Put(m, L::AutopilotFlags,
        static_cast<std::uint8_t>(Bit<unsigned>(XPLMGetDatai(r.AutopilotMode) != 0, 0x04) |
                                  Bit<unsigned>((autopilot & 0x02) != 0, 0x08) |
                                  Bit<unsigned>((autopilot & 0x20) != 0, 0x10) |
                                  Bit<unsigned>((autopilot & 0x08) != 0, 0x20)));
    Put(m, L::ModeFlags,
        static_cast<std::uint8_t>(Bit<unsigned>((autopilot & 0x01) != 0, 0x04) |
                                  Bit<unsigned>(XPLMGetDatai(r.DmeSelector) != 1, 0x08)));
    Put(m, L::FlapDetent, FlapDetentField(XPLMGetDataf(r.FlapRatio), XPLMGetDatai(r.FlapDetents)));
    Put(m, L::HeadingIndicator, Int16Bits(XPLMGetDataf(r.HeadingIndicator)));
    Put(m, L::Barometer, BarometerField(XPLMGetDataf(r.Barometer)));
    Put(m, L::EngineCount, static_cast<std::uint8_t>(static_cast<unsigned>(engines.Count)));
    Put(m, L::FixedOne, 1);
    Put(m, L::Turbine, IsTurbineType(engines.Type[0]) ? 1 : 0);
    Put(m, L::Transponder,
        static_cast<std::uint16_t>(static_cast<unsigned>(XPLMGetDatai(r.TransponderCode))));
    Put(m, L::Lights, LightFlags());
    Put(m, L::Nav1Course, Int16Bits(XPLMGetDataf(r.Nav1Obs)));
    Put(m, L::Nav2Course, Int16Bits(XPLMGetDataf(r.Nav2Obs)));
    Put(m, L::Com1Frequency, XPLMGetDatai(r.Com1));
    Put(m, L::Com2Frequency, XPLMGetDatai(r.Com2));
    Put(m, L::Nav1Frequency, XPLMGetDatai(r.Nav1));
    Put(m, L::Nav2Frequency, XPLMGetDatai(r.Nav2));
    Put(m, L::Adf1Frequency, XPLMGetDatai(r.Adf1));
    Put(m, L::Adf2Frequency, XPLMGetDatai(r.Adf2));
    Put(m, L::Com1Standby, XPLMGetDatai(r.Com1Standby));
    Put(m, L::Com2Standby, XPLMGetDatai(r.Com2Standby));
    Put(m, L::Nav1Standby, XPLMGetDatai(r.Nav1Standby));
    Put(m, L::Nav2Standby, XPLMGetDatai(r.Nav2Standby));
    Put(m, L::RadioAltitude, radioAltitude);
    std::memset(At(m, L::Reserved88), 0, L::Reserved88.Width);
    Put(m, L::AutopilotHeading, Int16Bits(XPLMGetDataf(r.AutopilotHeading)));
    Put(m, L::AutopilotAltitude, Int16Bits(XPLMGetDataf(r.AutopilotAltitude)));
    Put(m, L::AutopilotVerticalSpeed, Int16Bits(XPLMGetDataf(r.AutopilotVerticalVelocity)));
    Put(m, L::AutopilotAirspeed, Int16Bits(XPLMGetDataf(r.AutopilotAirspeed)));
    // The ground below, so the client can place the aircraft on its own
    // terrain. The simulator serves this double dataref to a float read too.
    const float elevation = XPLMGetDataf(r.Elevation);
    Put(m, L::GroundElevation, elevation - radioAltitude);
    Put(m, L::IndicatedAirspeed, XPLMGetDataf(r.IndicatedAirspeed));
    Put(m, L::IndicatedAltitude, XPLMGetDataf(r.IndicatedAltitude));
    Put(m, L::VerticalSpeed, XPLMGetDataf(r.VerticalSpeed));
    Put(m, L::TurnRate, XPLMGetDataf(r.TurnRate));
    Put(m, L::Slip, XPLMGetDataf(r.Slip));
}

void ReadEngineValues(EngineValues& e) {
    const UserDataRefSet& r = UserDataRefs;
    ReadInts(r.GeneratorOn, e.Generator);
    ReadInts(r.PrimerOn, e.Primer);
    ReadInts(r.FuelPumpOn, e.FuelPump);
    ReadInts(r.IgnitionOn, e.Ignition);
    ReadInts(r.IgnitersOn, e.Igniters);  // read with the rest, sent nowhere
    ReadInts(r.FuelFlowAfterMixture, e.FlowAfterMixture);
    ReadInts(r.FuelFlowBeforeMixture, e.FlowBeforeMixture);
    ReadInts(r.InletHeat, e.InletHeat);
    ReadInts(r.PropMode, e.PropMode);
    ReadInts(r.AfterburnerEnabled, e.Afterburner);
    ReadFloats(r.ThrottleRatio, e.Throttle);
    ReadFloats(r.MixtureRatio, e.Mixture);
    ReadFloats(r.PropRatio, e.Propeller);
    ReadFloats(r.CowlFlapRatio, e.CowlFlap);
    ReadFloats(r.Egt, e.Egt);
    ReadFloats(r.OilPressure, e.OilPressure);
    ReadFloats(r.OilTemp, e.OilTemp);
    ReadFloats(r.FuelPressure, e.FuelPressure);
    ReadFloats(r.ManifoldPressure, e.ManifoldPressure);
    ReadFloats(r.Cht, e.Cht);
    ReadFloats(r.FuelFlow, e.FuelFlow);
    ReadFloats(r.PropSpeed, e.PropSpeed);
    ReadFloats(r.N1, e.N1);
    ReadFloats(r.N2, e.N2);
    ReadFloats(r.Epr, e.Epr);
    ReadFloats(r.Itt, e.Itt);
}

int ReportedEngineCount(const EngineValues& engines) {
    // Engines past the fourth are not read, so nothing is sent for them;
    // the state message still carries the full count.
    if (engines.Count <= 0) return 0;
    return engines.Count < ReportedEngineLimit ? engines.Count : ReportedEngineLimit;
}

void FillPistonEngineMessage(std::uint8_t* m, const EngineValues& e, int i) {
    namespace L = PistonEngineLayout;
    if (!ValidEngine(i)) return;
    const UserDataRefSet& r = UserDataRefs;
    Put(m, L::AircraftIndex, 0);
    Put(m, L::EngineNumber, i + 1);
    Put(m, L::EngineFlags,
        static_cast<std::uint8_t>(Bit<unsigned>(e.FlowAfterMixture[i] != 0, 0x01) |
                                  Bit<unsigned>(e.Primer[i] != 0, 0x02) |
                                  ((static_cast<unsigned>(e.Ignition[i]) & 3u) << 2) |
                                  Bit<unsigned>(e.FlowBeforeMixture[i] != 0, 0x10) |
                                  Bit<unsigned>(e.Generator[i] != 0, 0x20) |
                                  Bit<unsigned>(e.FuelPump[i] != 0, 0x40)));
    Put(m, L::EngineFlags2,
        static_cast<std::uint8_t>(Bit<unsigned>(e.Generator[i] != 0, 0x01) |
                                  Bit<unsigned>(e.InletHeat[i] != 0, 0x02) |
                                  Bit<unsigned>(e.PropMode[i] == 0, 0x04)));
    Put(m, L::Throttle, Ratio16384(e.Throttle[i]));
    Put(m, L::Mixture, Ratio16384(e.Mixture[i]));
    Put(m, L::Propeller, Ratio16384(e.Propeller[i]));
    Put(m, L::ExhaustGasTemp, RankineField(e.Egt[i]));
    Put(m, L::OilPressure, UInt8Bits(e.OilPressure[i]));
    Put(m, L::OilTemp, RankineField(e.OilTemp[i]));
    Put(m, L::FuelPressure, UInt8Bits(e.FuelPressure[i]));
    Put(m, L::CowlFlaps, Ratio16384(e.CowlFlap[i]));
    Put(m, L::ManifoldPressure, UInt8Bits(e.ManifoldPressure[i]));
    Put(m, L::AlternateStaticAir, Ratio16384(XPLMGetDataf(r.AlternateStaticAir)));
    Put(m, L::CylinderHeadTemp, RankineField(e.Cht[i]));
    Put(m, L::Reserved47, 0);
    Put(m, L::FuelFlow, FuelFlowField(e.FuelFlow[i]));
    Put(m, L::FixedOne, 1);
    Put(m, L::EngineRpm, RpmField(e.PropSpeed[i]));
    Put(m, L::FuelSelector, FuelSelectorField(XPLMGetDatai(r.FuelTankSelector)));
}

void FillTurbineEngineMessage(std::uint8_t* m, const EngineValues& e, int i) {
    namespace L = TurbineEngineLayout;
    if (!ValidEngine(i)) return;
    const UserDataRefSet& r = UserDataRefs;
    Put(m, L::AircraftIndex, 0);
    Put(m, L::EngineNumber, i + 1);
    Put(m, L::EngineFlags,
        static_cast<std::uint8_t>(
            Bit<unsigned>(e.FlowAfterMixture[i] != 0, 0x01) |
            Bit<unsigned>(e.Generator[i] != 0, 0x12) | Bit<unsigned>(e.FuelPump[i] != 0, 0x04) |
            Bit<unsigned>(e.InletHeat[i] != 0, 0x20) | Bit<unsigned>(e.Afterburner[i] != 0, 0x40)));
    Put(m, L::Throttle, Ratio16384(e.Throttle[i]));
    Put(m, L::Mixture, Ratio16384(e.Mixture[i]));
    Put(m, L::Propeller, Ratio16384(e.Propeller[i]));
    Put(m, L::ExhaustGasTemp, RankineField(e.Egt[i]));
    Put(m, L::OilPressure, UInt8Bits(e.OilPressure[i]));
    Put(m, L::OilTemp, RankineField(e.OilTemp[i]));
    Put(m, L::FuelPressure, UInt8Bits(e.FuelPressure[i]));
    const std::int16_t n1 = Ratio16384(e.N1[i]);
    const std::int16_t n2 = Ratio16384(e.N2[i]);
    Put(m, L::N1, n1);
    Put(m, L::N2, n2);
    Put(m, L::N1Copy, n1);
    Put(m, L::N2Copy, n2);
    Put(m, L::FuelFlow, FuelFlowField(e.FuelFlow[i]));
    Put(m, L::PressureRatio, Ratio16384(e.Epr[i]));
    Put(m, L::InterTurbineTemp, RankineField(e.Itt[i]));
    Put(m, L::FuelSelector, FuelSelectorField(XPLMGetDatai(r.FuelTankSelector)));
}

void FillFuelMessage(std::uint8_t* m) {
    namespace L = FuelLayout;
    float tanks[FuelTankCount] = {};
    XPLMGetDatavf(UserDataRefs.FuelMass, tanks, 0, FuelTankCount);
    Put(m, L::AircraftIndex, 0);
    std::uint8_t* bytes = At(m, L::TankMass);
    for (int k = 0; k < FuelTankCount; ++k) bytes[k] = TankMassField(tanks[FuelTankOrder[k]]);
    Put(m, L::Reserved34, 0);
}

void ReportState() {
    if (ClientConnected() && !SharedControl) SendStateReport();
}

}  // namespace velmir
