#include "XPLMScenery.h"
#include "link/Connection.h"
#include "link/Messages.h"
#include "core/Clock.h"
#include "user/AircraftMotion.h"
#include "user/Encoding.h"
#include "user/Reports.h"
#include "link/SendBuffer.h"
#include "user/SharedControl.h"
#include "user/UserDataRefs.h"

namespace velmir {

namespace {

SendBuffer<PositionLayout::Length> PositionBuffer;

// Bit 1 (clamp to terrain) is a request to a receiver; we never make it.
constexpr std::uint8_t OnGroundFlag = 0x01;

}  // namespace

void FillPositionMessage(std::uint8_t* m) {
    namespace L = PositionLayout;
    const UserDataRefSet& r = UserDataRefs;
    XPLMDataRef const* u = UserAircraft.UserRefs;

    Put(m, L::AircraftIndex, 0);
    Put(m, L::Time, PluginClock);
    Put(m, L::Latitude, XPLMGetDatad(r.Latitude));
    Put(m, L::Longitude, XPLMGetDatad(r.Longitude));
    Put(m, L::Altitude, XPLMGetDatad(r.Elevation));
    Put(m, L::Pitch, XPLMGetDataf(u[Theta]));
    Put(m, L::Bank, XPLMGetDataf(u[Phi]));
    Put(m, L::Heading, XPLMGetDataf(u[Psi]));
    Put(m, L::VelocityX, XPLMGetDataf(u[LocalVx]));
    Put(m, L::VelocityY, XPLMGetDataf(u[LocalVy]));
    Put(m, L::VelocityZ, XPLMGetDataf(u[LocalVz]));
    Put(m, L::PitchRate, XPLMGetDataf(r.Q));
    Put(m, L::YawRate, XPLMGetDataf(r.R));
    Put(m, L::RollRate, XPLMGetDataf(r.P));
    Put(m, L::AccelX, XPLMGetDataf(r.LocalAx));
    Put(m, L::AccelY, XPLMGetDataf(r.LocalAy));
    Put(m, L::AccelZ, XPLMGetDataf(r.LocalAz));
    Put(m, L::YokeHeading, Ratio16384(XPLMGetDataf(r.YokeHeading)));
    Put(m, L::YokePitch, Ratio16384(XPLMGetDataf(r.YokePitch)));
    Put(m, L::YokeRoll, Ratio16384(XPLMGetDataf(r.YokeRoll)));
    Put(m, L::LeftBrake, BrakeField(XPLMGetDataf(r.LeftBrake)));
    Put(m, L::RightBrake, BrakeField(XPLMGetDataf(r.RightBrake)));
    const float radioAltitude = XPLMGetDataf(r.RadioAltimeter) * MetresPerFoot;
    Put(m, L::RadioAltitude, radioAltitude);
    Put(m, L::PositionFlags, OnGround(radioAltitude) ? OnGroundFlag : std::uint8_t{0});
}

void ReportPosition() {
    if (!ClientConnected() || SharedControl) return;
    std::uint8_t* message = PositionBuffer.Get();
    FillPositionMessage(message);
    SendToClient(message, PositionLayout::Length, PositionMessage);
    if (UserAircraft.Probe == nullptr) UserAircraft.Probe = XPLMCreateProbe(xplm_ProbeY);
}

}  // namespace velmir
