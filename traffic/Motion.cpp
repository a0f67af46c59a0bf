#include "traffic/Motion.h"

#include <cmath>

#include "XPLMGraphics.h"
#include "XPLMInstance.h"
#include "XPLMScenery.h"
#include "link/Messages.h"
#include "core/Clock.h"
#include "traffic/TrafficTargets.h"
#include "user/Encoding.h"
#include "user/SharedControl.h"
#include "user/UserDataRefs.h"

namespace velmir {

namespace {

constexpr float MinimumStep = 0.005f;       // s: below this a step is not worth taking
constexpr double ExtrapolationLimit = 2.0;  // s, either way
constexpr double SnapDistance = 50.0;       // m in any axis
constexpr float CorrectionGain = 1.5f;      // per second
constexpr float NormalPitchLimit = 45.0f;   // degrees
constexpr float NormalBankLimit = 90.0f;    // degrees
constexpr float RateLimit = 10.0f;          // degrees per second
constexpr float BlendSpeed = 10.0f;         // per second
constexpr double ClockFilterGain = 0.02;
constexpr float ClampCeiling = 50.0f;  // m
constexpr float ClampTaper = 0.02f;    // per metre
constexpr float FeetPerMetre = 3.2808399f;
constexpr float DegreesToRadians = 0.017453292f;
constexpr float RudderAngleFactor = -25.0f;

enum { Pitch, Bank, Heading };
enum { PitchRate, YawRate, RollRate };

// Wrapped once only: the inputs are at most one turn out.
float WrapHeading(float degrees) {
    if (degrees >= 360.0f) return degrees - 360.0f;
    if (degrees < 0.0f) return degrees + 360.0f;
    return degrees;
}
float WrapSigned(float degrees) {
    if (degrees >= 180.0f) return degrees - 360.0f;
    if (degrees < -180.0f) return degrees + 360.0f;
    return degrees;
}

// AircraftIndex 0 is the user aircraft, driven by the client from now on;
// 1 to 40 a remote slot; anything else selects nothing.
AircraftMotion* SelectRecord(const std::uint8_t* datagram, Field<std::uint8_t> indexField) {
    const std::uint8_t index = Get(datagram, indexField);
    if (index == 0) {
        TakeControl();
        return &UserAircraft;
    }
    return SlotForIndex(index);
}

// Types 5 and 6 make the user aircraft wait for a fresh position sample
// before the motion step moves it again.
void ForgetUserTimes(AircraftMotion& record) {
    if (!IsUserAircraft(record)) return;
    record.Time = record.FilteredTime = record.ReceivedAt = record.UpdatedAt = 0.0;
}

// The received state as it is, without smoothing.
void ShowReceivedState(AircraftMotion& r) {
    for (int i = 0; i < 3; ++i) {
        r.ShownPosition[i] = r.Position[i];
        r.ShownVelocity[i] = r.Velocity[i];
        r.ShownAttitude[i] = r.Attitude[i];
    }
}

void WriteUserVelocity(const AircraftMotion& record) {
    XPLMSetDataf(record.UserRefs[LocalVx], record.ShownVelocity[0]);
    XPLMSetDataf(record.UserRefs[LocalVy], record.ShownVelocity[1]);
    XPLMSetDataf(record.UserRefs[LocalVz], record.ShownVelocity[2]);
}

void PlaceInstances(AircraftRecord& record) {
    const float pitch = record.ShownAttitude[Pitch];
    const float bank = record.ShownAttitude[Bank];
    const float heading = record.ShownAttitude[Heading];
    const float theta = pitch * DegreesToRadians;
    const float phi = bank * DegreesToRadians;
    const float psi = heading * DegreesToRadians;
    const float sTheta = std::sin(theta), cTheta = std::cos(theta);
    const float sPhi = std::sin(phi), cPhi = std::cos(phi);
    const float sPsi = std::sin(psi), cPsi = std::cos(psi);

    // Body offsets (lateral, vertical, longitudinal) to local frame; x is
    // subtracted, so a positive lateral offset lies towards -x.
    const float a1 = cPsi * cPhi + sPsi * sTheta * sPhi;
    const float b1 = cPsi * sPhi + sPsi * sTheta * cPhi;
    const float c1 = sPsi * cTheta;
    const float a2 = cTheta * sPhi;
    const float b2 = cTheta * cPhi;
    const float c2 = sTheta;
    const float a3 = sTheta * sPhi * cPsi - sPsi * cPhi;
    const float b3 = sTheta * cPhi * cPsi - sPsi * sPhi;
    const float c3 = cPsi * cTheta;

    // No message sets RudderRatio yet, so every rudder stays at 0 degrees.
    const float data[1] = {RudderAngleFactor * record.RudderRatio};
    const float x = static_cast<float>(record.ShownPosition[0]);
    const float y = static_cast<float>(record.ShownPosition[1]);
    const float z = static_cast<float>(record.ShownPosition[2]);
    XPLMDrawInfo_t where{};
    where.structSize = sizeof(XPLMDrawInfo_t);
    where.pitch = pitch;
    where.heading = heading;
    where.roll = bank;

    for (const ObjectEntry& entry : record.Objects) {
        if (entry.Instance == nullptr) continue;
        // The cog file moves the model's reference point; the lateral offset
        // has no correction.
        const float l = entry.Offset[0];
        const float v = entry.Offset[1] - record.ModelOffset[0];
        const float g = entry.Offset[2] - record.ModelOffset[1];
        where.x = x - (l * a1 + v * b1 + g * c1);
        where.y = y + (l * a2 + v * b2 + g * c2);
        where.z = z + (l * a3 + v * b3 + g * c3);
        XPLMInstanceSetPosition(entry.Instance, &where, data);
    }
}

}  // namespace

void HandlePosition(const std::uint8_t* datagram) {
    AircraftMotion* selected = SelectRecord(datagram, PositionLayout::AircraftIndex);
    if (selected == nullptr) return;
    AircraftMotion& r = *selected;
    const double now = PluginClock;

    const double time = Get(datagram, PositionLayout::Time);
    if (time > r.Time) {
        const double altitude = Get(datagram, PositionLayout::Altitude);
        XPLMWorldToLocal(Get(datagram, PositionLayout::Latitude),
                         Get(datagram, PositionLayout::Longitude), altitude, &r.Position[0],
                         &r.Position[1], &r.Position[2]);
        for (int i = 0; i < 3; ++i) r.PrevAttitude[i] = r.Attitude[i];
        r.Velocity[0] = Get(datagram, PositionLayout::VelocityX);
        r.Velocity[1] = Get(datagram, PositionLayout::VelocityY);
        r.Velocity[2] = Get(datagram, PositionLayout::VelocityZ);
        r.Accel[0] = Get(datagram, PositionLayout::AccelX);
        r.Accel[1] = Get(datagram, PositionLayout::AccelY);
        r.Accel[2] = Get(datagram, PositionLayout::AccelZ);
        r.Attitude[Pitch] = Get(datagram, PositionLayout::Pitch);
        r.Attitude[Bank] = Get(datagram, PositionLayout::Bank);
        r.Attitude[Heading] = Get(datagram, PositionLayout::Heading);
        r.Rates[PitchRate] = Get(datagram, PositionLayout::PitchRate);
        r.Rates[YawRate] = Get(datagram, PositionLayout::YawRate);
        r.Rates[RollRate] = Get(datagram, PositionLayout::RollRate);
        r.RadioAltitude = Get(datagram, PositionLayout::RadioAltitude);
        r.AltitudeFeet = static_cast<float>(altitude) * FeetPerMetre;
        const std::uint8_t flags = Get(datagram, PositionLayout::PositionFlags);
        r.OnGround = flags & 1u;

        // Track the sender's clock: run the estimate on by our own clock and
        // pull it a little towards each new sample, so that network jitter
        // barely moves it.
        if (r.FilteredTime != 0.0) {
            const double predicted = r.FilteredTime + (now - r.ReceivedAt);
            r.FilteredTime = predicted + ClockFilterGain * (time - predicted);
        } else {
            r.FilteredTime = time;
        }
        r.ReceivedAt = now;
        r.Time = time;
        if (flags & 2u) ClampToGround(r);
    }

    // Never placed yet: show the sample at once rather than fly in from 0.
    if (r.UpdatedAt == 0.0) {
        ShowReceivedState(r);
        PlaceAircraft(r);
        if (IsUserAircraft(r)) WriteUserVelocity(r);
        r.UpdatedAt = now;
    }
}

void HandlePlacement(const std::uint8_t* datagram) {
    AircraftMotion* selected = SelectRecord(datagram, PlacementLayout::AircraftIndex);
    if (selected == nullptr) return;
    AircraftMotion& r = *selected;
    ForgetUserTimes(r);

    XPLMWorldToLocal(
        Get(datagram, PlacementLayout::Latitude), Get(datagram, PlacementLayout::Longitude),
        Get(datagram, PlacementLayout::Altitude), &r.Position[0], &r.Position[1], &r.Position[2]);
    for (int i = 0; i < 3; ++i) r.ShownPosition[i] = r.Position[i];
    r.Attitude[Pitch] = r.ShownAttitude[Pitch] = Get(datagram, PlacementLayout::Pitch);
    r.Attitude[Bank] = r.ShownAttitude[Bank] = Get(datagram, PlacementLayout::Bank);
    r.Attitude[Heading] = r.ShownAttitude[Heading] = Get(datagram, PlacementLayout::Heading);
    r.RadioAltitude = Get(datagram, PlacementLayout::RadioAltitude);
    const std::uint8_t flags = Get(datagram, PlacementLayout::PositionFlags);
    r.OnGround = flags & 1u;
    // The clamp corrects the received position only; the aircraft is shown
    // where the client put it until the motion step takes over.
    if (flags & 2u) ClampToGround(r);
    PlaceAircraft(r);
}

void HandleMotion(const std::uint8_t* datagram) {
    AircraftMotion* selected = SelectRecord(datagram, MotionLayout::AircraftIndex);
    if (selected == nullptr) return;
    AircraftMotion& r = *selected;
    ForgetUserTimes(r);

    r.Velocity[0] = Get(datagram, MotionLayout::VelocityX);
    r.Velocity[1] = Get(datagram, MotionLayout::VelocityY);
    r.Velocity[2] = Get(datagram, MotionLayout::VelocityZ);
    r.Rates[PitchRate] = Get(datagram, MotionLayout::PitchRate);
    r.Rates[YawRate] = Get(datagram, MotionLayout::YawRate);
    r.Rates[RollRate] = Get(datagram, MotionLayout::RollRate);
    r.Accel[0] = Get(datagram, MotionLayout::AccelX);
    r.Accel[1] = Get(datagram, MotionLayout::AccelY);
    r.Accel[2] = Get(datagram, MotionLayout::AccelZ);
    for (int i = 0; i < 3; ++i) r.ShownVelocity[i] = r.Velocity[i];
    if (IsUserAircraft(r)) WriteUserVelocity(r);
}

void ClampToGround(AircraftMotion& r) {
    if (r.Probe == nullptr) {
        r.Probe = XPLMCreateProbe(xplm_ProbeY);
        if (r.Probe == nullptr) return;
    }
    if (!(r.RadioAltitude >= 0.0f)) return;  // unknown (negative or NaN): no clamp

    XPLMProbeInfo_t info{};
    info.structSize = sizeof(XPLMProbeInfo_t);
    const XPLMProbeResult hit = XPLMProbeTerrainXYZ(r.Probe, static_cast<float>(r.Position[0]),
                                                    static_cast<float>(r.Position[1]),
                                                    static_cast<float>(r.Position[2]), &info);
    if (hit != xplm_ProbeHitTerrain) return;
    if (!(r.RadioAltitude < ClampCeiling)) return;

    float height;
    if (IsUserAircraft(r)) {
        // The user aircraft's own radio altimeter knows its height better
        // than a probe below its reference point.
        height = XPLMGetDataf(UserDataRefs.RadioAltimeter) * MetresPerFoot;
    } else {
        const AircraftRecord& remote = static_cast<const AircraftRecord&>(r);
        height = static_cast<float>(r.Position[1]) - remote.ModelOffset[0] + remote.ModelOffset[2] -
                 info.locationY;
    }
    // Full correction on the ground, fading out to none at the ceiling, so
    // that an aircraft climbing away does not jump.
    r.Position[1] += (r.RadioAltitude - height) * (1.0f - r.RadioAltitude * ClampTaper);
}

float AngleDifference(float from, float to) {
    float d = to - from;
    if (d <= -180.0f)
        d += 360.0f;
    else if (d > 180.0f)
        d -= 360.0f;
    return d;
}

void UpdateMotion(AircraftMotion& r) {
    const double now = PluginClock;
    const float dt = static_cast<float>(now - r.UpdatedAt);
    if (!(dt > MinimumStep)) return;
    if (r.Time == 0.0) return;

    // How far the sender's clock has run since the sample was taken.
    double te = r.FilteredTime - r.Time + now - r.ReceivedAt;
    if (te > ExtrapolationLimit) te = ExtrapolationLimit;
    if (te < -ExtrapolationLimit) te = -ExtrapolationLimit;
    const float tf = static_cast<float>(te);

    double error[3];
    bool snap = false;
    for (int i = 0; i < 3; ++i) {
        // The acceleration term has no factor one half. That is the
        // protocol's prediction, not a slip: keep it.
        const double predicted = r.Position[i] + r.Velocity[i] * te + r.Accel[i] * te * te;
        error[i] = predicted - r.ShownPosition[i];
        if (std::fabs(error[i]) > SnapDistance) snap = true;
    }

    if (snap) {
        // Too far off to glide: show the received state as it is.
        ShowReceivedState(r);
    } else {
        const float predictedPitch = WrapSigned(r.Attitude[Pitch] + r.Rates[PitchRate] * tf);
        const float predictedBank = WrapSigned(r.Attitude[Bank] + r.Rates[RollRate] * tf);
        const float predictedHeading = WrapHeading(r.Attitude[Heading] + r.Rates[YawRate] * tf);

        float velocity[3];
        for (int i = 0; i < 3; ++i)
            velocity[i] =
                r.Velocity[i] + r.Accel[i] * tf + CorrectionGain * static_cast<float>(error[i]);

        float basePitch, baseBank, baseHeading;
        float pitchRate = r.Rates[PitchRate];
        float headingRate = r.Rates[YawRate];
        float bankRate = 0.0f;
        const float shownPitch = r.ShownAttitude[Pitch];
        const float shownBank = r.ShownAttitude[Bank];
        const float shownHeading = r.ShownAttitude[Heading];
        if (std::fabs(shownPitch) < NormalPitchLimit && std::fabs(shownBank) < NormalBankLimit) {
            basePitch = shownPitch;
            baseBank = shownBank;
            baseHeading = shownHeading;
            // While the aircraft rotates fast the error is mostly lag of the
            // sample itself; feeding it back would make the attitude wobble.
            if (std::fabs(r.Rates[PitchRate]) < RateLimit &&
                std::fabs(r.Rates[YawRate]) < RateLimit &&
                std::fabs(r.Rates[RollRate]) < RateLimit) {
                pitchRate += CorrectionGain * AngleDifference(shownPitch, predictedPitch);
                headingRate += CorrectionGain * AngleDifference(shownHeading, predictedHeading);
                bankRate = CorrectionGain * AngleDifference(shownBank, predictedBank);
            }
        } else {
            // Near the vertical, Euler angles extrapolate badly: slide from
            // the previous sample's attitude to the newest one instead.
            float k = static_cast<float>((now - r.ReceivedAt) * BlendSpeed);
            if (k < 0.0f) k = 0.0f;
            if (k > 1.0f) k = 1.0f;
            basePitch = r.PrevAttitude[Pitch] +
                        AngleDifference(r.PrevAttitude[Pitch], r.Attitude[Pitch]) * k;
            baseBank =
                r.PrevAttitude[Bank] + AngleDifference(r.PrevAttitude[Bank], r.Attitude[Bank]) * k;
            baseHeading = r.PrevAttitude[Heading] +
                          AngleDifference(r.PrevAttitude[Heading], r.Attitude[Heading]) * k;
        }

        for (int i = 0; i < 3; ++i) {
            r.ShownVelocity[i] = velocity[i];
            r.ShownPosition[i] += velocity[i] * dt;
        }
        r.ShownAttitude[Heading] = WrapHeading(baseHeading + headingRate * dt);
        r.ShownAttitude[Pitch] = WrapSigned(basePitch + pitchRate * dt);
        r.ShownAttitude[Bank] = WrapSigned(baseBank + bankRate * dt);
    }

    PlaceAircraft(r);
    const bool user = IsUserAircraft(r);
    if (user) WriteUserVelocity(r);
    r.UpdatedAt = now;
    if (user) StepInstrumentFilter();
}

void PlaceAircraft(AircraftMotion& r) {
    if (IsUserAircraft(r)) {
        XPLMSetDatad(r.UserRefs[LocalX], r.ShownPosition[0]);
        XPLMSetDatad(r.UserRefs[LocalY], r.ShownPosition[1]);
        XPLMSetDatad(r.UserRefs[LocalZ], r.ShownPosition[2]);
        XPLMSetDataf(r.UserRefs[Theta], r.ShownAttitude[Pitch]);
        XPLMSetDataf(r.UserRefs[Phi], r.ShownAttitude[Bank]);
        XPLMSetDataf(r.UserRefs[Psi], r.ShownAttitude[Heading]);
        return;
    }
    PlaceInstances(static_cast<AircraftRecord&>(r));
}

void MoveTraffic(bool publishTargets) {
    BeginTargets();
    for (int slot = 1; slot <= SlotCount; ++slot) {
        AircraftRecord& record = AircraftTable[slot - 1];
        if (!IsActive(record)) continue;
        UpdateMotion(record);
        if (publishTargets) PublishTarget(record, slot);
    }
    FinishTargets();
}

}  // namespace velmir
